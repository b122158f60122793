// Value conversion, the record walker and the quantity table.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "codec/codings.hpp"
#include "codec/hex.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "decode/record_walker.hpp"
#include "decode/rsp_ud.hpp"
#include "decode/value_conversion.hpp"
#include "link/link_state.hpp"
#include "link/reply_check.hpp"
#include "telegrams.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Decoder : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkState() = MbusLinkState{};
    MeterData() = OrvMeterData{};
  }
  // Walks record bytes as the reply parser would, collecting the notices.
  std::int16_t Walk(const Bytes& records, std::uint8_t mode = 0) {
    ScopedNoticeSink sink(MeterData(), [this](const std::string& t) { notices.push_back(t); });
    MeterData().decodeState = kExpectDif;
    for (std::uint8_t b : records) {
      if (std::int16_t r = DecodeDataRecords(MeterData(), b, mode); r != 0) return r;
    }
    return 0;
  }
  static Bytes Telegram(const Bytes& records) { return testing::Telegram(records); }
  static std::int16_t Check(Bytes t, std::uint8_t mode = 0) { return testing::Check(t, mode); }
  std::vector<std::string> notices;
  OrvMeterData& d = MeterData();
};

TEST_F(Decoder, IntegersOfEveryWidthAndSign) {
  Walk({0x02, 0x13, 0xFF, 0xFF});
  EXPECT_EQ(d.recordValue, -1);
  Walk({0x01, 0x13, 0x80});
  EXPECT_EQ(d.recordValue, -128);
  Walk({0x04, 0x03, 0x10, 0x27, 0x00, 0x00});
  EXPECT_EQ(d.recordValue, 10000);
  EXPECT_EQ(d.activeEnergyTotal, 10);  // Wh -> kWh
  EXPECT_TRUE(notices.empty());
  Walk({0x06, 0x13, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01});
  EXPECT_EQ(d.recordValue, 1099511627777.0);
  EXPECT_EQ(notices, std::vector<std::string>(2, "Overflow. Larger than 4 bytes integer!"));
  Walk({0x07, 0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(d.recordValue, 4294967295.0);
  EXPECT_EQ(d.recordValueHigh, -1);
  EXPECT_EQ(notices.size(), 2u);
}

// The whole-field path (the one real replies take) gives the same two's-complement values as
// the byte step, for every width.
TEST_F(Decoder, NegativeIntegersOfEveryWidthThroughTheWholeField) {
  struct Case {
    const char* record;
    double value;
  };
  const Case cases[] = {
      {"01 13 FE", -2},
      {"02 13 00 80", -32768},
      {"03 13 FF FF FF", -1},
      {"04 13 00 00 00 80", -2147483648.0},
      {"06 13 FF FF FF FF FF FF", -1},
  };
  for (const Case& c : cases) {
    MeterData() = OrvMeterData{};
    const Bytes record = *ParseHex(c.record);
    std::size_t consumed = 0;
    ASSERT_EQ(DecodeRecordArea(d, record, 0, consumed), 0);
    EXPECT_EQ(consumed, record.size());
    EXPECT_EQ(d.recordValue, c.value) << c.record;
  }
  MeterData() = OrvMeterData{};
  std::size_t consumed = 0;
  const Bytes eight = {0x07, 0x13, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(DecodeRecordArea(d, eight, 0, consumed), 0);
  EXPECT_EQ(d.recordValue, 4294967294.0);  // low 32 bits, unsigned
  EXPECT_EQ(d.recordValueHigh, -1);
}

// Scaled values are the doubles nearest the decimal numbers: 22860 with two places is 228.6,
// not the 228.60000000000002 a multiplication by 0.01 gives.
TEST_F(Decoder, ScaledValuesAreTheNearestDoubles) {
  ASSERT_EQ(Check(Telegram({0x04, 0x04, 0x4C, 0x59, 0x00, 0x00,     // 22860 x 10 Wh
                            0x02, 0xFD, 0xC8, 0x01, 0xEE, 0x08,     // 2286 x 0.1 V, phase 1
                            0x04, 0x29, 0x4C, 0x59, 0x00, 0x00})),  // 22860 x 0.01 W
            0);
  EXPECT_EQ(d.activeEnergyTotal, 228.6);
  EXPECT_EQ(d.voltagePhase[1], 228.6);
  EXPECT_EQ(d.activePowerTotal, 228.6);
}

TEST_F(Decoder, BcdRealsAndText) {
  Walk({0x0A, 0x13, 0x34, 0x12});
  EXPECT_EQ(d.recordValue, 1234);
  Walk({0x0E, 0x13, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00});
  EXPECT_EQ(d.recordValue, 123456);
  Walk({0x09, 0x13, 0x0A});
  EXPECT_EQ(d.recordValue, -1);  // a nibble above 9 counts as -1
  Walk({0x09, 0x13, 0xA0});
  EXPECT_EQ(d.recordValue, -10);
  for (auto [bytes, value] :
       std::vector<std::pair<Bytes, double>>{{{0x00, 0x00, 0x80, 0x3F}, 1.0},
                                             {{0, 0, 0, 0}, 0.0},
                                             {{0x00, 0x00, 0xC0, 0xBF}, -1.5}}) {
    EXPECT_EQ(SingleFromBytes(bytes), value);
  }
  EXPECT_TRUE(std::isnan(SingleFromBytes(Bytes{0x01, 0x00, 0x80, 0x7F})));
  Walk({0x0D, 0xFD, 0x0E, 0x03, 0x43, 0x42, 0x41, 0x04, 0x03, 0x01, 0, 0, 0});
  EXPECT_EQ(d.recordText, "ABC");
  EXPECT_EQ(d.firmwareVersion, "ABC");
  EXPECT_NEAR(d.activeEnergyTotal, 0.001, 1e-15);  // the next record started after the text
}

TEST_F(Decoder, PairConversions) {
  EXPECT_EQ(DecimalPairToNumber("47"), 47);
  EXPECT_EQ(DecimalPairToNumber("5"), 5);
  EXPECT_EQ(DecimalPairToNumber(""), 0);
  EXPECT_EQ(DecimalPairToNumber("123"), 13);
  EXPECT_EQ(DecimalPairToNumber("A5"), -5);
  EXPECT_EQ(HexPairToByte("FF"), 255);
  EXPECT_EQ(HexPairToByte("a"), 10);
  EXPECT_EQ(HexPairToByte("7"), 7);
  EXPECT_THROW(HexPairToByte("G1"), OverflowError);
}

TEST_F(Decoder, DifeChainsGiveSubunitsAndTariffs) {
  Walk({0x84, 0x10, 0x06, 0x01, 0, 0, 0});
  EXPECT_EQ(d.recordTariff, 1);
  EXPECT_EQ(d.activeEnergyTariff[1], 1);
  EXPECT_EQ(d.activeEnergyTotal, 0);
  Walk({0x84, 0x80, 0x10, 0x06, 0x02, 0, 0, 0});
  EXPECT_EQ(d.recordTariff, 4);
  EXPECT_EQ(d.activeEnergyTariff[4], 2);
  Walk({0x84, 0x40, 0x29, 0x40, 0xE2, 0x01, 0x00});
  EXPECT_EQ(d.recordSubunit, 1);
  EXPECT_DOUBLE_EQ(d.reactivePowerTotal, 1234.56);
  Walk({0x84, 0xC0, 0x40, 0x29, 0x64, 0, 0, 0});
  EXPECT_EQ(d.recordSubunit, 2);
  EXPECT_DOUBLE_EQ(d.apparentPowerTotal, 1.0);
  Walk({0x84, 0xC0, 0xC0, 0x40, 0x29, 0x64, 0, 0, 0});
  EXPECT_EQ(notices, std::vector<std::string>{"Ovanlig unit (Effekt) 3"});
  // A chain far longer than any meter sends stays a tariff nobody stores.
  Bytes chain = {0x84};
  for (int i = 0; i < 20; ++i) chain.push_back(0x90);
  chain.insert(chain.end(), {0x10, 0x06, 1, 0, 0, 0});
  EXPECT_EQ(Walk(chain), 0);
  EXPECT_EQ(d.decodeState, kExpectDif);
}

TEST_F(Decoder, VifeSelectsPhasesAndCancelsEnergy) {
  Walk({0x02, 0xFD, 0xC8, 0x02, 0xEE, 0x08});
  EXPECT_DOUBLE_EQ(d.voltagePhase[2], 228.6);
  Walk({0x02, 0xFF, 0xE0, 0x03, 0xDB, 0x03});
  EXPECT_DOUBLE_EQ(d.powerFactorPhase[3], 0.987);
  Walk({0x04, 0xA9, 0x02, 0x40, 0xE2, 0x01, 0x00});
  EXPECT_DOUBLE_EQ(d.activePowerPhase[2], 1234.56);
  Walk({0x04, 0x83, 0x00, 0x10, 0x27, 0, 0});
  EXPECT_EQ(d.activeEnergyTotal, 10);
  Walk({0x04, 0x83, 0x01, 0x20, 0x4E, 0, 0});
  EXPECT_EQ(d.activeEnergyTotal, 10);  // VIFE 0x01: not this control's energy
  Walk({0x04, 0x07, 0x10, 0x27, 0, 0});
  EXPECT_EQ(d.activeEnergyTotal, 100000);
}

TEST_F(Decoder, RecordsWithoutDataAndManufacturerQuantities) {
  Walk({0x00, 0x03, 0x02, 0xFF, 0x18, 0x07, 0x00});
  EXPECT_EQ(d.activeEnergyTotal, 0);
  EXPECT_EQ(d.powerFailCount, 7);
  Walk({0x81, 0xC0, 0x40, 0xFD, 0x1A, 0x01});
  EXPECT_TRUE(d.outputState[2]);
  EXPECT_TRUE(d.outputStateValid[2]);
  EXPECT_FALSE(d.outputStateValid[1]);
  Walk({0x0E, 0x6D, 0x56, 0x34, 0x12, 0x15, 0x01, 0x24});
  EXPECT_EQ(d.meterDate, "240115");
  EXPECT_EQ(d.meterTime, "12:34:56");
  Walk({0x0E, 0x6D, 0x56, 0x34, 0x12, 0x15, 0x01, 0x05});
  EXPECT_EQ(d.meterDate, "050115");
  Walk({0x0C, 0xFF, 0x6C, 0x04, 0x03, 0x02, 0x01});
  EXPECT_EQ(d.durationText, " 1 d,  2 h, 3 m, 4 s");
  Walk({0x0C, 0xFF, 0x6C, 0x56, 0x34, 0x12, 0x00});
  EXPECT_EQ(d.durationText, " 12 h, 34 m, 56 s");
  // An eight-byte error-flag record with bit 31 set does not fit: skipped, walk goes on.
  d.errorFlags = 9;
  Walk({0x07, 0xFD, 0x17, 0, 0, 0, 0x80, 0, 0, 0, 0, 0x02, 0xFF, 0x18, 0x03, 0x00});
  EXPECT_EQ(d.errorFlags, 9);
  EXPECT_EQ(d.powerFailCount, 3);
}

TEST_F(Decoder, ManufacturerBlockAndTheExpectedType) {
  EXPECT_EQ(Walk({0x0F, 0x80, 0x1C, 0x00, 0xAA, 0xBB}, 0x1C), 0);
  EXPECT_FALSE(d.moreRecords);
  EXPECT_EQ(d.mfrStatus, 0);
  EXPECT_EQ(d.mfrDataLen, 2);
  EXPECT_EQ(d.mfrData[1], 0xBB);
  EXPECT_EQ(Walk({0x0F, 0x80, 0x1C, 0x00}, 0x1B), LinkResult::kWrongBlockType);
  EXPECT_EQ(Walk({0x1F, 0x55, 0x80, 0x1C, 0x03}, kAnyBlockType), 0);
  EXPECT_TRUE(d.moreRecords);
  EXPECT_EQ(d.mfrStatus, 3);
}

}  // namespace
}  // namespace velmar
