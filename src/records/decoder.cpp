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
#include "codec/codings.hpp"
#include "records/data_field.hpp"
#include "records/fixed_data.hpp"
#include "records/maker_codes.hpp"
#include "records/record_value.hpp"
#include "records/vif_tables.hpp"
#include "velmar/records.hpp"
#include "velmar/results.hpp"

namespace velmar {
namespace {

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
  h.manufacturer = ManufacturerLetters(h.manufacturerCode);
}

}  // namespace

// Only modes EN 13757-7 defines count: old wired meters leave other bits in that word and their
// records read as plain. AES-CBC (5, 7) names its enciphered blocks in bits 4-7; none is plain.
std::uint8_t EncipheredMode(std::uint16_t config) {
  const auto mode = static_cast<std::uint8_t>((config >> 8) & 0x1F);
  switch (mode) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 8:
    case 9:
    case 10:
    case 13:
    case 15:
      return mode;
    case 5:
    case 7:
      return ((config >> 4) & 0x0F) != 0 ? mode : 0;
    default:
      return 0;
  }
}

namespace {

// Long header (CI 0x72, 0x76): identification, manufacturer, version, medium, then the short
// header (access number, status, signature) that CI 0x7A carries alone.
std::size_t ParseHeader(std::span<const std::uint8_t> t, TelegramHeader& h) {
  h.c = t[4];
  h.a = t[5];
  h.ci = t[6];
  std::size_t at = 7;
  if (h.ci != 0x7A) {
    records::PutIdent(t.subspan(at, 4), h);
    h.manufacturerCode = static_cast<std::uint16_t>(t[at + 4] | (t[at + 5] << 8));
    h.version = t[at + 6];
    h.medium = t[at + 7];
    at += 8;
  }
  h.accessNumber = t[at];
  h.status = t[at + 1];
  h.signature = static_cast<std::uint16_t>(t[at + 2] | (t[at + 3] << 8));
  h.encryptionMode = EncipheredMode(h.signature);
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

// The data field of a variable-length record: its LVAR byte says what and how long.
Problem VariableLength(Cursor& c, records::Variable& form, std::size_t& n) {
  if (c.AtEnd()) return "the telegram ends before the length of a variable field";
  const std::uint8_t lvar = c.Take();
  form = lvar <= 0xBF   ? records::Variable::kText
         : lvar <= 0xCF ? records::Variable::kBcd
         : lvar <= 0xDF ? records::Variable::kNegativeBcd
                        : records::Variable::kBinary;
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

Problem TakeRecord(Cursor& c, DataRecord& r, bool msb_first, const records::MakerCodes* maker) {
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
  records::Variable form = records::Variable::kNot;
  std::size_t n = records::FieldLength(r.coding);
  if (r.coding == 0xD) {
    if (Problem p = VariableLength(c, form, n)) return p;
  }
  if (n > c.end - c.at) return "the data field runs past the telegram";
  r.bytes = c.t.subspan(c.at, n);
  c.at += n;
  records::InterpretRecord(r, r.bytes, form, msb_first, maker);
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
  const records::MakerCodes* maker = records::MakerCodesFor(out.header.manufacturerCode);
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
    // Copied from a blank one: g++ zeroes a record built in place with a string instruction
    // whose start-up costs more than the copy (a tenth of a short telegram's decoding).
    static const DataRecord kBlank{};
    DataRecord& r = out.records.emplace_back(kBlank);
    if (Problem p = TakeRecord(c, r, msb_first, maker)) {
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

// What the decode came to, from its link result and its error text.
Status StatusOf(const DecodedTelegram& out) {
  if (out.result == LinkResult::kChecksumError) return Status::kChecksum;
  if (out.result != LinkResult::kOk) return Status::kDamagedReply;
  if (out.header.encryptionMode != 0) return Status::kNoKey;
  return out.error.empty() ? Status::kOk : Status::kUnreadableRecords;
}

// Decodes, then says what it came to.
std::int16_t Settled(DecodedTelegram& out, std::int16_t result) {
  out.result = result;
  out.status = StatusOf(out);
  return result;
}

std::int16_t DecodeFrame(std::span<const std::uint8_t> telegram, DecodedTelegram& out) {
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
  // Without the key the bytes after the header are noise, not records.
  if (out.header.encryptionMode != 0) {
    out.error = EncryptedText(out.header.encryptionMode);
    return out.result;
  }
  WalkRecords(c, out);
  return out.result;
}

}  // namespace

std::int16_t DecodeTelegram(std::span<const std::uint8_t> telegram, DecodedTelegram& out) {
  const std::int16_t result = DecodeFrame(telegram, out);
  return Settled(out, result);
}

void DecodeRecordArea(std::span<const std::uint8_t> area, const TelegramHeader& header,
                      DecodedTelegram& out) {
  out.records.clear();
  out.header = header;
  out.manufacturerData = {};
  out.moreRecords = false;
  out.error.clear();
  out.errorOffset = 0;
  out.result = LinkResult::kOk;
  Cursor c{area, 0, area.size()};
  WalkRecords(c, out);
  // The area is already deciphered, whatever the header's security mode says.
  out.status = out.error.empty() ? Status::kOk : Status::kUnreadableRecords;
}

std::string EncryptedText(std::uint8_t mode) {
  std::string text = "encrypted (mode ";
  text += std::to_string(mode);
  text += "), no key for this meter";
  return text;
}

std::optional<std::uint16_t> ManufacturerCodeOf(std::string_view letters) {
  if (letters.size() != 3) return std::nullopt;
  std::uint16_t code = 0;
  for (char c : letters) {
    if (c < 'A' || c > 'Z') return std::nullopt;
    code = static_cast<std::uint16_t>((code << 5) | (c - 'A' + 1));
  }
  return code;
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
