// The value information tables of EN 13757-3 as data: the primary VIF table, the two extension
// tables behind VIF 0xFB and 0xFD, and the orthogonal VIFEs. Each entry says what quantity a
// code names, its SI unit and the power of ten of one step, or that it is a time point, a
// duration or a number without unit.
#pragma once

#include <cstdint>
#include <string_view>

#include "velmar/records.hpp"

namespace velmar::records {

enum class VifKind : std::uint8_t {
  kUnknown,   // reserved, or not a value (an extension marker)
  kScaled,    // value x 10^exponent in `unit`
  kDuration,  // value in the unit of `unit` ("s", "min", "h", "d", "month", "a")
  kDate,      // time point: a date (type G)
  kDateTime,  // time point: date and time (types F, I, or BCD)
  kPlain,     // a number or text whose meaning the quantity names
  kBits,      // type D: a bit field (error flags, digital inputs and outputs), never signed
};

struct VifEntry {
  std::string_view quantity;
  std::string_view unit;
  std::int8_t exponent = 0;
  VifKind kind = VifKind::kUnknown;
  Measure measure = Measure::kOther;
};

// By code without the extension bit (0x00-0x7F).
const VifEntry& PrimaryVif(std::uint8_t code);
const VifEntry& ExtensionFB(std::uint8_t code);
const VifEntry& ExtensionFD(std::uint8_t code);

// What an orthogonal VIFE does to the record it follows.
struct VifeEffect {
  std::string_view unitSuffix;         // "/h", "/s", ... ("" none)
  std::int8_t correctionExponent = 0;  // multiplicative correction 10^n
  bool isError = false;                // E00x xxxx: the meter reports an error for this record
  bool manufacturer = false;           // 0x7F: the rest of the record is the maker's
  bool timePoint = false;              // the value is the date (and time) of something
  bool profile = false;  // E001 1110/1111: the data field is a compact profile, not an error
  // E111 1100: the next VIFE is a code of the second orthogonal table (phase, quadrant, ...).
  bool extension = false;
};
const VifeEffect& OrthogonalVife(std::uint8_t code);
// The phase a code of the second orthogonal table names (E000 0001 to E000 0011: at phase L1,
// L2, L3), 0 for its other codes.
std::uint8_t ExtensionPhase(std::uint8_t code);

// The name of a medium code of the fixed header ("Electricity", "Heat (outlet)", ...).
std::string_view MediumName(std::uint8_t medium);

}  // namespace velmar::records
