#include "records/fixed_data.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "records/data_field.hpp"
#include "records/vif_tables.hpp"

namespace velmar::records {
namespace {

struct FixedUnit {
  std::string_view quantity;
  std::string_view unit;
  int exponent;
  Measure measure = Measure::kOther;
};

// Unit codes of the fixed structure: runs of nine powers of ten per quantity.
FixedUnit UnitOf(std::uint8_t code) {
  struct Run {
    int first;
    std::string_view quantity, unit;
    int exponent;
    Measure measure;
  };
  static constexpr Run kRuns[] = {{0x02, "Energy", "Wh", 0, Measure::kEnergyWh},
                                  {0x0B, "Energy", "J", 3, Measure::kEnergyJ},
                                  {0x14, "Power", "W", 0, Measure::kPowerW},
                                  {0x1D, "Power", "J/h", 3, Measure::kPowerJPerH},
                                  {0x26, "Volume", "m^3", -6, Measure::kVolumeM3},
                                  {0x2F, "Volume flow", "m^3/h", -6, Measure::kVolumeFlowM3PerH}};
  for (const Run& r : kRuns) {
    if (code >= r.first && code < r.first + 9) {
      return {r.quantity, r.unit, r.exponent + (code - r.first), r.measure};
    }
  }
  if (code == 0x38) return {"Temperature", "°C", -3};
  if (code == 0x39) return {"Units for H.C.A.", "", 0};
  return {"", "", 0};
}

}  // namespace

bool DecodeFixedData(std::span<const std::uint8_t> data, bool msb_first, DecodedTelegram& out) {
  if (data.size() < 16) return false;
  TelegramHeader& h = out.header;
  PutIdent(data.first(4), h);
  h.accessNumber = data[4];
  h.status = data[5];
  h.medium = static_cast<std::uint8_t>((data[6] >> 6) | ((data[7] >> 6) << 2));
  h.mediumName = MediumName(h.medium);
  const bool binary = (h.status & 0x80) != 0;
  const bool historic = (h.status & 0x40) != 0;
  FixedUnit first{};
  for (int n = 0; n < 2; ++n) {
    std::array<std::uint8_t, 4> field{};
    const auto raw = data.subspan(8 + 4 * static_cast<std::size_t>(n), 4);
    if (msb_first) {
      std::reverse_copy(raw.begin(), raw.end(), field.begin());
    } else {
      std::copy(raw.begin(), raw.end(), field.begin());
    }
    DataRecord& r = out.records.emplace_back();
    r.offset = static_cast<std::uint16_t>(7 + 8 + 4 * n);
    r.storage = historic ? 1 : 0;
    r.bytes = raw;
    const std::uint8_t code = data[6 + n] & 0x3F;
    // 0x3E on the second counter: the first counter's unit, a historic value.
    const FixedUnit u = n == 1 && code == 0x3E ? first : UnitOf(code);
    if (n == 1 && code == 0x3E) r.storage = 1;
    if (n == 0) first = u;
    r.quantity = u.quantity;
    r.unit = u.unit;
    r.measure = u.measure;
    const auto bcd = Bcd(field);
    if (!binary && !bcd) {
      r.kind = ValueKind::kBytes;
      continue;
    }
    const double v =
        binary ? static_cast<double>(UnsignedInteger(field)) : static_cast<double>(*bcd);
    r.kind = ValueKind::kNumber;
    r.value = u.exponent < 0 ? v / std::pow(10.0, -u.exponent) : v * std::pow(10.0, u.exponent);
  }
  return true;
}

}  // namespace velmar::records
