#include "records/maker_codes.hpp"

#include <array>

#include "codec/maker_phase.hpp"

namespace velmar::records {
namespace {

constexpr std::uint16_t kOrvCode = 0x3E56;  // "ORV", the electricity meters of our own maker

// Its meters count transformer ratio, active tariff and power failures under their own VIF, and
// send the power factor in thousandths, per phase like power.
constexpr std::array<MakerVif, 4> kOrvVifs = {{
    {0x12, {"Transformer ratio", "", 0, VifKind::kPlain}},
    {0x13, {"Active tariff", "", 0, VifKind::kPlain}},
    {0x18, {"Power failures", "", 0, VifKind::kPlain}},
    {0x60, {"Power factor", "", -3, VifKind::kScaled, Measure::kPowerFactor}},
}};

// Subunit 1 of a power record is the reactive power, subunit 2 the apparent power.
constexpr std::array<VifEntry, 3> kOrvPower = {{
    {"Power", "W", 0, VifKind::kScaled, Measure::kPowerW},
    {"Reactive power", "var", 0, VifKind::kScaled, Measure::kReactivePowerVar},
    {"Apparent power", "VA", 0, VifKind::kScaled, Measure::kApparentPowerVA},
}};

constexpr MakerCodes kOrv{kOrvCode, kOrvVifs, kOrvPower, codec::MakerPhase};

}  // namespace

const MakerCodes* MakerCodesFor(std::uint16_t manufacturerCode) {
  return manufacturerCode == kOrvCode ? &kOrv : nullptr;
}

const VifEntry* MakerVifEntry(const MakerCodes& maker, std::uint8_t code) {
  for (const MakerVif& v : maker.vifs) {
    if (v.code == (code & 0x7F)) return &v.entry;
  }
  return nullptr;
}

bool IsPhased(Measure measure) {
  return measure == Measure::kPowerW || measure == Measure::kPowerJPerH ||
         measure == Measure::kVoltageV || measure == Measure::kCurrentA ||
         measure == Measure::kPowerFactor;
}

}  // namespace velmar::records
