// Records as text: time points in ISO 8601, texts in reading order, binary data as hex.
#include <cstdio>
#include <string>

#include "codec/hex.hpp"
#include "records/vif_tables.hpp"
#include "velmar/records.hpp"

namespace velmar {
namespace {

// Characters arrive last one first, one byte each in ISO/IEC 8859-1 (EN 13757-3's text
// strings): each byte is the code point of its value, two bytes of UTF-8 from 0x80 up.
std::string Reversed(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (auto b = bytes.rbegin(); b != bytes.rend(); ++b) {
    if (*b < 0x80) {
      text += static_cast<char>(*b);
    } else {
      text += static_cast<char>(0xC0 | (*b >> 6));
      text += static_cast<char>(0x80 | (*b & 0x3F));
    }
  }
  return text;
}

// The year of a date, or "-" for one the meter left unset, which makes the reduced ISO 8601
// form "--MM-DD" of a date without its year.
std::string YearText(int year) {
  if (year < 0) return "-";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", year);
  return buf;
}

}  // namespace

std::string ValueText(const DataRecord& r) {
  char buf[32];
  const DateTimeValue& d = r.date;
  switch (r.kind) {
    case ValueKind::kDate:
      std::snprintf(buf, sizeof buf, "-%02d-%02d", d.month, d.day);
      return YearText(d.year) + buf;
    case ValueKind::kDateTime:
      std::snprintf(buf, sizeof buf, "-%02d-%02dT%02d:%02d:%02d", d.month, d.day, d.hour, d.minute,
                    d.second);
      return YearText(d.year) + buf;
    case ValueKind::kTime:
      std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", d.hour, d.minute, d.second);
      return buf;
    case ValueKind::kText:
      return Reversed(r.bytes);
    case ValueKind::kBytes:
      return HexText(r.bytes);
    default:
      return {};
  }
}

std::string_view MediumText(std::uint8_t medium) {
  return records::MediumName(medium);
}

std::string UnitText(const DataRecord& r) {
  if (!r.plainUnit.empty()) return Reversed(r.plainUnit);
  return std::string(r.unit) + std::string(r.unitSuffix);
}

}  // namespace velmar
