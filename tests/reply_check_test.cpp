// Judging replies: the acknowledge, the RSP_UD checks in the order they run (each input below
// carries several faults, and the first check that sees one names it), and the error texts.
#include <gtest/gtest.h>

#include <vector>

#include "decode/meter_data.hpp"
#include "decode/record_walker.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"
#include "link/reply_check.hpp"
#include "telegrams.hpp"

namespace velmar {
namespace {

using testing::Bytes;
using testing::Check;
using testing::Telegram;

class ReplyCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkState() = MbusLinkState{};
    MeterData() = OrvMeterData{};
  }
  OrvMeterData& d = MeterData();
};

TEST_F(ReplyCheck, AcknowledgeCheck) {
  EXPECT_EQ(CheckAck(Bytes{0xF9}, 1), 0);
  EXPECT_EQ(CheckAck(Bytes{0x00, 0xE5, 0x00}, 3), 0);
  EXPECT_EQ(CheckAck(Bytes(10, 0xE5), 10), LinkResult::kStructureError);
  EXPECT_EQ(CheckAck(Bytes{0xE5}, 0), LinkResult::kStructureError);
  EXPECT_EQ(CheckAck(Bytes{0x15}, 1), LinkResult::kStructureError);
}

TEST_F(ReplyCheck, ReplyCodesAndTheStateTheyLeave) {
  const Bytes good = Telegram({0x04, 0x06, 0x10, 0x27, 0, 0});
  EXPECT_EQ(Check(good), 0);
  EXPECT_EQ(LinkState().identNumber, 12345678);
  EXPECT_EQ(LinkState().manufacturerCode, 0x3E56);
  EXPECT_EQ(LinkState().statusByte, 0x14);
  EXPECT_TRUE(LinkState().fcbReqUd2);
  EXPECT_EQ(d.activeEnergyTotal, 10000);

  Bytes fc = good;
  fc[0] = 0xFC;
  EXPECT_EQ(CheckRspUd(fc, static_cast<std::int16_t>(fc.size()), 0), 0);
  EXPECT_EQ(fc[0], 0x68);

  Bytes t = good;
  t[3] = 0x69;
  LinkState().identNumber = 5;
  EXPECT_EQ(Check(t), LinkResult::kWrongStartByte);
  EXPECT_EQ(LinkState().identNumber, 5);  // header not read
  t = good;
  t.back() = 0x17;
  EXPECT_EQ(Check(t), LinkResult::kWrongStopByte);
  t = good;
  t[4] = 0x18;
  EXPECT_EQ(Check(t), LinkResult::kStructureError);
  t = good;
  t[t.size() - 2] ^= 1;
  const bool fcb = LinkState().fcbReqUd2;
  EXPECT_EQ(Check(t), LinkResult::kChecksumError);
  EXPECT_NE(LinkState().fcbReqUd2, fcb);  // advanced before the comparison
  EXPECT_EQ(LinkState().identNumber, 12345678);
  t = good;
  t.pop_back();
  t.back() = 0x16;
  EXPECT_EQ(Check(t), LinkResult::kWrongLength);
  t = good;
  t.push_back(0x16);
  EXPECT_EQ(Check(t), 0);  // extra bytes pass when the last one is a stop byte
  EXPECT_EQ(Check(Bytes{0x68, 0x03, 0x03, 0x68, 0x08, 0x05, 0x72, 0x7F, 0x16}),
            LinkResult::kStructureError);
  EXPECT_EQ(LinkState().bytesToDecode, 0);
  EXPECT_EQ(Check(Bytes{0x68, 0x16}), LinkResult::kStructureError);
  LinkState().bytesToDecode = 3;
  EXPECT_EQ(Check(good), LinkResult::kUndecodedData);
  EXPECT_EQ(LinkState().bytesToDecode, 3);
}

TEST_F(ReplyCheck, DecodeMode250KeepsTheStore) {
  d.activeEnergyTotal = 42;
  d.errorFlags = 7;
  EXPECT_EQ(Check(Telegram({}), kAnyBlockType), 0);
  EXPECT_EQ(d.activeEnergyTotal, 42);
  EXPECT_EQ(Check(Telegram({})), 0);
  EXPECT_EQ(d.activeEnergyTotal, 0);
  EXPECT_EQ(d.errorFlags, 7);  // survives the store reset
}

TEST_F(ReplyCheck, ErrorTexts) {
  EXPECT_EQ(MbusErrorText(-6),
            "Com.err. Wrong length in Mbus message compared with recieved data.");
  EXPECT_EQ(MbusErrorText(-8), "Com.Err. Unknown error when recieving Mbus data.");
  EXPECT_EQ(MbusErrorText(1), MbusErrorText(-8));
}

// Each pair of faults below is caught by the check that runs first.
TEST_F(ReplyCheck, TheFirstCheckThatSeesAFaultNamesIt) {
  const Bytes good = Telegram({0x0F, 0x80, 0x1C, 0x00});
  auto with = [&](auto change) {
    Bytes t = good;
    change(t);
    LinkState().bytesToDecode = 0;
    return Check(t, 0x1C);
  };
  const std::size_t last = good.size() - 1, sum = good.size() - 2;
  // start and stop byte both wrong: the start byte is looked at first
  EXPECT_EQ(with([&](Bytes& t) { t[0] = 0x69, t[last] = 0x17; }), LinkResult::kWrongStartByte);
  // stop byte wrong and the L fields differ: the stop byte first
  EXPECT_EQ(with([&](Bytes& t) { t[last] = 0x17, t[2] ^= 1; }), LinkResult::kWrongStopByte);
  // L fields differ and both are too long: the two L fields first
  EXPECT_EQ(with([&](Bytes& t) { t[1] = 0xF0, t[2] = 0xF1; }), LinkResult::kStructureError);
  // L past the data and the second start byte wrong: the length first
  EXPECT_EQ(with([&](Bytes& t) { t[1] = t[2] = 0xF0, t[3] = 0x69; }), LinkResult::kWrongLength);
  // second start byte wrong and C field wrong: the start byte first
  EXPECT_EQ(with([&](Bytes& t) { t[3] = 0x69, t[4] = 0x18; }), LinkResult::kWrongStartByte);
  // C field wrong and checksum wrong: the header first
  EXPECT_EQ(with([&](Bytes& t) { t[4] = 0x18, t[sum] ^= 1; }), LinkResult::kStructureError);
  // block type wrong and checksum wrong: the records first
  EXPECT_EQ(with([&](Bytes& t) { t[21] = 0x1B, t[sum] ^= 1; }), LinkResult::kWrongBlockType);
  // an unfinished earlier walk is refused before anything of this reply is looked at
  LinkState().bytesToDecode = 1;
  Bytes bad_start = good;
  bad_start[3] = 0x69;
  EXPECT_EQ(Check(bad_start, 0x1C), LinkResult::kUndecodedData);
}

}  // namespace
}  // namespace velmar
