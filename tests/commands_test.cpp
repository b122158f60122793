// Every meter command end to end against the simulated meter, in virtual time.
#include <gtest/gtest.h>

#include <cmath>

#include "codec/checksums.hpp"
#include "codec/hex.hpp"
#include "commands/meter_commands.hpp"
#include "transport/transport.hpp"
#include "virtual_bench.hpp"

namespace velmar {
namespace {

using testing::VirtualBench;
using Bytes = std::vector<std::uint8_t>;
using Shown = virt::RecordingMessageBox::Shown;

Shown ErrorBox(const std::string& text) {
  return {text, std::string("Error")};
}

std::string Sent(const VirtualBench& b) {
  return HexText(b.port->Transmitted());
}

TEST(MeterReading, ReadsEveryValueAtAddress254) {
  VirtualBench b;
  Velmar& v = *b.control;
  ASSERT_EQ(v.cmd_ReqUD2(), 0);
  EXPECT_EQ(Sent(b), "1040FE3E16107BFE7916");
  const sim::MeterConfig& c = b.meter.config();
  EXPECT_EQ(v.MeterID(), Variant(c.identNumber));
  EXPECT_EQ(v.Manufacturer(), Variant("ORV"));
  EXPECT_NEAR(v.ActiveEnergyTotal().ToDouble(), c.energyTotalKwh, 1e-9);
  for (std::int16_t t = 1; t <= 4; ++t) {
    EXPECT_NEAR(v.ActiveEnergy(t).ToDouble(), c.energyTariffKwh[t - 1u], 1e-9);
  }
  EXPECT_EQ(v.TransformerRatio(), Variant(c.transformerRatio));
  EXPECT_EQ(v.activeTariff(), Variant(c.activeTariff));
  EXPECT_EQ(v.powerFailCount(), Variant(c.powerFailCount));
  EXPECT_EQ(v.errorFlags(), Variant(static_cast<std::int32_t>(c.errorFlags)));
  EXPECT_EQ(v.MeterDate(), "261205");
  EXPECT_EQ(v.MeterTime(), "14:30:00");
  EXPECT_EQ(v.getRelayState(0), 1);
  EXPECT_EQ(v.getRelayState(1), 0);
  EXPECT_EQ(v.getRelayState(2), -2);
  const OrvMeterData& d = MeterData();
  EXPECT_NEAR(d.voltagePhase[2], 229.8, 1e-9);
  EXPECT_NEAR(d.currentPhase[3], 3.46, 1e-9);
  EXPECT_NEAR(d.reactivePowerTotal, 120.5, 1e-9);
  EXPECT_EQ(d.firmwareVersion, "V1.04");
  EXPECT_EQ(d.durationText, " 1 d,  2 h, 3 m, 4 s");
  EXPECT_FALSE(b.port->PortOpen());
  EXPECT_TRUE(b.messages.shown.empty());
}

TEST(MeterReading, KeepPortOpenLeavesThePortOpenAcrossReads) {
  VirtualBench b;
  b.control->keepPortopen(true);
  EXPECT_EQ(b.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(b.control->cmd_ReqUD2(), 0);
  EXPECT_TRUE(b.port->PortOpen());
  EXPECT_EQ(b.port->OpenCount(), 1);
}

TEST(MeterReading, RefusedReplyIsShownAndReturned) {
  VirtualBench b;
  b.meter.InjectFault({sim::FaultKind::kDelay, 20});  // the acknowledge of SND_NKE
  b.meter.InjectFault({sim::FaultKind::kBadChecksum});
  EXPECT_EQ(b.control->cmd_ReqUD2(), -4);
  EXPECT_EQ(b.messages.shown,
            std::vector<Shown>{ErrorBox("Communication error. Checksum error in message.")});
  b.control->noErrorPopup(true);
  b.meter.InjectFault({sim::FaultKind::kDelay, 20});
  b.meter.InjectFault({sim::FaultKind::kBadControl});
  EXPECT_EQ(b.control->cmd_ReqUD2(), -3);
  EXPECT_EQ(b.messages.shown.size(), 1u);
  EXPECT_EQ(b.control->cmd_ReqUD2(), 0);  // the next clean read works
}

TEST(MeterReading, PortThatCannotOpen) {
  VirtualBench b;
  b.port->SetOpenFails(true);
  EXPECT_EQ(b.control->cmd_ReqUD2(), -1);
  EXPECT_EQ(b.messages.shown, std::vector<Shown>{ErrorBox("Could not init communication")});
  EXPECT_TRUE(b.port->Transmitted().empty());
}

TEST(MeterReading, AddressZeroResetsTheSecondaryAddress) {
  VirtualBench b;
  b.meter.config().primaryAddress = 0;
  b.control->txt_Adress().SetText("0");
  EXPECT_EQ(b.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(Sent(b), "1040FD3D16107B007B16");
}

TEST(MeterReading, SecondaryAddressSelectsThenFailsToFitAByte) {
  VirtualBench b;
  b.control->txt_Adress().SetText("12345678");
  EXPECT_THROW(b.control->cmd_ReqUD2(), OverflowError);
  EXPECT_EQ(Sent(b),
            "1040FD3D16"
            "680B0B6873FD5278563412563E0202"
            "6E16");
  EXPECT_TRUE(b.port->PortOpen());
  EXPECT_TRUE(b.messages.shown.empty());
}

TEST(Passwords, PaddedPasswordOpensTheMeterAndIsWrittenBack) {
  VirtualBench b({.password = "12000000"});
  std::string pw = "12";
  EXPECT_EQ(b.control->givePassword(pw), 0);
  EXPECT_EQ(pw, "12000000");
  EXPECT_TRUE(b.meter.unlocked());
  EXPECT_TRUE(b.port->PortOpen());  // left open for the writes that follow
  // The last frame: data bytes last character first, so "1" is the last byte before CS.
  const std::string sent = Sent(b);
  EXPECT_EQ(sent.substr(sent.size() - 40),
            "680E0E6873FE5107FD163030303030303231"
            "5F16");
}

TEST(Passwords, WrongPasswordAndChangeWithoutOpenMeter) {
  VirtualBench b;
  std::string pw = "secret";
  EXPECT_EQ(b.control->givePassword(pw), -3);
  EXPECT_EQ(b.messages.shown, std::vector<Shown>{ErrorBox("Communication Timeout. No reply.")});
  EXPECT_TRUE(b.port->PortOpen());
  std::string fresh = "abc";
  EXPECT_EQ(b.control->ChangePassword(fresh), -2);
  EXPECT_TRUE(b.port->PortOpen());                    // failures leave it open
  b.meter.InjectFault({sim::FaultKind::kDelay, 20});  // the acknowledge of SND_NKE
  b.meter.InjectFault({sim::FaultKind::kNack});
  pw = "";
  EXPECT_EQ(b.control->givePassword(pw), -4);
  EXPECT_EQ(b.messages.shown.back(), ErrorBox("Communication error. Other Mbus structure error."));
}

TEST(Passwords, ChangeClosesOnlyAfterAnAcknowledge) {
  VirtualBench b;
  std::string pw = "00000000";
  ASSERT_EQ(b.control->givePassword(pw), 0);
  std::string fresh = "4711";
  EXPECT_EQ(b.control->ChangePassword(fresh, Variant("1")), 0);
  EXPECT_EQ(b.meter.config().password, "47110000");
  EXPECT_FALSE(b.port->PortOpen());
}

TEST(Passwords, BadAddressesFailBeforeAnythingIsSent) {
  VirtualBench b;
  std::string pw = "x";
  EXPECT_THROW(b.control->givePassword(pw, Variant(std::int32_t{256})), OverflowError);
  EXPECT_THROW(b.control->givePassword(pw, Variant("abc")), ConversionError);
  EXPECT_THROW(b.control->givePassword(pw, Variant(std::int32_t{-1})), OverflowError);
  std::uint8_t mode = 1;
  EXPECT_THROW(b.control->LockMeter(mode, Variant("1x")), ConversionError);
  EXPECT_TRUE(b.port->Transmitted().empty());
}

class WriteSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pw = "00000000";
    ASSERT_EQ(b.control->givePassword(pw), 0);
    before = b.port->Transmitted().size();
  }
  std::string SentSince() const {
    return HexText(Bytes(b.port->Transmitted().begin() + static_cast<long>(before),
                         b.port->Transmitted().end()));
  }
  VirtualBench b;
  std::size_t before = 0;
};

TEST_F(WriteSequence, ClockInBothFormsAndReadBack) {
  std::string t = "235959311299";
  EXPECT_EQ(b.control->SetDateTime(t), 0);
  EXPECT_NE(SentSince().find("0E6D595923311299"), std::string::npos);
  EXPECT_FALSE(b.port->PortOpen());
  EXPECT_EQ(b.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(b.control->MeterDate(), "991231");
  EXPECT_EQ(b.control->MeterTime(), "23:59:59");
  before = b.port->Transmitted().size();
  EXPECT_EQ(b.control->SetDateTimeStd(t), 0);
  EXPECT_NE(SentSince().find("046D3B177FCC"), std::string::npos);
}

TEST_F(WriteSequence, ClockTextOfWrongLengthSendsNothing) {
  for (std::string t : {"23595931129", "2359593112990", "          12"}) {
    EXPECT_EQ(b.control->SetDateTime(t), -2) << t;
    EXPECT_EQ(b.control->SetDateTimeStd(t), -2) << t;
  }
  EXPECT_EQ(SentSince(), "");
  EXPECT_TRUE(b.messages.shown.empty());
}

TEST_F(WriteSequence, LockSendsTheModeAndClosesOnEveryPath) {
  std::uint8_t mode = 0xA5;
  EXPECT_EQ(b.control->LockMeter(mode), 0);
  EXPECT_EQ(b.meter.lockModes(), Bytes{0xA5});
  EXPECT_FALSE(b.port->PortOpen());
  b.meter.InjectFault({sim::FaultKind::kSilence});
  EXPECT_EQ(b.control->LockMeter(mode), -2);
  EXPECT_FALSE(b.port->PortOpen());
  b.meter.InjectFault({sim::FaultKind::kGarbage});
  EXPECT_EQ(b.control->LockMeter(mode), -3);
  EXPECT_FALSE(b.port->PortOpen());
}

TEST_F(WriteSequence, TariffTableRoundTrip) {
  Bytes table(120);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i + 1);
  std::int32_t len = 120;
  std::vector<int> progress;
  b.control->SetProgressCallback([&](int block, int) { progress.push_back(block); });
  EXPECT_EQ(b.control->SetIntervals(table, len), 0);
  EXPECT_EQ(progress, (std::vector<int>{1, 2}));
  EXPECT_EQ(b.meter.config().table, table);
  EXPECT_FALSE(b.port->PortOpen());
  Bytes back(399);
  std::int32_t back_len = 0;
  EXPECT_EQ(b.control->ReadIntervals(back, back_len), 0);
  back.resize(static_cast<std::size_t>(back_len));
  EXPECT_EQ(back, table);
  EXPECT_TRUE(b.messages.shown.empty());
}

TEST_F(WriteSequence, TableSizeErrorsSendNothing) {
  Bytes table(400);
  std::int32_t len = 303;
  EXPECT_EQ(b.control->SetIntervals(table, len), -4);
  const Shown size_box{"SetIntervals. Size of tariff data grater than maximum size!", std::nullopt};
  EXPECT_EQ(b.messages.shown, std::vector<Shown>{size_box});
  len = -5;
  EXPECT_THROW(b.control->SetIntervals(table, len), ArgumentError);
  len = 10;
  EXPECT_THROW(b.control->SetIntervals(std::span(table).first(5), len), ArgumentError);
  EXPECT_EQ(SentSince(), "");
  EXPECT_TRUE(b.port->PortOpen());
  b.messages.shown.clear();
  b.control->noErrorPopup(true);
  len = 303;
  EXPECT_EQ(b.control->SetIntervals(table, len), -4);
  EXPECT_TRUE(b.messages.shown.empty());
}

// A full table: block 1 carries image bytes 0-196, block 2 bytes 197-303 (the last 105 table
// bytes and the CRC), each a long frame with its own frame-count bit; each block is followed by
// a REQ_UD2 for its confirmation, whose frame-count bit flips with every answered request.
TEST_F(WriteSequence, FullTableGoesOutAsTwoExactBlocks) {
  Bytes table(302);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 7 + 1);
  std::int32_t len = 302;
  ASSERT_EQ(b.control->SetIntervals(table, len), 0);
  const std::uint16_t crc = Crc16(table, 302, 0);
  auto long_frame = [](std::uint8_t c, std::uint8_t type, Bytes image_part) {
    Bytes body = {c, 0xFE, 0x51, 0x0F, 0x80, type};
    body.insert(body.end(), image_part.begin(), image_part.end());
    const auto l = static_cast<std::uint8_t>(body.size());
    Bytes f = {0x68, l, l, 0x68};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(ByteSum(body));
    f.push_back(0x16);
    return HexText(f);
  };
  Bytes second(table.begin() + 197, table.end());
  second.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  second.push_back(static_cast<std::uint8_t>(crc >> 8));
  const std::string expected = long_frame(0x53, 0x1B, Bytes(table.begin(), table.begin() + 197)) +
                               "107BFE7916" + long_frame(0x73, 0x1C, second) + "105BFE5916";
  EXPECT_EQ(SentSince(), expected);
  EXPECT_EQ(b.meter.config().table, table);
}

TEST(TariffIntervals, UnconfirmedFirstBlockReportsItsStatus) {
  VirtualBench b;
  b.meter.InjectFault({sim::FaultKind::kConfirmStatus, 5});
  Bytes table = {1, 2, 3};
  std::int32_t len = 3;
  EXPECT_EQ(b.control->SetIntervals(table, len), -5);
  EXPECT_EQ(b.messages.shown, std::vector<Shown>{ErrorBox(
                                  "No confirmation on written block (Wrong password/meter closed?):"
                                  "  5")});
  EXPECT_EQ(b.control->MeterErrorCode(), Variant(std::uint8_t{5}));
  EXPECT_TRUE(b.port->PortOpen());
}

TEST(TariffIntervals, ReadBackTrimsCrcAndZeroPadding) {
  VirtualBench b({.table = {0x11, 0x22, 0x00}});
  Bytes back(2);
  std::int32_t len = 0;
  EXPECT_EQ(b.control->ReadIntervals(back, len), 0);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(back, (Bytes{0x11, 0x22}));
  Bytes small(1);
  EXPECT_THROW(b.control->ReadIntervals(small, len), IndexOutOfRangeError);
  EXPECT_EQ(len, 2);  // unchanged
}

// The status byte of a read-back block is the meter's business: 0xFF is a block like any other,
// and a table spread over several telegrams comes back whole.
TEST(TariffIntervals, ReadBackTakesBlocksWhateverTheirStatus) {
  VirtualBench b({.table = {0x01, 0x06, 0x00, 0x02, 0x16}, .readChunk = 3, .readBackStatus = 0xFF});
  Bytes back(399);
  std::int32_t len = 0;
  EXPECT_EQ(b.control->ReadIntervals(back, len), ReadIntervalsResult::kOk);
  back.resize(static_cast<std::size_t>(len));
  EXPECT_EQ(back, (Bytes{0x01, 0x06, 0x00, 0x02, 0x16}));
  EXPECT_TRUE(b.messages.shown.empty());
  // Eight bytes in three telegrams: each answered REQ_UD2 flips the frame-count bit.
  EXPECT_NE(Sent(b).find("107BFE7916105BFE5916107BFE7916"), std::string::npos) << Sent(b);
}

TEST(TariffIntervals, WrongBlockTypeFailsTheRead) {
  VirtualBench b;
  b.meter.InjectFault({sim::FaultKind::kDelay, 20});  // SND_NKE
  b.meter.InjectFault({sim::FaultKind::kDelay, 20});  // read request
  b.meter.InjectFault({sim::FaultKind::kBadBlockType});
  Bytes back(399);
  std::int32_t len = 0;
  EXPECT_EQ(b.control->ReadIntervals(back, len), -4);
  EXPECT_EQ(b.messages.shown,
            std::vector<Shown>{
                ErrorBox("Com.err. Expected one type of userdata but recieved another type.")});
  EXPECT_FALSE(b.port->PortOpen());
}

TEST(TariffIntervals, Crc16CheckValues) {
  const std::string a = "123456789", c = "abc";
  EXPECT_EQ(Crc16(Bytes(a.begin(), a.end()), 9, 0), 0xCE3C);
  EXPECT_EQ(Crc16(Bytes(c.begin(), c.end()), 3, 0), 0x6229);
  EXPECT_EQ(Crc16(Bytes{}, 0, 0x1234), static_cast<std::uint16_t>(~0x1234));
}

}  // namespace
}  // namespace velmar
