// What a record means: its quantity and unit from the VIF tables, what its VIFEs add, and its
// value from the data field, scaled to the unit, or a time point, a text, or bytes.
#include "records/record_value.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "codec/codings.hpp"
#include "records/data_field.hpp"
#include "records/maker_codes.hpp"
#include "records/vif_tables.hpp"

namespace velmar::records {
namespace {

// What the VIF names: the standard's tables, or the maker's own table for its VIF 0x7F/0xFF
// (nullptr there when the maker is unknown or the code is not in its table).
const VifEntry* EntryOf(const DataRecord& r, const MakerCodes* maker) {
  static const VifEntry kNone{};
  switch (r.vif & 0x7F) {
    case 0x7B:
      return r.vifeCount > 0 ? &ExtensionFB(r.vifes[0]) : &kNone;
    case 0x7D:
      return r.vifeCount > 0 ? &ExtensionFD(r.vifes[0]) : &kNone;
    case 0x7F:
      return maker != nullptr && r.vifeCount > 0 ? MakerVifEntry(*maker, r.vifes[0]) : nullptr;
    case 0x7C:
    case 0x7E:
      return &kNone;
    default:
      return &PrimaryVif(r.vif);
  }
}

// A maker may split one quantity by subunit (active, reactive, apparent power).
VifEntry BySubunit(const DataRecord& r, const VifEntry& entry, const MakerCodes* maker) {
  if (maker == nullptr || entry.measure != Measure::kPowerW ||
      r.subunit >= maker->powerBySubunit.size()) {
    return entry;
  }
  VifEntry e = maker->powerBySubunit[r.subunit];
  e.exponent = entry.exponent;
  return e;
}

// What the orthogonal VIFEs of a record add up to.
struct VifeSum {
  int correction = 0;
  bool timePoint = false;
  bool profile = false;
};

// Orthogonal VIFEs (after the table code of 0xFB/0xFD or of the maker's VIF) add a suffix, a
// correction or an error code, or make the value a time point; a maker with a phase coding uses
// bytes of the error range to name the phase. After a 0x7F VIFE the rest belongs to the
// manufacturer, and so do the VIFEs of a manufacturer VIF the maker's table does not know.
VifeSum ApplyVifes(DataRecord& r, const VifEntry* entry, const MakerCodes* maker) {
  VifeSum sum;
  if (entry == nullptr) return sum;
  const bool coded = r.vif == 0xFB || r.vif == 0xFD || r.vif == 0xFF;
  const bool phased = maker != nullptr && IsPhased(entry->measure);
  for (std::size_t i = coded ? 1 : 0; i < r.vifeCount; ++i) {
    if (phased && r.phase == 0) {
      r.phase = maker->phaseOf(r.vifes[i]);
      if (r.phase != 0) continue;
    }
    const VifeEffect& e = OrthogonalVife(r.vifes[i]);
    if (e.extension) {
      // The code after it is from the second table (phase, quadrant, direction), never an
      // error code.
      if (++i < r.vifeCount && r.phase == 0) r.phase = ExtensionPhase(r.vifes[i]);
      continue;
    }
    if (e.manufacturer) {
      r.manufacturerVife = !r.manufacturerVif;
      break;
    }
    if (e.isError) r.errorCode = static_cast<std::int16_t>(r.vifes[i] & 0x1F);
    sum.profile = sum.profile || e.profile;
    if (!e.unitSuffix.empty()) r.unitSuffix = e.unitSuffix;
    sum.correction += e.correctionExponent;
    sum.timePoint = sum.timePoint || e.timePoint;
  }
  return sum;
}

// Durations in minutes, hours and days are given in seconds.
double DurationSeconds(std::string_view unit) {
  if (unit == "min") return 60;
  if (unit == "h") return 3600;
  if (unit == "d") return 86400;
  return 0;
}

// value x 10^exponent, dividing by the exact power for negative exponents so that 22860 with
// two decimals is the double nearest 228.6.
double Scale(double value, int exponent) {
  if (exponent == 0) return value;
  static constexpr std::array<double, 19> kPower = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                                    1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                                    1e14, 1e15, 1e16, 1e17, 1e18};
  const auto n = static_cast<std::size_t>(exponent < 0 ? -exponent : exponent);
  const double power = n < kPower.size() ? kPower[n] : std::pow(10.0, static_cast<double>(n));
  return exponent < 0 ? value / power : value * power;
}

bool TimePoint(DataRecord& r, VifKind kind) {
  const auto b = r.bytes;
  if (kind == VifKind::kDate && r.coding == 0x2) {
    r.kind = ValueKind::kDate;
    r.date = DateG(b);
  } else if (r.coding == 0x4) {
    r.kind = ValueKind::kDateTime;
    r.date = DateTimeF(b);
  } else if (r.coding == 0x6) {
    r.kind = ValueKind::kDateTime;
    r.date = DateTimeI(b);
  } else if (r.coding == 0x3) {
    r.kind = ValueKind::kTime;
    r.date = TimeJ(b);
  } else if (r.coding == 0xE) {
    const auto d = DateTimeBcd(b);
    if (!d) return false;
    r.kind = ValueKind::kDateTime;
    r.date = *d;
  } else {
    return false;
  }
  return true;
}

// The number the data field holds, or false when it holds none (text, binary, bad BCD).
bool Number(const DataRecord& r, std::span<const std::uint8_t> field, Variable form, VifKind kind,
            double& out) {
  if (form == Variable::kBcd || form == Variable::kNegativeBcd) {
    const auto v = Bcd(field);
    if (!v) return false;
    out = static_cast<double>(form == Variable::kBcd ? *v : -*v);
    return true;
  }
  if (form == Variable::kBinary) {
    if (field.size() > 8) return false;
    out = static_cast<double>(UnsignedInteger(field));
    return true;
  }
  switch (r.coding) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x6:
    case 0x7:
      // A bit field's top bit is a flag like the others, not a sign.
      out = kind == VifKind::kBits ? static_cast<double>(UnsignedInteger(field))
                                   : static_cast<double>(SignedInteger(field));
      return true;
    case 0x5:
      out = SingleFromBytes(field);
      return true;
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xC:
    case 0xE:
      if (const auto v = Bcd(field)) {
        out = static_cast<double>(*v);
        return true;
      }
      return false;
    default:
      return false;
  }
}

}  // namespace

void InterpretRecord(DataRecord& r, std::span<const std::uint8_t> field, Variable form,
                     bool msb_first, const MakerCodes* maker) {
  if ((r.vif & 0x7F) == 0x7F) r.manufacturerVif = true;
  const VifEntry* known = EntryOf(r, maker);
  const VifEntry entry = known != nullptr ? BySubunit(r, *known, maker) : VifEntry{};
  const VifeSum vifes = ApplyVifes(r, known != nullptr ? &entry : nullptr, maker);
  r.quantity = known == nullptr         ? std::string_view("Manufacturer specific")
               : (r.vif & 0x7F) == 0x7E ? std::string_view("Any VIF")
                                        : entry.quantity;
  r.unit = entry.unit;
  r.measure = known == nullptr || (r.vif & 0x7F) == 0x7E ? Measure::kOther : entry.measure;
  r.unscaled = known != nullptr && entry.kind == VifKind::kUnknown && (r.vif & 0x7F) != 0x7C &&
               (r.vif & 0x7F) != 0x7E;
  r.profile = vifes.profile;
  if (r.coding == 0x0 || r.coding == 0x8) return;  // no data, or a readout selection
  if (r.profile) {
    r.kind = ValueKind::kBytes;
    return;
  }
  if ((entry.kind == VifKind::kDate || entry.kind == VifKind::kDateTime || vifes.timePoint) &&
      TimePoint(r, vifes.timePoint ? VifKind::kDateTime : entry.kind)) {
    r.unit = {};  // a time point has no unit, whatever the quantity
    r.unitSuffix = {};
    r.timePoint = vifes.timePoint;
    return;
  }
  if (vifes.timePoint) {
    // The date of an event sent as a number the standard gives no date type for: say so,
    // and give it without the quantity's unit.
    r.timePoint = true;
    r.unit = {};
    r.unitSuffix = {};
  }
  std::array<std::uint8_t, 8> swapped;
  if (msb_first && field.size() <= swapped.size()) {
    std::reverse_copy(field.begin(), field.end(), swapped.begin());
    field = std::span<const std::uint8_t>(swapped.data(), field.size());
  }
  double v = 0;
  if (form == Variable::kText) {
    r.kind = ValueKind::kText;
    return;
  }
  if (!Number(r, field, form, entry.kind, v)) {
    r.kind = ValueKind::kBytes;
    return;
  }
  r.kind = ValueKind::kNumber;
  if (entry.kind == VifKind::kScaled && !r.timePoint) v = Scale(v, entry.exponent);
  if (entry.kind == VifKind::kDuration) {
    if (const double s = DurationSeconds(entry.unit); s > 0) {
      v *= s;
      r.unit = "s";
    }
  }
  r.value = Scale(v, vifes.correction);
}

}  // namespace velmar::records
