// The bus master on the virtual line against simulated meters: each operation's frames byte for
// byte, multi-telegram reads with the frame-count bit, repeats after a lost or damaged reply,
// converters that echo, gateways that deliver in bursts, meters that answer late, selection by
// identification number, two buses on one thread, and this maker's named values from the same
// walk the control uses.
#include <gtest/gtest.h>

#include <functional>

#include "bus/frame_judge.hpp"
#include "decode/meter_data.hpp"
#include "link/link_state.hpp"
#include "sim_bus.hpp"
#include "velmar/hex.hpp"
#include "velmar/maker_values.hpp"
#include "velmar/results.hpp"
#include "velmar/velmar.hpp"

namespace velmar {
namespace {

using testing::SimBus;
using Frames = std::vector<std::string>;

// The frames the master put on the line, as hex.
Frames SentFrames(const SimBus& b) {
  sim::FrameAssembler assembler;
  Frames out;
  for (std::uint8_t byte : b.Sent()) {
    if (auto f = assembler.Feed(byte)) out.push_back(HexText(*f));
  }
  return out;
}

sim::MeterConfig Meter(int telegrams = 1) {
  sim::MeterConfig c;
  c.telegrams = telegrams;
  return c;
}

TEST(BusRead, ResetThenEveryTelegramWithTheFrameCountBitToggled) {
  SimBus b(SimBus::One(Meter(3)));
  const Reading r = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.result, Status::kOk);
  EXPECT_EQ(r.telegrams.size(), 3u);
  EXPECT_EQ(r.attempts, 3);
  EXPECT_FALSE(r.moreRecords);
  EXPECT_EQ(r.decodes, 3);  // each telegram decoded once, though each said whether more follow
  EXPECT_EQ(SentFrames(b), (Frames{"1040014116", "107B017C16", "105B015C16", "107B017C16"}));
  // The records of the three telegrams are those of the meter's one-telegram readout.
  SimBus whole(SimBus::One(Meter(1)));
  const Reading one = whole.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.records.size(), one.records.size());
  for (std::size_t i = 0; i < r.records.size(); ++i) {
    EXPECT_EQ(r.records[i].quantity, one.records[i].quantity) << i;
    EXPECT_EQ(r.records[i].value, one.records[i].value) << i;
  }
  EXPECT_EQ(r.header.identNumber, 12345678u);
}

// The maker's bytes after DIF 0x0F stay with the reading, and with a copy, in its own
// telegram: an Itron BM+m's published telegram (libmbus test-frames ACW_Itron-BM-plus-m) ends
// its records with 0F 00 01 75 13 before the check sum D3.
TEST(BusRead, AReadingKeepsTheMakersBytesAfterItsRecords) {
  Reading r;
  r.AddTelegram({*ParseHex("683C3C680808727803491177040E160A0000000C7878034911041331D40000426C00"
                           "00441300000000046D0B0BCD130227000009FD0E0209FD0F060F00017513D316"),
                 {}});
  EXPECT_EQ(HexText(r.manufacturerData), "00017513");
  const Reading copy(r);
  r = Reading();
  EXPECT_EQ(HexText(copy.manufacturerData), "00017513");
  const auto& own = copy.telegrams[0].bytes;
  EXPECT_TRUE(copy.manufacturerData.data() > own.data() &&
              copy.manufacturerData.data() < own.data() + own.size());
}

// A copy of a reading is that reading: its records come along as they are (not decoded from
// the bytes again), with their data fields in the copy's own telegrams, so the copy outlives
// the original.
TEST(BusRead, ACopyOfAReadingKeepsItsRecordsWithoutDecodingAgain) {
  SimBus b(SimBus::One());
  Reading original = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(original.result, Status::kOk);
  ASSERT_GE(original.records.size(), 2u);
  original.records[1].value = -1.5;  // no decode of these bytes gives this
  std::vector<std::vector<std::uint8_t>> fields;
  for (const DataRecord& r : original.records) fields.emplace_back(r.bytes.begin(), r.bytes.end());
  Reading assigned;
  assigned = original;
  const Reading copy(original);
  original = Reading();  // the original's telegrams are gone
  for (const Reading* c : {&copy, static_cast<const Reading*>(&assigned)}) {
    EXPECT_EQ(c->records[1].value, -1.5);
    EXPECT_EQ(c->decodes, 1);
    ASSERT_EQ(c->records.size(), fields.size());
    const auto& own = c->telegrams[0].bytes;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const DataRecord& r = c->records[i];
      EXPECT_EQ(std::vector<std::uint8_t>(r.bytes.begin(), r.bytes.end()), fields[i]) << i;
      if (!r.bytes.empty()) {
        EXPECT_TRUE(r.bytes.data() >= own.data() && r.bytes.data() < own.data() + own.size());
      }
    }
  }
}

// A long frame with this C field and a sound length and check byte.
std::vector<std::uint8_t> LongFrame(std::uint8_t c) {
  std::vector<std::uint8_t> f = {0x68, 3, 3, 0x68, c, 0x01, 0x78};
  f.push_back(static_cast<std::uint8_t>(c + 0x01 + 0x78));
  f.push_back(0x16);
  return f;
}

// A meter sets the access-demand bit (0x20) when it wants attention and the data-flow-control
// bit (0x10) when it cannot take more: its RSP_UD is still an RSP_UD and must be read. Only
// another function is the wrong reply.
TEST(FrameJudge, AnRspUdIsReadWhateverItsAccessDemandAndFlowControlBits) {
  for (std::uint8_t c : {0x08, 0x18, 0x28, 0x38}) {
    const bus::Verdict v = bus::Judge(LongFrame(c), bus::Expect::kUserData);
    EXPECT_EQ(v.result, Status::kOk) << int{c};
  }
  for (std::uint8_t c : {0x09, 0x48, 0x53, 0x73}) {
    const bus::Verdict v = bus::Judge(LongFrame(c), bus::Expect::kUserData);
    EXPECT_EQ(v.result, Status::kUnexpectedReply) << int{c};
    EXPECT_EQ(v.linkResult, LinkResult::kStructureError) << int{c};
  }
}

TEST(BusRead, FirstTelegramOnlyWhenAsked) {
  SimBus b(SimBus::One(Meter(3)));
  ReadOptions first;
  first.allTelegrams = false;
  const Reading r = b.bus->Read(Address::Primary(1), first);
  ASSERT_EQ(r.result, Status::kOk);
  EXPECT_EQ(r.telegrams.size(), 1u);
  EXPECT_TRUE(r.moreRecords);
  EXPECT_EQ(SentFrames(b), (Frames{"1040014116", "107B017C16"}));
}

// The second telegram's answer is lost, then damaged: the request goes again with the same
// frame-count bit, so the meter repeats that telegram instead of moving on.
TEST(BusRead, ALostOrDamagedReplyIsAskedAgainWithTheSameBit) {
  SimBus b(SimBus::One(Meter(3)));
  for (auto kind : {sim::FaultKind::kNone, sim::FaultKind::kNone, sim::FaultKind::kSilence,
                    sim::FaultKind::kBadChecksum}) {
    b.meter().InjectFault({kind, 0});
  }
  const Reading r = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.result, Status::kOk);
  EXPECT_EQ(r.telegrams.size(), 3u);
  EXPECT_EQ(r.attempts, 5);
  EXPECT_EQ(SentFrames(b), (Frames{"1040014116", "107B017C16", "105B015C16", "105B015C16",
                                   "105B015C16", "107B017C16"}));
  SimBus whole(SimBus::One(Meter(1)));
  EXPECT_EQ(r.records.size(), whole.bus->Read(Address::Primary(1)).records.size());
}

TEST(BusRead, RepeatsEndAndTheResultSaysWhy) {
  BusOptions none;
  none.retries = 0;
  SimBus b(SimBus::One(), none);
  b.meter().InjectFault({sim::FaultKind::kNone, 0});
  b.meter().InjectFault({sim::FaultKind::kBadChecksum, 0});
  Reading r = b.bus->Read(Address::Primary(1));
  EXPECT_EQ(r.result, Status::kChecksum);
  EXPECT_EQ(r.linkResult, LinkResult::kChecksumError);
  EXPECT_TRUE(r.telegrams.empty());
  EXPECT_TRUE(r.records.empty());

  // Nobody at 7: the reset goes 1 + 2 times, each waiting the reply time-out; the port opens
  // without a rest unless one is asked for (a converter fed from RTS), and then exactly that.
  const auto nobody = [](int settle_ms) {
    BusOptions o;
    o.settleMs = settle_ms;
    SimBus silent(SimBus::One(), o);
    const virt::Nanos start = silent.loop.Now();
    const Reading none_there = silent.bus->Read(Address::Primary(7));
    EXPECT_EQ(none_there.result, Status::kNoReply);
    EXPECT_EQ(SentFrames(silent), (Frames{"1040074716", "1040074716", "1040074716"}));
    return silent.loop.Now() - start - 3 * (5 * silent.port->CharacterTime() + virt::Ms(188));
  };
  EXPECT_EQ(nobody(0), virt::Nanos(0));
  EXPECT_EQ(nobody(30), virt::Ms(30));
}

TEST(BusRead, DamagedFramesCarryTheLinkChecksCode) {
  BusOptions none;
  none.retries = 0;
  struct Case {
    sim::FaultKind fault;
    Status result;
    std::int16_t code;
  };
  for (const Case& c : {Case{sim::FaultKind::kBadStart, Status::kDamagedReply, -1},
                        Case{sim::FaultKind::kBadStop, Status::kDamagedReply, -2},
                        Case{sim::FaultKind::kLongLength, Status::kDamagedReply, -6},
                        Case{sim::FaultKind::kGarbage, Status::kDamagedReply, -3},
                        Case{sim::FaultKind::kNack, Status::kDamagedReply, -3}}) {
    SimBus b(SimBus::One(), none);
    b.meter().InjectFault({sim::FaultKind::kNone, 0});
    b.meter().InjectFault({c.fault, 0});
    const Reading r = b.bus->Read(Address::Primary(1));
    EXPECT_EQ(r.result, c.result) << static_cast<int>(c.fault);
    EXPECT_EQ(r.linkResult, c.code) << static_cast<int>(c.fault);
  }
}

// What the control's reply check tolerates in this maker's meters the bus reads too: a telegram
// whose first byte is 0xFC instead of 0x68, and bytes after the stop byte.
class AnswerAs : public virt::LinePeer {
 public:
  AnswerAs(sim::SimMeter& meter, std::function<void(std::vector<std::uint8_t>&)> edit)
      : meter_(meter), edit_(std::move(edit)) {}
  void OnByteFromMaster(std::uint8_t b, virt::VirtualSerialPort& line) override {
    auto frame = assembler_.Feed(b);
    if (!frame) return;
    auto reply = meter_.OnFrame(*frame);
    if (!reply) return;
    if (reply->bytes.size() > 1) edit_(reply->bytes);
    line.SendToMaster(reply->bytes, line.Now() + virt::Ms(reply->delayMs));
  }

 private:
  sim::SimMeter& meter_;
  std::function<void(std::vector<std::uint8_t>&)> edit_;
  sim::FrameAssembler assembler_;
};

TEST(BusRead, TheControlsTolerancesHold) {
  for (const auto& edit : std::vector<std::function<void(std::vector<std::uint8_t>&)>>{
           [](std::vector<std::uint8_t>& t) { t[0] = 0xFC; },
           [](std::vector<std::uint8_t>& t) {
             t.insert(t.end(), {0x00, 0x00, 0x00});
           }}) {
    SimBus b(SimBus::One());
    AnswerAs peer(b.meter(), edit);
    b.port->SetPeer(&peer);
    const Reading r = b.bus->Read(Address::Primary(1));
    ASSERT_EQ(r.result, Status::kOk);
    MakerValues values;
    EXPECT_EQ(DecodeMakerValues(r.TelegramBytes(), values), 0);
    EXPECT_EQ(values.IdentNumber(), 12345678);
    EXPECT_EQ(r.attempts, 1);
  }
}

// A reply is complete by its own length: a gateway's 250 ms pauses inside it do not end it,
// and a reply that arrives whole costs its line time, not a silence after it.
TEST(BusRead, GatewayBurstsAndTheCostOfAReply) {
  SimBus b(SimBus::One());
  b.peer->SetLine({false, 16, 250});
  const Reading r = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.result, Status::kOk);
  EXPECT_EQ(r.attempts, 1);

  SimBus plain(SimBus::One());
  plain.bus->Reset(Address::Primary(1));  // the port is open and settled
  const virt::Nanos start = plain.loop.Now();
  ReadOptions first;
  first.allTelegrams = false;
  const Reading fast = plain.bus->Read(Address::Primary(1), first);
  ASSERT_EQ(fast.result, Status::kOk);
  const virt::Nanos ch = plain.port->CharacterTime();
  const auto floor = 2 * (5 * ch + virt::Ms(20)) + ch +
                     static_cast<virt::Nanos>(fast.telegrams[0].bytes.size()) * ch;
  // Both requests, the meter's 20 ms answer delay twice, E5 and the telegram, and nothing more
  // than the timer's millisecond steps.
  EXPECT_LE(plain.loop.Now() - start, floor + virt::Ms(2));
}

// A real port wakes its loop for the first byte of a burst only: the rest wait in its queue.
// The end of each frame is still taken as it comes, not at the next time-out.
TEST(BusRead, AFrameIsTakenAsItEndsWhenOnlyItsFirstByteWakesTheLoop) {
  SimBus b(SimBus::One());
  b.bus->Reset(Address::Primary(1));
  const virt::Nanos ch = b.port->CharacterTime();
  b.port->WakeOnlyAfterSilence(2 * ch);
  const virt::Nanos start = b.loop.Now();
  ReadOptions first;
  first.allTelegrams = false;
  const Reading r = b.bus->Read(Address::Primary(1), first);
  ASSERT_EQ(r.result, Status::kOk);
  EXPECT_EQ(r.attempts, 1);
  const auto floor =
      2 * (5 * ch + virt::Ms(20)) + ch + static_cast<virt::Nanos>(r.telegrams[0].bytes.size()) * ch;
  // Each frame's last byte is looked for within three characters of its arrival.
  EXPECT_LE(b.loop.Now() - start, floor + 6 * ch + virt::Ms(2));
}

TEST(BusRead, EchoOfTheRequestIsDropped) {
  SimBus b(SimBus::One(Meter(2)));
  b.peer->SetLine({true, 0, 0});
  const Reading r = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.result, Status::kOk);
  EXPECT_EQ(r.telegrams.size(), 2u);

  BusOptions off;
  off.echo = EchoMode::kOff;
  off.retries = 0;
  SimBus raw(SimBus::One(), off);
  raw.peer->SetLine({true, 0, 0});
  EXPECT_NE(raw.bus->Read(Address::Primary(1)).result, Status::kOk);
}

// A meter that answers 300 ms after each request, past the 188 ms reply time-out: the repeat
// hears the first answer, and a late acknowledge that arrives while a telegram is awaited is
// not taken for the telegram.
TEST(BusRead, AMeterThatAnswersLateIsStillRead) {
  sim::MeterConfig late;
  late.responseDelayMs = 300;
  SimBus b(SimBus::One(late));
  const Reading r = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.result, Status::kOk);
  ASSERT_EQ(r.telegrams.size(), 1u);
  EXPECT_EQ(r.header.identNumber, 12345678u);
}

TEST(BusRead, EightDigitsAreAnIdentificationNumberThreeAPrimaryAddress) {
  sim::MeterConfig small;
  small.identNumber = 42;
  small.primaryAddress = 5;
  sim::MeterConfig at42;
  at42.primaryAddress = 42;
  at42.identNumber = 99887766;
  SimBus b({small, at42});
  const Reading by_ident = b.bus->Read(*Address::Parse("00000042"));
  ASSERT_EQ(by_ident.result, Status::kOk);
  EXPECT_EQ(by_ident.header.identNumber, 42u);
  EXPECT_EQ(SentFrames(b),
            (Frames{"1040FD3D16", "680B0B6853FD5242000000FFFFFFFFE016", "107BFD7816"}));
  const Reading by_primary = b.bus->Read(*Address::Parse("42"));
  ASSERT_EQ(by_primary.result, Status::kOk);
  EXPECT_EQ(by_primary.header.identNumber, 99887766u);

  EXPECT_EQ(Address::Parse("00000042")->Text(), "00000042");
  for (const char* bad : {"0000042", "251", "252", "256", "1234", "", "4a", "-1", "123456789"}) {
    std::string why;
    EXPECT_FALSE(Address::Parse(bad, &why)) << bad;
    EXPECT_NE(why.find("8 digits"), std::string::npos) << bad;
  }
}

// Two meters answering one identification number: the selection collides, and no data
// request goes out, so neither meter's data is taken for the other's.
TEST(BusRead, OneNumberOnTwoMetersIsACollisionAndNothingIsRequested) {
  sim::MeterConfig first;
  sim::MeterConfig second;
  second.primaryAddress = 2;
  SimBus b({first, second});
  const Reading r = b.bus->Read(*Address::Parse("12345678"));
  EXPECT_EQ(r.result, Status::kCollision);
  EXPECT_TRUE(r.telegrams.empty());
  for (const std::string& f : SentFrames(b)) EXPECT_NE(f.substr(0, 4), "107B") << f;
}

// Each bus keeps its own frame-count bits and selection, and none touches the thread's link
// state or meter store that the control reads.
TEST(BusRead, TwoBusesOnOneThreadKeepApart) {
  sim::MeterConfig other;
  other.identNumber = 11112222;
  other.energyTotalKwh = 5.5;
  SimBus a(SimBus::One(Meter(2)));
  SimBus b(SimBus::One(other));
  ReadOptions first;
  first.allTelegrams = false;
  const Reading ra = a.bus->Read(*Address::Parse("12345678"), first);
  const Reading rb = b.bus->Read(Address::Primary(1));
  const Reading ra2 = a.bus->Read(Address::Primary(1));
  ASSERT_EQ(ra.result, Status::kOk);
  ASSERT_EQ(rb.result, Status::kOk);
  ASSERT_EQ(ra2.result, Status::kOk);
  EXPECT_EQ(ra2.header.identNumber, 12345678u);
  EXPECT_EQ(rb.header.identNumber, 11112222u);
  EXPECT_EQ(SentFrames(b), (Frames{"1040014116", "107B017C16"}));
  EXPECT_EQ(SentFrames(a).back(), "105B015C16");
  EXPECT_EQ(LinkState().identNumber, 0);
  EXPECT_EQ(MeterData().activeEnergyTotal, 0);
}

TEST(BusOperations, SetPrimaryAddressIsConfirmedAtTheNewAddress) {
  SimBus b(SimBus::One());
  EXPECT_EQ(b.bus->SetPrimaryAddress(Address::Primary(1), 251), Status::kBadArgument);
  EXPECT_TRUE(b.Sent().empty());
  ASSERT_EQ(b.bus->SetPrimaryAddress(Address::Primary(1), 9), Status::kOk);
  EXPECT_EQ(b.meter().config().primaryAddress, 9);
  EXPECT_EQ(SentFrames(b), (Frames{"1040014116", "68060668730151017A094916", "1040094916"}));
  // 250 is the highest address a meter can take (251-255 are the bus's own).
  ASSERT_EQ(b.bus->SetPrimaryAddress(Address::Primary(9), 250), Status::kOk);
  EXPECT_EQ(b.meter().config().primaryAddress, 250);
}

TEST(BusOperations, SetBaudRateSwitchesThePortAndConfirmsThere) {
  SimBus b(SimBus::One());
  EXPECT_EQ(b.bus->SetBaudRate(Address::Primary(1), 1000), Status::kBadArgument);
  EXPECT_TRUE(b.Sent().empty());
  ASSERT_EQ(b.bus->SetBaudRate(Address::Primary(1), 9600), Status::kOk);
  EXPECT_EQ(b.meter().config().baud, 9600);
  EXPECT_EQ(b.port->Settings(), "9600,e,8,1");
  EXPECT_EQ(SentFrames(b), (Frames{"1040014116", "680303687301BD3116", "1040014116"}));
  EXPECT_EQ(b.bus->ReplyTimeoutMs(), 85);
  EXPECT_EQ(b.bus->Read(Address::Primary(1)).result, Status::kOk);
  // A master left at the old speed is not heard any more.
  b.port->SetSettings("2400,e,8,1");
  EXPECT_EQ(b.bus->Reset(Address::Primary(1)), Status::kNoReply);
}

TEST(BusOperations, ApplicationResetAndRawFrames) {
  SimBus b(SimBus::One());
  ASSERT_EQ(b.bus->ApplicationReset(Address::Primary(1), 0x10), Status::kOk);
  ASSERT_EQ(b.bus->ApplicationReset(Address::Primary(1), std::nullopt), Status::kOk);
  // Subcode 0 ("all") is a subcode: its byte is sent, unlike no subcode at all.
  ASSERT_EQ(b.bus->ApplicationReset(Address::Primary(1), 0x00), Status::kOk);
  EXPECT_EQ(b.meter().config().applicationResets, 3);
  const Frames sent = SentFrames(b);
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[1], "6804046873015010D416");  // each operation starts with a link reset
  EXPECT_EQ(sent[3], "68030368730150C416");
  EXPECT_EQ(sent[5], "6804046873015000C416");

  const RawReply reply = b.bus->SendRaw(*ParseHex("10 5B 01 5C 16"));
  EXPECT_EQ(reply.result, Status::kOk);
  DecodedTelegram t;
  ASSERT_EQ(DecodeTelegram(reply.bytes, t), 0);
  EXPECT_EQ(t.header.identNumber, 12345678u);
  EXPECT_EQ(b.bus->SendRaw(*ParseHex("10 5B 07 62 16")).result, Status::kNoReply);
}

TEST(BusOperations, APortThatFailsIsAResultNotAnException) {
  SimBus b(SimBus::One());
  b.port->SetOpenFails(true);
  EXPECT_EQ(b.bus->Read(Address::Primary(1)).result, Status::kPortError);
  EXPECT_FALSE(b.bus->PortFailure().empty());
  for (auto r : {Status::kOk, Status::kNoReply, Status::kDamagedReply, Status::kChecksum,
                 Status::kCollision, Status::kNotAcknowledged, Status::kUnexpectedReply,
                 Status::kBadAddress, Status::kBadArgument, Status::kPortError}) {
    EXPECT_FALSE(StatusText(r).empty());
  }
}

// The named values come from the walk the control itself makes of the same telegram.
TEST(MakerValues, SameAsTheControlReadsAndAcrossTelegrams) {
  sim::MeterConfig c = Meter(4);
  c.energyTotalKwh = 777.77;
  c.relays = {0, 1, -1, 1, -1};
  SimBus b(SimBus::One(c));
  const Reading r = b.bus->Read(Address::Primary(1));
  ASSERT_EQ(r.telegrams.size(), 4u);
  MakerValues all;
  ASSERT_EQ(DecodeMakerValues(r.TelegramBytes(), all), 0);

  virt::VirtualEventLoop loop;
  sim::SimMeter meter(c);
  sim::VirtualMeterPeer peer(meter);
  auto port = std::make_unique<virt::VirtualSerialPort>(loop, &peer);
  virt::RecordingMessageBox boxes;
  virt::RecordingContainer container;
  Velmar control({loop, boxes, container}, std::move(port));
  control.InitProperties();
  meter.config().telegrams = 1;
  ASSERT_EQ(control.cmd_ReqUD2(), 0);
  auto integer = [](const MakerValues& m, const char* name) {
    return std::get<std::int64_t>(m.Get(name));
  };
  EXPECT_EQ(integer(all, "MeterID"), control.MeterID().ToInt32());
  EXPECT_EQ(std::get<std::string>(all.Get("Manufacturer")), control.Manufacturer().ToText());
  EXPECT_EQ(std::get<double>(all.Get("ActiveEnergyTotal")), control.ActiveEnergyTotal().ToDouble());
  const auto tariffs = std::get<std::vector<std::optional<double>>>(all.Get("ActiveEnergy"));
  for (std::int16_t t = 0; t <= 5; ++t) {
    const Variant e = control.ActiveEnergy(t);
    EXPECT_EQ(tariffs[static_cast<std::size_t>(t)].has_value(), !e.IsText()) << t;
    if (!e.IsText()) {
      EXPECT_EQ(*tariffs[static_cast<std::size_t>(t)], e.ToDouble()) << t;
    }
  }
  const auto relays = std::get<std::vector<int>>(all.Get("getRelayState"));
  for (std::int16_t i = 0; i <= 5; ++i)
    EXPECT_EQ(relays[static_cast<std::size_t>(i)], control.getRelayState(i)) << i;
  EXPECT_EQ(std::get<std::string>(all.Get("MeterDate")), control.MeterDate());
  EXPECT_EQ(std::get<std::string>(all.Get("MeterTime")), control.MeterTime());
  EXPECT_EQ(static_cast<std::int32_t>(integer(all, "errorFlags")), control.errorFlags().ToInt32());
  EXPECT_EQ(integer(all, "TransformerRatio"), control.TransformerRatio().ToInt32());
  EXPECT_DOUBLE_EQ(all.Store().voltagePhase[1], 230.1);
  EXPECT_DOUBLE_EQ(all.Store().currentPhase[3], 3.46);
  // The first telegram alone holds the energies but not what later telegrams bring.
  MakerValues first;
  ASSERT_EQ(DecodeMakerValues(r.telegrams[0].bytes, first), 0);
  EXPECT_EQ(std::get<double>(first.Get("ActiveEnergyTotal")),
            std::get<double>(all.Get("ActiveEnergyTotal")));
  EXPECT_EQ(integer(first, "TransformerRatio"), 0);
  EXPECT_TRUE(first.MoreRecords());
}

}  // namespace
}  // namespace velmar
