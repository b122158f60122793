// Walks the records of a variable data structure (EN 13757-3): DIF and DIFEs, VIF (or a
// plain-text unit, or the 0xFB/0xFD extension tables) and VIFEs, then the data field; idle
// fillers are skipped and the manufacturer data after DIF 0x0F/0x1F kept as bytes.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "codec/checksums.hpp"
#include "records/data_field.hpp"
#include "records/fixed_data.hpp"
#include "records/vif_tables.hpp"
#include "velmar/records.hpp"
#include "velmar/results.hpp"

namespace velmar {
namespace {

using records::VifEntry;
using records::VifKind;

constexpr std::size_t kMaxDifes = 10;
constexpr std::size_t kMaxVifes = 10;

// The telegram being walked, with the position of the next byte and its end (the check byte).
struct Cursor {
  std::span<const std::uint8_t> t;
  std::size_t at;
  std::size_t end;
  bool AtEnd() const { return at >= end; }
  std::uint8_t Take() { return t[at++]; }
};

// What is wrong with a record that cannot be read to its end; nullptr when nothing is.
using Problem = const char*;

std::int16_t CheckFrame(std::span<const std::uint8_t> t) {
  if (t.size() < 9) return LinkResult::kStructureError;
  if (t[0] != 0x68) return LinkResult::kWrongStartByte;
  if (t.back() != 0x16) return LinkResult::kWrongStopByte;
  if (t[1] != t[2]) return LinkResult::kStructureError;
  if (t[3] != 0x68) return LinkResult::kWrongStartByte;
  const std::size_t l = t[1];
  if (l + 6 > t.size()) return LinkResult::kWrongLength;
  if (ByteSum(t.subspan(4, l)) != t[4 + l]) return LinkResult::kChecksumError;
  if ((t[4] & 0xCF) != 0x08) return LinkResult::kStructureError;  // RSP_UD, ACD and DFC free
  return LinkResult::kOk;
}

void PutManufacturer(TelegramHeader& h) {
  h.manufacturer = {};
  if (h.manufacturerCode == 0) return;
  for (int i = 0, shift = 10; i < 3; ++i, shift -= 5) {
    h.manufacturer[static_cast<std::size_t>(i)] =
        static_cast<char>(64 + ((h.manufacturerCode >> shift) & 0x1F));
  }
}

// Long header (CI 0x72, 0x76): identification, manufacturer, version, medium, then the short
// header (access number, status, signature) that CI 0x7A carries alone.
std::size_t ParseHeader(std::span<const std::uint8_t> t, TelegramHeader& h) {
  h.c = t[4];
  h.a = t[5];
  h.ci = t[6];
  std::size_t at = 7;
  if (h.ci != 0x7A) {
    h.identNumber = static_cast<std::uint32_t>(records::Bcd(t.subspan(at, 4)).value_or(0));
    h.manufacturerCode = static_cast<std::uint16_t>(t[at + 4] | (t[at + 5] << 8));
    h.version = t[at + 6];
    h.medium = t[at + 7];
    at += 8;
  }
  h.accessNumber = t[at];
  h.status = t[at + 1];
  h.signature = static_cast<std::uint16_t>(t[at + 2] | (t[at + 3] << 8));
  PutManufacturer(h);
  h.mediumName = records::MediumName(h.medium);
  return at + 4;
}

std::size_t HeaderBytes(std::uint8_t ci) {
  switch (ci) {
    case 0x72:
    case 0x76:
      return 12;
    case 0x7A:
      return 4;
    default:
      return 0;
  }
}

Problem TakeDifes(Cursor& c, DataRecord& r) {
  for (std::uint8_t last = r.dif, n = 0; last & 0x80; ++n) {
    if (c.AtEnd()) return "the telegram ends inside the DIFE chain";
    if (n == kMaxDifes) return "more than 10 DIFEs";
    last = c.Take();
    r.storage |= std::uint64_t{last & 0x0Fu} << (1 + 4 * n);
    r.tariff |= static_cast<std::uint32_t>((last >> 4) & 0x03) << (2 * n);
    r.subunit = static_cast<std::uint16_t>(r.subunit | (((last >> 6) & 0x01) << n));
  }
  return nullptr;
}

// The plain-text unit follows the VIF 0x7C/0xFC as a length and that many characters.
Problem TakePlainUnit(Cursor& c, DataRecord& r) {
  if (c.AtEnd()) return "the telegram ends before the plain-text unit";
  const std::size_t n = c.Take();
  if (n > c.end - c.at) return "the plain-text unit runs past the telegram";
  r.plainUnit = c.t.subspan(c.at, n);
  c.at += n;
  return nullptr;
}

Problem TakeVifes(Cursor& c, DataRecord& r) {
  for (std::uint8_t last = r.vif; last & 0x80;) {
    if (c.AtEnd()) return "the telegram ends inside the VIFE chain";
    if (r.vifeCount == kMaxVifes + (r.vif == 0xFB || r.vif == 0xFD ? 1 : 0)) {
      return "more than 10 VIFEs";
    }
    last = c.Take();
    r.vifes[r.vifeCount++] = last;
  }
  return nullptr;
}

const VifEntry* EntryOf(const DataRecord& r) {
  static const VifEntry kNone{};
  switch (r.vif & 0x7F) {
    case 0x7B:
      return r.vifeCount > 0 ? &records::ExtensionFB(r.vifes[0]) : &kNone;
    case 0x7D:
      return r.vifeCount > 0 ? &records::ExtensionFD(r.vifes[0]) : &kNone;
    case 0x7C:
    case 0x7E:
    case 0x7F:
      return &kNone;
    default:
      return &records::PrimaryVif(r.vif);
  }
}

// What the orthogonal VIFEs of a record add up to.
struct VifeSum {
  int correction = 0;
  bool timePoint = false;
};

// Orthogonal VIFEs (after the table code of 0xFB/0xFD) add a suffix, a correction or an error
// code, or make the value a time point; after a 0x7F VIFE the rest belongs to the manufacturer,
// and so do the VIFEs of a manufacturer VIF.
VifeSum ApplyVifes(DataRecord& r) {
  VifeSum sum;
  if (r.manufacturerVif) return sum;
  const std::size_t first = (r.vif == 0xFB || r.vif == 0xFD) ? 1 : 0;
  for (std::size_t i = first; i < r.vifeCount; ++i) {
    const records::VifeEffect& e = records::OrthogonalVife(r.vifes[i]);
    if (e.manufacturer) {
      r.manufacturerVif = true;
      break;
    }
    if (e.isError) r.errorCode = static_cast<std::int16_t>(r.vifes[i] & 0x1F);
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
    r.date = records::DateG(b);
  } else if (r.coding == 0x4) {
    r.kind = ValueKind::kDateTime;
    r.date = records::DateTimeF(b);
  } else if (r.coding == 0x6) {
    r.kind = ValueKind::kDateTime;
    r.date = records::DateTimeI(b);
  } else if (r.coding == 0x3) {
    r.kind = ValueKind::kTime;
    r.date = records::TimeJ(b);
  } else if (r.coding == 0xE) {
    const auto d = records::DateTimeBcd(b);
    if (!d) return false;
    r.kind = ValueKind::kDateTime;
    r.date = *d;
  } else {
    return false;
  }
  return true;
}

// What the LVAR byte of a variable-length field says the bytes are.
enum class Variable { kNot, kText, kBcd, kNegativeBcd, kBinary };

// The number the data field holds, or false when it holds none (text, binary, bad BCD).
bool Number(const DataRecord& r, std::span<const std::uint8_t> field, Variable form, double& out) {
  if (form == Variable::kBcd || form == Variable::kNegativeBcd) {
    const auto v = records::Bcd(field);
    if (!v) return false;
    out = static_cast<double>(form == Variable::kBcd ? *v : -*v);
    return true;
  }
  if (form == Variable::kBinary) {
    if (field.size() > 8) return false;
    out = static_cast<double>(records::UnsignedInteger(field));
    return true;
  }
  switch (r.coding) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x6:
    case 0x7:
      out = static_cast<double>(records::SignedInteger(field));
      return true;
    case 0x5:
      out = records::Real(field);
      return true;
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xC:
    case 0xE:
      if (const auto v = records::Bcd(field)) {
        out = static_cast<double>(*v);
        return true;
      }
      return false;
    default:
      return false;
  }
}

void Interpret(DataRecord& r, std::span<const std::uint8_t> field, Variable form, bool msb_first) {
  const VifEntry& entry = *EntryOf(r);
  const VifeSum vifes = ApplyVifes(r);
  r.quantity = r.manufacturerVif        ? std::string_view("Manufacturer specific")
               : (r.vif & 0x7F) == 0x7E ? std::string_view("Any VIF")
                                        : entry.quantity;
  r.unit = entry.unit;
  const bool start_of = !r.manufacturerVif && vifes.timePoint;
  if (r.coding == 0x0 || r.coding == 0x8) return;  // no data, or a readout selection
  if ((entry.kind == VifKind::kDate || entry.kind == VifKind::kDateTime || start_of) &&
      TimePoint(r, start_of ? VifKind::kDateTime : entry.kind)) {
    r.unit = {};  // a time point has no unit, whatever the quantity
    r.unitSuffix = {};
    return;
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
  if (!Number(r, field, form, v)) {
    r.kind = ValueKind::kBytes;
    return;
  }
  r.kind = ValueKind::kNumber;
  if (r.manufacturerVif) {  // the maker's own meaning: the number as sent
    r.unit = {};
    r.unitSuffix = {};
    r.value = v;
    return;
  }
  if (entry.kind == VifKind::kScaled) v = Scale(v, entry.exponent);
  if (entry.kind == VifKind::kDuration) {
    if (const double s = DurationSeconds(entry.unit); s > 0) {
      v *= s;
      r.unit = "s";
    }
  }
  r.value = Scale(v, vifes.correction);
}

// The data field of a variable-length record: its LVAR byte says what and how long.
Problem VariableLength(Cursor& c, Variable& form, std::size_t& n) {
  if (c.AtEnd()) return "the telegram ends before the length of a variable field";
  const std::uint8_t lvar = c.Take();
  form = lvar <= 0xBF   ? Variable::kText
         : lvar <= 0xCF ? Variable::kBcd
         : lvar <= 0xDF ? Variable::kNegativeBcd
                        : Variable::kBinary;
  if (lvar <= 0xBF) {
    n = lvar;
  } else if (lvar <= 0xDF) {
    n = lvar & 0x0Fu;
  } else if (lvar <= 0xEF) {
    n = lvar - 0xE0u;
  } else if (lvar <= 0xF4) {
    n = 4u * (lvar - 0xECu);
  } else if (lvar == 0xF5) {
    n = 48;
  } else if (lvar == 0xF6) {
    n = 64;
  } else {
    return "a variable field with a reserved length byte";
  }
  return nullptr;
}

Problem TakeRecord(Cursor& c, DataRecord& r, bool msb_first) {
  r.offset = static_cast<std::uint16_t>(c.at);
  r.dif = c.Take();
  r.coding = r.dif & 0x0F;
  r.function = static_cast<RecordFunction>((r.dif >> 4) & 0x03);
  r.storage = (r.dif >> 6) & 0x01;
  if (Problem p = TakeDifes(c, r)) return p;
  if (c.AtEnd()) return "the telegram ends before the VIF";
  r.vif = c.Take();
  if ((r.vif & 0x7F) == 0x7C) {
    if (Problem p = TakePlainUnit(c, r)) return p;
  }
  if (Problem p = TakeVifes(c, r)) return p;
  if ((r.vif & 0x7F) == 0x7F) r.manufacturerVif = true;
  Variable form = Variable::kNot;
  std::size_t n = records::FieldLength(r.coding);
  if (r.coding == 0xD) {
    if (Problem p = VariableLength(c, form, n)) return p;
  }
  if (n > c.end - c.at) return "the data field runs past the telegram";
  r.bytes = c.t.subspan(c.at, n);
  c.at += n;
  Interpret(r, r.bytes, form, msb_first);
  return nullptr;
}

// Ends the list at a record that cannot be read, saying which and where. The text is formatted
// into the result's own string, which keeps its capacity from telegram to telegram.
void Fail(DecodedTelegram& out, std::size_t offset, const char* what) {
  char number[24];
  auto append_number = [&](std::size_t n) {
    out.error.append(number, std::to_chars(number, number + sizeof number, n).ptr);
  };
  out.errorOffset = offset;
  out.error.assign("record ");
  append_number(out.records.size() + 1);
  out.error.append(" at byte ");
  append_number(offset);
  out.error.append(": ").append(what);
}

void WalkRecords(Cursor& c, DecodedTelegram& out) {
  const bool msb_first = out.header.ci == 0x76;
  while (!c.AtEnd()) {
    const std::uint8_t dif = c.t[c.at];
    if (dif == 0x2F) {  // idle filler
      ++c.at;
      continue;
    }
    if (dif == 0x0F || dif == 0x1F) {
      out.moreRecords = dif == 0x1F;
      out.manufacturerData = c.t.subspan(c.at + 1, c.end - c.at - 1);
      return;
    }
    if ((dif & 0x0F) == 0x0F) {
      Fail(out, c.at, "a special DIF that is reserved here");
      return;
    }
    const std::size_t start = c.at;
    DataRecord& r = out.records.emplace_back();
    if (Problem p = TakeRecord(c, r, msb_first)) {
      out.records.pop_back();
      Fail(out, start, p);
      return;
    }
  }
}

// An application error report (CI 0x70) names its error; a fixed data structure (CI 0x73,
// 0x77) carries two counters.
std::int16_t OtherStructure(std::span<const std::uint8_t> t, std::size_t end,
                            DecodedTelegram& out) {
  TelegramHeader& h = out.header;
  h.c = t[4];
  h.a = t[5];
  h.ci = t[6];
  const auto data = t.subspan(7, end - 7);
  if (h.ci == 0x70) {
    static constexpr std::string_view kErrors[] = {
        "unspecified error",          "unimplemented CI field",
        "buffer too long, truncated", "too many records",
        "premature end of record",    "more than 10 DIFEs",
        "more than 10 VIFEs",         "reserved",
        "application busy",           "too many readouts"};
    const std::size_t code = data.empty() ? 0 : data[0];
    char buf[96];
    std::snprintf(buf, sizeof buf, "the meter reports an application error: %s (%zu)",
                  code < std::size(kErrors) ? kErrors[code].data() : "reserved", code);
    out.error.assign(buf);
    return out.result;
  }
  if (!records::DecodeFixedData(data, h.ci == 0x77, out)) out.result = LinkResult::kWrongLength;
  return out.result;
}

}  // namespace

std::int16_t DecodeTelegram(std::span<const std::uint8_t> telegram, DecodedTelegram& out) {
  out.records.clear();
  out.header = {};
  out.manufacturerData = {};
  out.moreRecords = false;
  out.error.clear();
  out.errorOffset = 0;
  out.result = CheckFrame(telegram);
  if (out.result != LinkResult::kOk) return out.result;
  const std::size_t end = telegram[1] + 4u;
  const std::uint8_t ci = telegram[6];
  if (ci == 0x70 || ci == 0x73 || ci == 0x77) return OtherStructure(telegram, end, out);
  const std::size_t header = HeaderBytes(ci);
  if (header == 0 || 7 + header > end) {
    out.result = LinkResult::kStructureError;  // not a variable data structure
    return out.result;
  }
  Cursor c{telegram, ParseHeader(telegram, out.header), end};
  WalkRecords(c, out);
  return out.result;
}

std::string_view FunctionName(RecordFunction function) {
  switch (function) {
    case RecordFunction::kInstantaneous:
      return "instantaneous";
    case RecordFunction::kMaximum:
      return "maximum";
    case RecordFunction::kMinimum:
      return "minimum";
    default:
      return "error";
  }
}

}  // namespace velmar
