// The plain values of a reading: public telegrams of heat, water and electricity meters read
// into everyday units, this maker's meters giving the same values its own walk gives, and an
// enciphered meter giving none.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "corpus_support.hpp"
#include "decode/meter_data.hpp"
#include "link/link_state.hpp"
#include "maker_fields.hpp"
#include "meter_read.hpp"
#include "sim_bus.hpp"
#include "velmar/hex.hpp"
#include "velmar/wmbus.hpp"

namespace velmar {
namespace {

using testing::PublicTelegram;
using testing::SimBus;

nlohmann::ordered_json ValuesOf(const std::vector<std::uint8_t>& telegram) {
  DecodedTelegram d;
  EXPECT_EQ(DecodeTelegram(telegram, d), 0);
  return tools::ValuesJson(tools::PlainValues(d.records));
}

// Worked out from the bytes. Heat meter: 04 06 CE860000 energy 34510 x 10^3 Wh; 04 14 11680300
// volume 223249 x 10^-2 m^3; 04 3B 0F020000 flow 527 x 10^-3 m^3/h; 02 59 3C19 and 02 5D A411
// temperatures 6460 and 4516 x 10^-2 °C; its records of the maker's VIF are not values. The
// electricity meter sends its energy per tariff (8C 10 04 and 8C 20 04, BCD x 10 Wh) and its
// voltages with the maker's VIFE, which are left out.
TEST(PlainValues, PublicTelegramsInEverydayUnits) {
  const auto heat = ValuesOf(PublicTelegram("wired-drivers/kamheat-1"));
  EXPECT_EQ(heat, nlohmann::ordered_json::parse(R"({"energy_kWh": 34510, "volume_m3": 2232.49,
      "flow_m3h": 0.527, "flow_temperature_C": 64.6, "return_temperature_C": 45.16})"));

  const auto water = ValuesOf(PublicTelegram("test-frames/itron_bm_+m.hex"));
  EXPECT_DOUBLE_EQ(water["volume_m3"].get<double>(), 54.321) << water.dump();
  EXPECT_EQ(water["meter_time"], "2012-01-24T13:29:00");
  EXPECT_EQ(water.size(), 2u) << water.dump();

  const auto sbc = ValuesOf(PublicTelegram("test-frames/electricity-meter-1.hex"));
  EXPECT_DOUBLE_EQ(sbc["energy_tariff1_kWh"].get<double>(), 12.52);
  EXPECT_DOUBLE_EQ(sbc["energy_tariff2_kWh"].get<double>(), 17744.33);
  EXPECT_FALSE(sbc.contains("voltage_V")) << sbc.dump();
}

// A module with three metering channels (GMC EMMOD 206, libmbus test frame): its own energy per
// tariff at subunit 0 (84 10 04 94280000: 10388 x 10 Wh; 84 20 04 983A0000: 15000 x 10 Wh), each
// channel's voltage, current, power and energy at subunits 1-3 (82 40 FD 48 6003: 864 x 0.1 V on
// channel 1). A channel's values are not the meter's own and never stand in for them.
TEST(PlainValues, AChannelsValuesAreNotTheMetersOwn) {
  const auto module = ValuesOf(PublicTelegram("test-frames/gmc_emmod206.hex"));
  EXPECT_EQ(module, nlohmann::ordered_json::parse(
                        R"({"energy_tariff1_kWh": 103.88, "energy_tariff2_kWh": 150})"))
      << module.dump();
}

// This maker's meter: the values from its records read with the maker's table are the values
// its own walk gives; a tariff register the meter flags is not a value.
TEST(PlainValues, ThisMakersMeterAgreesWithItsOwnWalk) {
  sim::MeterConfig c;
  c.telegrams = 3;
  SimBus b(SimBus::One(c));
  const tools::MeterRead r = tools::ReadMeter(*b.bus, Address::Primary(1));
  ASSERT_TRUE(r.Ok()) << r.error;
  ASSERT_TRUE(r.maker);
  EXPECT_EQ(r.reading.decodes, 3);  // the line to the named values: each telegram decoded once
  const OrvMeterData& m = r.maker->Store();
  const auto v = tools::ValuesJson(r.values);
  EXPECT_DOUBLE_EQ(v["energy_kWh"].get<double>(), m.activeEnergyTotal);
  for (int t = 1; t <= 4; ++t) {
    EXPECT_DOUBLE_EQ(v["energy_tariff" + std::to_string(t) + "_kWh"].get<double>(),
                     m.activeEnergyTariff[static_cast<std::size_t>(t)]);
  }
  EXPECT_DOUBLE_EQ(v["power_W"].get<double>(), m.activePowerTotal);
  for (int p = 1; p <= 3; ++p) {
    const auto i = static_cast<std::size_t>(p);
    const std::string l = "L" + std::to_string(p);
    EXPECT_DOUBLE_EQ(v["power_" + l + "_W"].get<double>(), m.activePowerPhase[i]) << l;
    EXPECT_DOUBLE_EQ(v["voltage_" + l + "_V"].get<double>(), m.voltagePhase[i]) << l;
    EXPECT_DOUBLE_EQ(v["current_" + l + "_A"].get<double>(), m.currentPhase[i]) << l;
  }
  EXPECT_DOUBLE_EQ(v["reactive_power_var"].get<double>(), m.reactivePowerTotal);
  EXPECT_DOUBLE_EQ(v["power_factor"].get<double>(), m.powerFactorTotal);
  EXPECT_EQ(v["meter_time"], "2026-12-05T14:30:00");
  EXPECT_FALSE(v.contains("voltage_V"));  // the meter sends no voltage without phase

  // Tariff registers with the error-code VIFE 0x00 ("no error"): the walk keeps them, and so do
  // the plain values.
  c.tariffStatusVife = true;
  SimBus flagged(SimBus::One(c));
  const tools::MeterRead f = tools::ReadMeter(*flagged.bus, Address::Primary(1));
  const auto w = tools::ValuesJson(f.values);
  ASSERT_TRUE(f.maker);
  const auto tariffs = std::get<std::vector<std::optional<double>>>(f.maker->Get("ActiveEnergy"));
  ASSERT_TRUE(tariffs[1]);
  ASSERT_TRUE(w.contains("energy_tariff1_kWh")) << w.dump();
  EXPECT_DOUBLE_EQ(w["energy_tariff1_kWh"].get<double>(), *tariffs[1]);
}

// An electricity meter's published telegram (wmbusmeters test data, abbb23: ABB 33221100, its
// published total 5249.17 kWh): 0E 84 00 17 49 52 00 00 00 is 12 BCD digits of 10 Wh with the
// error-code VIFE 0x00, "no error". The value stands.
TEST(PlainValues, ARecordWhoseErrorCodeSaysNoErrorIsAValue) {
  const auto telegram = *ParseHex(
      "844442040011223320027A3E0000200E840017495200000004FFA0150000000004FFA1150000000004FFA21500"
      "00000004FFA3150000000007FFA600000000000000000007FFA700000000000000000007FFA800000000000000"
      "000007FFA90000000000000000000DFD8E0007302E38322E31420DFFAA000B3030312D313131203332421F");
  WirelessTelegram t;
  ASSERT_EQ(DecodeWirelessTelegram(telegram, t, nullptr, FrameCrcs::kRemoved), "");
  const auto v = tools::ValuesJson(tools::PlainValues(t.decoded.records));
  ASSERT_TRUE(v.contains("energy_kWh")) << v.dump();
  EXPECT_DOUBLE_EQ(v["energy_kWh"].get<double>(), 5249.17);
}

// A meter whose telegram names a security mode: the read says so and gives no values or records.
TEST(PlainValues, AnEncipheredMeterGivesNone) {
  sim::MeterConfig c;
  c.recordedTelegram = PublicTelegram("wired-drivers/kamheat-1");
  c.recordedTelegram[17] = 0x10;  // configuration word 0x0510: mode 5, one enciphered block
  c.recordedTelegram[18] = 0x05;
  SimBus b(SimBus::One(c));
  const tools::MeterRead r = tools::ReadMeter(*b.bus, Address::Primary(1));
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.status, Status::kNoKey);
  EXPECT_EQ(r.Code(), -12);
  EXPECT_EQ(r.error, "encrypted (mode 5), no key for this meter");
  EXPECT_TRUE(r.values.empty());
  EXPECT_TRUE(r.reading.records.empty());
}

// A tariff register the meter flags as not valid is "-" in the JSON, the command line's table
// and the window's cells alike, never a number (the control shows it so).
TEST(MakerFields, AFlaggedTariffReadsDashInEveryList) {
  OrvMeterData store;
  store.activeEnergyTariff = {100.0, 1.5, 7.0, 3.25, 8.0, 9.0};
  store.activeEnergyTariffStatus = {0, 0, 1, 0, 1, 1};
  const MakerValues m(MbusLinkState{}, store);
  const MakerField* f = FindMakerField("ActiveEnergy");
  ASSERT_NE(f, nullptr);
  const auto json = tools::FieldJson(*f, m);
  EXPECT_EQ(json[2], "-");
  EXPECT_EQ(json[3], 3.25);
  const auto rows = tools::FieldRows(*f, m);
  ASSERT_EQ(rows.size(), 4u);  // tariffs 1-4
  EXPECT_EQ(rows[0].second, "1.50 kWh");
  EXPECT_EQ(rows[1].second, "-");
  EXPECT_EQ(rows[3].second, "-");
  int dashes = 0;
  for (const tools::ValueCell& c : tools::PanelCells(m)) {
    if (c.label == "Energy tariff 1") {
      EXPECT_EQ(c.text, "1.50");
    }
    if (c.label == "Energy tariff 2") {
      EXPECT_EQ(c.text, "-");
    }
    if (c.label.rfind("Energy tariff", 0) == 0 && c.text == "-") ++dashes;
  }
  EXPECT_EQ(dashes, 2);  // tariffs 2 and 4 of the four shown
}

}  // namespace
}  // namespace velmar
