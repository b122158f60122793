// Finding the meters of a bus on the virtual line through the bus master: a primary scan and a
// secondary search over 30 simulated meters whose identification numbers share prefixes,
// collisions (two meters at one address or one number, an acknowledge followed by more bytes),
// a meter that never answers, a gateway that delivers in bursts, and the search's wildcards.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim_bus.hpp"
#include "velmar/error.hpp"
#include "velmar/scan.hpp"

namespace velmar {
namespace {

using testing::SimBus;

// Thirty meters at primary addresses 1-30 whose numbers share long prefixes: 1234567x, 123456xy,
// 12345xyz, so the search must narrow through several digits; and a mute meter at 31.
std::vector<sim::MeterConfig> Thirty(int count = 30) {
  std::vector<sim::MeterConfig> out;
  for (int i = 0; i < count; ++i) {
    sim::MeterConfig c;
    c.primaryAddress = static_cast<std::uint8_t>(i + 1);
    c.identNumber = i < 10 ? 12345670 + i : i < 20 ? 12345600 + 3 * (i - 10) : 12345000 + 31 * i;
    c.responseDelayMs = 5 + i % 7;  // meters answer at their own pace
    out.push_back(c);
  }
  sim::MeterConfig mute;
  mute.primaryAddress = 31;
  mute.identNumber = 12345671 + 1000;
  mute.mute = true;
  out.push_back(mute);
  return out;
}

std::set<std::uint32_t> Answering(const SimBus& b) {
  std::set<std::uint32_t> ids;
  for (const auto& m : b.owned) {
    if (!m->config().mute) ids.insert(static_cast<std::uint32_t>(m->config().identNumber));
  }
  return ids;
}

TEST(BusScan, SecondarySearchFindsEveryAnsweringMeterExactlyOnce) {
  SimBus b(Thirty());
  BusScanner scanner(*b.bus);
  std::vector<std::uint32_t> reported;
  scanner.SetFoundCallback([&](const FoundMeter& m) { reported.push_back(m.identNumber); });
  const auto found = scanner.SearchSecondary();
  std::multiset<std::uint32_t> ids;
  for (const FoundMeter& m : found) {
    EXPECT_TRUE(m.readable);
    EXPECT_FALSE(m.collision);
    EXPECT_EQ(std::string(m.manufacturer.data()), "ORV");
    ids.insert(m.identNumber);
  }
  EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()), Answering(b));
  EXPECT_EQ(ids.size(), 30u);  // each once; the mute meter never
  EXPECT_EQ(reported.size(), 30u);
  EXPECT_LT(scanner.Probes(), 30 * 15);  // the probes follow the meters, not the numbers
}

TEST(BusScan, PrimaryScanFindsEveryAddressAndReadsIt) {
  SimBus b(Thirty());
  BusScanner scanner(*b.bus);
  const auto found = scanner.ScanPrimary(0, 40);
  ASSERT_EQ(found.size(), 30u);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].primaryAddress, static_cast<int>(i) + 1);
    EXPECT_EQ(found[i].identNumber, static_cast<std::uint32_t>(b.meter(i).config().identNumber));
  }
  EXPECT_EQ(scanner.Probes(), 41);
}

// Replies that are not one clean E5 mean several meters: reported as a collision, never counted
// as a meter, and no data request goes to that address.
TEST(BusScan, CollisionsAreReportedAndNeverRead) {
  SimBus b(Thirty(2));
  b.meter(1).config().primaryAddress = 1;
  BusScanner scanner(*b.bus);
  const auto found = scanner.ScanPrimary(1, 2);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].primaryAddress, 1);
  EXPECT_TRUE(found[0].collision);
  EXPECT_FALSE(found[0].readable);
  const auto& sent = b.Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x7B), 0) << "a data request was sent";
}

// An acknowledge followed by more bytes, heard again when the address is asked once more, is a
// collision; heard once, it may be the tail of an earlier answer, and the second answer counts.
TEST(BusScan, AnAcknowledgeFollowedByMoreBytesIsACollision) {
  SimBus once(Thirty(1));
  once.meter().InjectFault({sim::FaultKind::kExtraBytes, 3});  // E5 00 00 00
  const auto asked_again = BusScanner(*once.bus).ScanPrimary(1, 1);
  ASSERT_EQ(asked_again.size(), 1u);
  EXPECT_FALSE(asked_again[0].collision);
  EXPECT_TRUE(asked_again[0].readable);

  SimBus b(Thirty(1));
  for (int i = 0; i < 2; ++i) b.meter().InjectFault({sim::FaultKind::kExtraBytes, 3});
  BusScanner scanner(*b.bus);
  const auto found = scanner.ScanPrimary(1, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].collision);
  const auto& sent = b.Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x7B), 0) << "a data request was sent";
}

TEST(BusScan, OneNumberOnTwoMetersIsACollisionAndIsNotRead) {
  SimBus b(Thirty(2));
  b.meter(1).config().identNumber = b.meter(0).config().identNumber;
  BusScanner scanner(*b.bus);
  const auto found = scanner.SearchSecondary(*SearchPattern::Parse("12345670"));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].collision);
  EXPECT_EQ(found[0].identNumber, 12345670u);
  const auto& sent = b.Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x7B), 0) << "a data request was sent";
}

// A gateway passes replies on in bursts with 250 ms between them: longer than the probe window
// and the standard's reply time, but a reply in progress is not cut short.
TEST(BusScan, BurstsFromAGatewayDoNotSplitReplies) {
  SimBus b(Thirty(10));
  b.peer->SetLine({false, 8, 250});
  BusScanner scanner(*b.bus);
  const auto found = scanner.ScanPrimary(0, 12);
  ASSERT_EQ(found.size(), 10u);
  for (const FoundMeter& m : found) {
    EXPECT_TRUE(m.readable) << m.primaryAddress;
    EXPECT_FALSE(m.collision) << m.primaryAddress;
  }
}

// Bursts of six bytes with pauses up to the byte time-out (a gateway that passes on what it
// has every half second): both scans find exactly the meters there, each read for its number,
// and nothing of one meter's long reply is taken for the next probe's answer.
TEST(BusScan, SlowBurstsFindExactlyTheMetersThere) {
  for (int gap : {250, 450}) {
    SimBus b(Thirty(3));
    b.peer->SetLine({false, 6, gap});
    BusScanner primary(*b.bus);
    const auto found = primary.ScanPrimary(0, 6);
    ASSERT_EQ(found.size(), 3u) << gap;
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_TRUE(found[i].readable) << gap << " " << found[i].primaryAddress;
      EXPECT_EQ(found[i].primaryAddress, static_cast<int>(i) + 1) << gap;
      EXPECT_EQ(found[i].identNumber, static_cast<std::uint32_t>(b.meter(i).config().identNumber));
    }
    BusScanner secondary(*b.bus);
    std::set<std::uint32_t> ids;
    for (const FoundMeter& m : secondary.SearchSecondary()) {
      EXPECT_TRUE(m.readable) << gap << " " << m.identNumber;
      ids.insert(m.identNumber);
    }
    EXPECT_EQ(ids, Answering(b)) << gap;
  }
}

// What arrives after its time belongs to no later probe: the tail of a reply that trickles on
// for three seconds after its frame, and an acknowledge that comes after the probe window. A
// scan reports exactly the meters there, with no collision or phantom meter at the address
// probed next.
TEST(BusScan, ALateAnswerIsNeverTakenForTheNextAddress) {
  SimBus trickle(Thirty(1));
  trickle.meter().InjectFault({sim::FaultKind::kNone});         // the probe
  trickle.meter().InjectFault({sim::FaultKind::kNone});         // the read's link reset
  trickle.meter().InjectFault({sim::FaultKind::kTrickle, 10});  // its data, then zeros to 3 s
  const auto found = BusScanner(*trickle.bus).ScanPrimary(1, 3);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].primaryAddress, 1);
  EXPECT_TRUE(found[0].readable);

  SimBus late(Thirty(1));
  late.meter().InjectFault({sim::FaultKind::kDelay, 300});  // after the 188 ms window
  const auto after_late = BusScanner(*late.bus).ScanPrimary(1, 3);
  for (const FoundMeter& m : after_late) EXPECT_NE(m.primaryAddress, 2) << "phantom meter";
}

// Before a meter is given a new address, what answers there is asked: a late acknowledge of the
// request before (a meter that answered after its window) is not a meter at the new address,
// and a meter that is there is found.
TEST(BusScan, TheNewAddressIsFreeWhenOnlyALateAnswerIsHeardThere) {
  SimBus late(Thirty(1));
  late.meter().InjectFault({sim::FaultKind::kDelay, 300});  // after the 188 ms window
  EXPECT_EQ(late.bus->Probe(Address::Primary(1)), Status::kNoReply);
  EXPECT_EQ(BusScanner(*late.bus).AnswerAt(Address::Primary(2)), Status::kNoReply);
  EXPECT_EQ(BusScanner(*late.bus).AnswerAt(Address::Primary(1)), Status::kOk);
  EXPECT_FALSE(BusScanner(*late.bus).Occupied(2));
}

// A new primary address is taken by one meter there, and more so by two answering at once: a
// third would make three meters no read can tell apart.
TEST(BusScan, TwoMetersAtTheNewAddressMakeItTakenAsOneDoes) {
  SimBus b(Thirty(3));
  b.meter(1).config().primaryAddress = 7;
  b.meter(2).config().primaryAddress = 7;
  BusScanner scanner(*b.bus);
  EXPECT_EQ(scanner.AnswerAt(Address::Primary(7)), Status::kCollision);
  EXPECT_TRUE(scanner.Occupied(7));
  EXPECT_TRUE(scanner.Occupied(1));
  EXPECT_FALSE(scanner.Occupied(8));
  b.port->SetOpenFails(true);
  b.bus->Close();
  EXPECT_THROW(scanner.Occupied(8), PortError);
}

// A meter that acknowledges but whose data cannot be read (every answer damaged): a primary
// scan reports it at its address with its number unknown, never as number 0; a search narrows
// it to the number it answers to.
TEST(BusScan, AMeterWhoseDataCannotBeReadIsNeverNumberZero) {
  SimBus b(Thirty(1));
  // Its acknowledges are clean; every data telegram it sends has a bad check byte.
  for (int i = 0; i < 100; ++i) b.meter().InjectFault({sim::FaultKind::kBadChecksum});
  BusScanner primary(*b.bus);
  const auto at_address = primary.ScanPrimary(1, 1);
  ASSERT_EQ(at_address.size(), 1u);
  EXPECT_FALSE(at_address[0].readable);
  EXPECT_FALSE(at_address[0].identKnown);

  BusScanner search(*b.bus);
  const auto by_number = search.SearchSecondary();
  ASSERT_EQ(by_number.size(), 1u);
  EXPECT_FALSE(by_number[0].readable);
  EXPECT_TRUE(by_number[0].identKnown);
  EXPECT_EQ(by_number[0].identNumber, 12345670u);
}

// A probe listens 330 bit times plus 50 ms (187.5 ms at 2400 baud, 188 on the millisecond
// timer) after its frame; a scan of silent addresses costs just that.
TEST(BusScan, ASilentAddressCostsItsFrameAndTheProbeWindow) {
  SimBus b({});
  BusScanner scanner(*b.bus);
  EXPECT_EQ(b.bus->ReplyTimeoutMs(), 188);
  EXPECT_TRUE(scanner.ScanPrimary(0, 0).empty());  // opens the port and lets it settle
  const virt::Nanos start = b.loop.Now();
  EXPECT_TRUE(scanner.ScanPrimary(1, 10).empty());
  const virt::Nanos per_address = (b.loop.Now() - start) / 10;
  EXPECT_EQ(per_address, 5 * b.port->CharacterTime() + virt::Ms(188));
}

TEST(BusScan, SearchNarrowsByManufacturerVersionAndMedium) {
  auto configs = Thirty(4);
  configs[1].manufacturer = "KAM";
  configs[2].medium = 7;
  configs[3].version = 9;
  SimBus b(configs);
  BusScanner scanner(*b.bus);
  auto ids = [&](const char* pattern) {
    std::set<std::uint32_t> out;
    for (const FoundMeter& m : scanner.SearchSecondary(*SearchPattern::Parse(pattern))) {
      out.insert(m.identNumber);
    }
    return out;
  };
  EXPECT_EQ(ids("FFFFFFFF,KAM"), (std::set<std::uint32_t>{12345671}));
  EXPECT_EQ(ids("FFFFFFFF,*,*,07"), (std::set<std::uint32_t>{12345672}));
  EXPECT_EQ(ids("FFFFFFFF,ORV,09,FF"), (std::set<std::uint32_t>{12345673}));
  EXPECT_EQ(ids("1234567F,orv,02,02"), (std::set<std::uint32_t>{12345670}));
}

TEST(BusScan, PatternsAndRangesAreChecked) {
  SimBus b(Thirty(1));
  BusScanner scanner(*b.bus);
  for (const char* bad : {"1234567", "123456789", "1234567G", "", "FFFFFFFF,KA", "FFFFFFFF,KAM,1",
                          "FFFFFFFF,KAM,01,02,03", "FFFFFFFF,K1M"}) {
    std::string why;
    EXPECT_FALSE(SearchPattern::Parse(bad, &why)) << bad;
    EXPECT_FALSE(why.empty());
  }
  EXPECT_THROW(scanner.ScanPrimary(0, 251), ArgumentError);
  EXPECT_THROW(scanner.ScanPrimary(5, 4), ArgumentError);
  EXPECT_TRUE(b.Sent().empty());
}

}  // namespace
}  // namespace velmar
