#include "decode/quantities.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "codec/messages.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "velmar/variant.hpp"

namespace velmar {
namespace {

// Integer fields take the rounded value. A value that does not fit the field (an eight-byte
// error-flags record with bit 31 set, a real that is not a number) has no sound meaning, so the
// record is skipped and the field keeps what it had; the walk itself goes on.
template <typename T>
std::optional<T> FitInteger(double value) {
  double r = RoundHalfEven(value);
  if (!(r >= static_cast<double>(std::numeric_limits<T>::min()) &&
        r <= static_cast<double>(std::numeric_limits<T>::max()))) {
    return std::nullopt;
  }
  return static_cast<T>(r);
}

// A value with `decimals` places is the integer divided by a power of ten. Dividing by the exact
// power (10, 100, ...) gives the double nearest the decimal number a person writes (22860 with
// two places is 228.6); multiplying by 0.01, which no double holds exactly, can miss it by one
// unit in the last place. The walker sets decimals from -1 to 5.
double Scaled(const OrvMeterData& d) {
  static constexpr std::array<double, 7> kPower = {1.0, 10.0, 100.0, 1e3, 1e4, 1e5, 1e6};
  const int n = d.decimals < 0 ? -d.decimals : d.decimals;
  const double power =
      n < static_cast<int>(kPower.size()) ? kPower[static_cast<std::size_t>(n)] : std::pow(10.0, n);
  return d.decimals < 0 ? d.recordValue * power : d.recordValue / power;
}

void StoreEnergy(OrvMeterData& d) {
  const double v = Scaled(d);
  const int t = d.recordTariff;
  const bool tariff = t >= 1 && t <= 4;
  if (d.recordSubunit == 0 && t == 0) {
    d.activeEnergyTotal = v;
  } else if (d.recordSubunit == 0 && tariff) {
    d.activeEnergyTariff[static_cast<std::size_t>(t)] = v;
    d.activeEnergyTariffStatus[static_cast<std::size_t>(t)] = d.lastVife;
  } else if (d.recordSubunit == 1 && t == 0) {
    d.subunit1EnergyTotal = v;
  } else if (d.recordSubunit == 1 && tariff) {
    d.subunit1EnergyTariff[static_cast<std::size_t>(t)] = v;
  }
}

// Subunit 0 is active, 1 reactive and 2 apparent power; phase 0 is the total.
void StorePower(OrvMeterData& d) {
  const double v = Scaled(d);
  const auto p = static_cast<std::size_t>(d.recordPhase);
  switch (d.recordSubunit) {
    case 0:
      (p == 0 ? d.activePowerTotal : d.activePowerPhase[p]) = v;
      return;
    case 1:
      (p == 0 ? d.reactivePowerTotal : d.reactivePowerPhase[p]) = v;
      return;
    case 2:
      (p == 0 ? d.apparentPowerTotal : d.apparentPowerPhase[p]) = v;
      return;
    default:
      ShowNotice(d, std::string(text::kUnusualPowerUnit) + LeadingSpaceText(d.recordSubunit));
  }
}

void StoreErrorFlags(OrvMeterData& d) {
  auto low = FitInteger<std::int32_t>(d.recordValue);
  auto high = FitInteger<std::int32_t>(d.recordValueHigh);
  if (!low || !high) return;
  d.errorFlags = *low;
  d.errorFlagsHigh = *high;
}

void StoreOutput(OrvMeterData& d) {
  if (d.recordSubunit < 0 || d.recordSubunit > 4) return;
  const auto s = static_cast<std::size_t>(d.recordSubunit);
  d.outputState[s] = d.recordValue != 0;
  d.outputStateValid[s] = true;
}

// The meter sends its running time as BCD ddhhmmss; the digits are read in pairs from the
// right (the leading blank of a non-negative number makes the digit count even), and each
// pair is shown as a number with its unit. Pairs past the sixth are not shown.
void StoreDuration(OrvMeterData& d) {
  static constexpr std::array<std::string_view, 6> kUnit = {" s", " m,", " h,", " d, ", "", ""};
  const std::string s = LeadingSpaceText(d.recordValue);
  const std::size_t pairs = std::min<std::size_t>(s.size() / 2, kUnit.size());
  std::string text;
  for (std::size_t i = pairs; i >= 1; --i) {
    const std::string_view pair = std::string_view(s).substr(s.size() - 2 * i, 2);
    text += LeadingSpaceText(LeadingNumber(pair));
    text += kUnit[i - 1];
  }
  d.durationText = std::move(text);
}

// The clock comes as the number YYMMDDhhmmss; a year below 10 loses its leading zero in the
// number, and exactly one zero is put back.
void StoreDateTime(OrvMeterData& d) {
  const std::string text = LeadingSpaceText(d.recordValue);
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == ' ') digits.remove_prefix(1);
  if (digits.size() <= 6) return;
  const std::string_view date = digits.substr(0, digits.size() - 6);
  const std::string_view t = digits.substr(digits.size() - 6);
  d.meterDate.clear();
  if (date.size() < 6) d.meterDate += '0';
  d.meterDate += date;
  d.meterTime.clear();
  for (std::size_t i = 0; i < 6; i += 2) {
    if (i > 0) d.meterTime += ':';
    d.meterTime += t.substr(i, 2);
  }
}

}  // namespace

void InterpretRecord(OrvMeterData& d) {
  switch (d.quantityCode) {
    case kEnergy:
      StoreEnergy(d);
      break;
    case kTransformerRatio:
      if (auto v = FitInteger<std::int32_t>(d.recordValue)) d.transformerRatio = *v;
      break;
    case kActiveTariff:
      if (auto v = FitInteger<std::int16_t>(d.recordValue)) d.activeTariff = *v;
      break;
    case kPowerFailCount:
      if (auto v = FitInteger<std::int16_t>(d.recordValue)) d.powerFailCount = *v;
      break;
    case kErrorFlags:
      StoreErrorFlags(d);
      break;
    case kMfrValue59:
      d.mfrValue59 = Scaled(d);
      break;
    case kPower:
      StorePower(d);
      break;
    case kVoltage:
      d.voltagePhase[static_cast<std::size_t>(d.recordPhase)] = Scaled(d);
      break;
    case kCurrent:
      d.currentPhase[static_cast<std::size_t>(d.recordPhase)] = Scaled(d);
      break;
    case kPowerFactor:
      (d.recordPhase == 0 ? d.powerFactorTotal
                          : d.powerFactorPhase[static_cast<std::size_t>(d.recordPhase)]) =
          Scaled(d);
      break;
    case kDigitalOutput:
      StoreOutput(d);
      break;
    case kFirmwareVersion:
      d.firmwareVersion = d.firmwareVersion.size() < 10 ? d.recordText : std::string();
      break;
    case kDuration:
      StoreDuration(d);
      break;
    case kDateTime:
      StoreDateTime(d);
      break;
    default:
      break;
  }
}

}  // namespace velmar
