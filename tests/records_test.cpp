// The standard record decoder: every DIF/DIFE/VIF/VIFE edge in one table, the frame checks, and
// public telegrams of many makers against expectations worked out by hand (tests/data).
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "codec/hex.hpp"
#include "telegrams.hpp"
#include "velmar/records.hpp"
#include "velmar/results.hpp"

namespace velmar {
namespace {

using testing::Bytes;
using testing::Framed;

// What one record of a telegram must decode to; a field left at its "unset" value is not checked.
struct Expect {
  const char* records;  // the record area, hex
  std::size_t index;    // which record
  const char* quantity;
  const char* unit;
  double value;      // checked for numbers
  const char* text;  // checked for time points, texts, bytes ("" unchecked)
  std::uint64_t storage;
  std::uint32_t tariff;
  std::uint16_t subunit;
  RecordFunction function;
};

DecodedTelegram Decode(const Bytes& telegram) {
  DecodedTelegram out;
  DecodeTelegram(telegram, out);
  return out;
}

TEST(RecordDecoder, EveryFieldOfTheRecordHeaderAndEveryValueCoding) {
  using F = RecordFunction;
  const Expect cases[] = {
      // DIF: function field, storage bit; DIFEs: storage, tariff and subunit bits concatenated.
      {"14 13 10270000", 0, "Volume", "m^3", 10, "", 0, 0, 0, F::kMaximum},
      {"24 13 10270000", 0, "Volume", "m^3", 10, "", 0, 0, 0, F::kMinimum},
      {"74 13 10270000", 0, "Volume", "m^3", 10, "", 1, 0, 0, F::kError},
      {"84 D1 32 03 01000000", 0, "Energy", "Wh", 1, "", 66, 13, 1, F::kInstantaneous},
      {"84 80 80 80 80 80 80 80 80 80 40 03 01000000", 0, "Energy", "Wh", 1, "", 0, 0, 512,
       F::kInstantaneous},
      // Idle fillers before and between records.
      {"2F 2F 01 03 05 2F 01 03 06", 1, "Energy", "Wh", 6, "", 0, 0, 0, F::kInstantaneous},
      // Primary VIF table with its powers of ten; durations in seconds.
      {"02 5A 0E01", 0, "Flow temperature", "°C", 27, "", 0, 0, 0, F::kInstantaneous},
      {"04 06 CE860000", 0, "Energy", "Wh", 34510000, "", 0, 0, 0, F::kInstantaneous},
      {"02 23 0200", 0, "On time", "s", 172800, "", 0, 0, 0, F::kInstantaneous},
      {"01 3B 05", 0, "Volume flow", "m^3/h", 0.005, "", 0, 0, 0, F::kInstantaneous},
      // Extension tables: 0xFD (voltage, current) and 0xFB (0.1 MWh).
      {"02 FD 48 4409", 0, "Voltage", "V", 237.2, "", 0, 0, 0, F::kInstantaneous},
      {"02 FD 59 1027", 0, "Current", "A", 10, "", 0, 0, 0, F::kInstantaneous},
      {"01 FB 00 05", 0, "Energy", "Wh", 500000, "", 0, 0, 0, F::kInstantaneous},
      // Orthogonal VIFEs: per hour, a correction factor 10^-3, an error code.
      {"02 96 22 0A00", 0, "Volume", "m^3/h", 10, "", 0, 0, 0, F::kInstantaneous},
      {"02 96 73 0A00", 0, "Volume", "m^3", 0.01, "", 0, 0, 0, F::kInstantaneous},
      // Plain-text unit, sent last character first.
      {"02 7C 03 7A 48 6B 0700", 0, "", "kHz", 7, "", 0, 0, 0, F::kInstantaneous},
      // Manufacturer VIF: the number as sent, no unit.
      {"02 FF 22 0700", 0, "Manufacturer specific", "", 7, "", 0, 0, 0, F::kInstantaneous},
      // Codings: signed 8, 24, 48 and 64 bits, real, BCD with a sign nibble, bad BCD.
      {"01 13 FE", 0, "Volume", "m^3", -0.002, "", 0, 0, 0, F::kInstantaneous},
      {"03 13 FFFFFF", 0, "Volume", "m^3", -0.001, "", 0, 0, 0, F::kInstantaneous},
      {"06 16 000000000001", 0, "Volume", "m^3", 1099511627776.0, "", 0, 0, 0, F::kInstantaneous},
      {"07 16 FFFFFFFFFFFFFFFF", 0, "Volume", "m^3", -1, "", 0, 0, 0, F::kInstantaneous},
      {"05 16 0000C03F", 0, "Volume", "m^3", 1.5, "", 0, 0, 0, F::kInstantaneous},
      {"0A 16 34F2", 0, "Volume", "m^3", -234, "", 0, 0, 0, F::kInstantaneous},
      {"0A 16 3A12", 0, "Volume", "m^3", 0, "3A12", 0, 0, 0, F::kInstantaneous},
      // Variable length: text, positive and negative BCD, binary.
      {"0D FD 0E 05 34302E3156", 0, "Firmware version", "", 0, "V1.04", 0, 0, 0, F::kInstantaneous},
      {"0D 16 C2 3412", 0, "Volume", "m^3", 1234, "", 0, 0, 0, F::kInstantaneous},
      {"0D 16 D1 05", 0, "Volume", "m^3", -5, "", 0, 0, 0, F::kInstantaneous},
      {"0D 16 E2 0001", 0, "Volume", "m^3", 256, "", 0, 0, 0, F::kInstantaneous},
      // 20 BCD digits are more than a number holds: the bytes as they came (found by fuzzing).
      {"0D 16 CA 99999999999999999999", 0, "Volume", "m^3", 0, "99999999999999999999", 0, 0, 0,
       F::kInstantaneous},
      // Time points: types G, F, I, J, and 12 BCD digits.
      {"02 6C 453C", 0, "Date", "", 0, "2026-12-05", 0, 0, 0, F::kInstantaneous},
      {"04 6D 1E0E453C", 0, "Date and time", "", 0, "2026-12-05T14:30:00", 0, 0, 0,
       F::kInstantaneous},
      {"06 6D 3B1E0E453C00", 0, "Date and time", "", 0, "2026-12-05T14:30:59", 0, 0, 0,
       F::kInstantaneous},
      {"03 6D 3B1E0E", 0, "Date and time", "", 0, "14:30:59", 0, 0, 0, F::kInstantaneous},
      {"0E 6D 003014051226", 0, "Date and time", "", 0, "2026-12-05T14:30:00", 0, 0, 0,
       F::kInstantaneous},
      // A VIFE naming the date of the value: the value is a time point.
      {"04 A9 6F 1E0E453C", 0, "Power", "", 0, "2026-12-05T14:30:00", 0, 0, 0, F::kInstantaneous},
      // Type D bit fields (error flags, digital inputs) are never signed: bit 15 is a flag.
      {"02 FD 17 0080", 0, "Error flags", "", 32768, "", 0, 0, 0, F::kInstantaneous},
      {"01 FD 1B 81", 0, "Digital input", "", 129, "", 0, 0, 0, F::kInstantaneous},
      // 0xFB table: relative humidity E001 101n, 10^(n-1) %.
      {"02 FB 1A CC02", 0, "Relative humidity", "%", 71.6, "", 0, 0, 0, F::kInstantaneous},
      {"01 FB 1B 48", 0, "Relative humidity", "%", 72, "", 0, 0, 0, F::kInstantaneous},
      // Error code 0 is "no error": the record keeps its value.
      {"04 83 00 0A000000", 0, "Energy", "Wh", 10, "", 0, 0, 0, F::kInstantaneous},
      // Date types with the year bits all set (127): the meter has not set the year.
      {"02 6C E1 F1", 0, "Date", "", 0, "--01-01", 0, 0, 0, F::kInstantaneous},
      // VIFE 0xFC: the code after it is from the second orthogonal table (at phase L2).
      {"02 FD C8 FC 02 3709", 0, "Voltage", "V", 235.9, "", 0, 0, 0, F::kInstantaneous},
  };
  for (const Expect& e : cases) {
    SCOPED_TRACE(e.records);
    const Bytes telegram = testing::Telegram(*ParseHex(e.records));
    const DecodedTelegram d = Decode(telegram);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.error, "");
    ASSERT_GT(d.records.size(), e.index);
    const DataRecord& r = d.records[e.index];
    EXPECT_EQ(r.quantity, e.quantity);
    EXPECT_EQ(UnitText(r), e.unit);
    EXPECT_EQ(r.storage, e.storage);
    EXPECT_EQ(r.tariff, e.tariff);
    EXPECT_EQ(r.subunit, e.subunit);
    EXPECT_EQ(r.function, e.function);
    if (std::string(e.text).empty()) {
      EXPECT_EQ(r.kind, ValueKind::kNumber);
      EXPECT_EQ(r.value, e.value);
    } else {
      EXPECT_EQ(ValueText(r), e.text);
    }
  }
}

// What a record cannot say by its quantity and value alone: a VIF the tables have no entry for
// (VIF 0x7B without its table code: the value as sent), a compact profile (VIFE E001 1111: bytes,
// never text), the date of an event sent as a number, and the phase from VIFE 0xFC.
TEST(RecordDecoder, FlagsSayWhatAValueIsNot) {
  const auto one = [](const char* hex) {
    static Bytes telegram;
    telegram = testing::Telegram(*ParseHex(hex));
    static DecodedTelegram d;
    DecodeTelegram(telegram, d);
    EXPECT_EQ(d.error, "") << hex;
    return d.records.empty() ? DataRecord{} : d.records[0];
  };
  const DataRecord bare = one("0C 7B 02030000");
  EXPECT_TRUE(bare.unscaled);
  EXPECT_EQ(bare.quantity, "");
  EXPECT_EQ(bare.value, 302);
  EXPECT_FALSE(one("0C 13 02030000").unscaled);

  const DataRecord profile = one("0D 93 1F 04 01020304");
  EXPECT_TRUE(profile.profile);
  EXPECT_EQ(profile.kind, ValueKind::kBytes);
  EXPECT_EQ(profile.errorCode, -1);
  EXPECT_EQ(ValueText(profile), "01020304");

  const DataRecord when = one("02 A9 6F 1E0E");
  EXPECT_TRUE(when.timePoint);
  EXPECT_EQ(UnitText(when), "");

  // Another maker's meter (ABB), whose codes say nothing of phases.
  Bytes abb = testing::Telegram(*ParseHex("02 FD C8 FC 03 3709"));
  abb[11] = 0x42;
  abb[12] = 0x04;
  abb[abb.size() - 2] = 0;
  for (std::size_t i = 4; i + 2 < abb.size(); ++i) abb[abb.size() - 2] += abb[i];
  DecodedTelegram d;
  ASSERT_EQ(DecodeTelegram(abb, d), 0);
  ASSERT_EQ(d.records.size(), 1u);
  EXPECT_EQ(d.records[0].phase, 3);
  EXPECT_EQ(d.records[0].errorCode, -1);
}

// A record that cannot be read ends the list there and says where; the records before it stay
// and nothing past the telegram is read.
TEST(RecordDecoder, MalformedRecordsEndTheListSayingWhere) {
  const struct {
    const char* records;
    std::size_t kept;
    const char* says;
  } cases[] = {
      {"01 13 05 84 80 80 80 80 80 80 80 80 80 80 00 13 05", 1, "more than 10 DIFEs"},
      {"01 13 05 01 93 80 80 80 80 80 80 80 80 80 80 00 05", 1, "more than 10 VIFEs"},
      {"01 13 05 04 13 0500", 1, "the data field runs past the telegram"},
      {"01 13 05 84", 1, "ends inside the DIFE chain"},
      {"01 13 05 01 93", 1, "ends inside the VIFE chain"},
      {"01 13 05 02 7C 09 4142", 1, "plain-text unit runs past"},
      {"01 13 05 0D 13 F9", 1, "reserved length byte"},
      {"01 13 05 3F", 1, "special DIF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.records);
    const Bytes telegram = testing::Telegram(*ParseHex(c.records));
    const DecodedTelegram d = Decode(telegram);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.status, Status::kUnreadableRecords);  // a frame that held, a list that did not
    EXPECT_EQ(d.records.size(), c.kept);
    EXPECT_EQ(d.errorOffset, 22u);  // the second record, after 19 header bytes and 3 bytes
    EXPECT_NE(d.error.find("record 2 at byte 22"), std::string::npos) << d.error;
    EXPECT_NE(d.error.find(c.says), std::string::npos) << d.error;
  }
}

TEST(RecordDecoder, ManufacturerDataMoreRecordsAndHeaders) {
  // The result refers to the telegram's bytes: the telegram must outlive it.
  const Bytes with_block = testing::Telegram(*ParseHex("01 13 05 1F 80 1D 00 AA BB"));
  DecodedTelegram d = Decode(with_block);
  EXPECT_TRUE(d.moreRecords);
  EXPECT_EQ(HexText(d.manufacturerData), "801D00AABB");
  EXPECT_EQ(d.header.identNumber, 12345678u);
  EXPECT_EQ(std::string(d.header.manufacturer.data()), "ORV");
  EXPECT_EQ(d.header.mediumName, "Electricity");
  EXPECT_EQ(d.header.status, 0x14);

  Bytes t = testing::Telegram(*ParseHex("01 13 05"));
  t[4] = 0x38;  // RSP_UD with access demand and data flow control
  t[t.size() - 2] = static_cast<std::uint8_t>(t[t.size() - 2] + 0x30);
  EXPECT_EQ(Decode(t).result, 0);
  EXPECT_EQ(Decode(t).status, Status::kOk);
  t[4] = 0x09;
  t[t.size() - 2] = static_cast<std::uint8_t>(t[t.size() - 2] - 0x2F);
  EXPECT_EQ(Decode(t).result, LinkResult::kStructureError);
  EXPECT_EQ(Decode(t).status, Status::kDamagedReply);
  t = testing::Telegram(*ParseHex("01 13 05"));
  t[t.size() - 2] ^= 1;
  EXPECT_EQ(Decode(t).result, LinkResult::kChecksumError);
  EXPECT_EQ(Decode(t).status, Status::kChecksum);
  t = testing::Telegram(*ParseHex("01 13 05"));
  t.pop_back();
  EXPECT_EQ(Decode(t).result, LinkResult::kWrongStopByte);
  // Short header (CI 0x7A): access number, status, signature, then the records.
  d = Decode(*ParseHex("68 0A 0A 68 08 01 7A 05 00 00 00 01 13 05 A1 16"));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.header.accessNumber, 5);
  ASSERT_EQ(d.records.size(), 1u);
  EXPECT_EQ(d.records[0].value, 0.005);
}

// This maker codes the phase of power, voltage and current with a byte the standard reads as
// an error code, counts its own quantities under VIF 0xFF, and splits power by subunit; another
// maker's meter sending the same bytes is read by the standard alone.
TEST(RecordDecoder, TheMakersOwnCodesOnlyForItsMeters) {
  const Bytes records = *ParseHex(
      "04 A9 01 4B 38 01 00"  // power 10^-2 W, phase byte 01: 799.47 W on L1
      "02 FD C8 02 EE 08"     // voltage 10^-1 V, phase 2: 228.6 V
      "02 FF E0 03 DB 03"     // the maker's power factor (0x60), phase 3: 0.987
      "84 40 29 E8 03 00 00"  // power of subunit 1: reactive, 10 var
      "02 FF 12 32 00");      // the maker's transformer ratio: 50
  const Bytes ours = testing::Telegram(records);
  DecodedTelegram d = Decode(ours);
  ASSERT_EQ(d.records.size(), 5u);
  EXPECT_EQ(d.records[0].phase, 1);
  EXPECT_EQ(d.records[0].errorCode, -1);
  EXPECT_NEAR(d.records[0].value, 799.47, 1e-9);
  EXPECT_EQ(d.records[1].quantity, "Voltage");
  EXPECT_EQ(d.records[1].phase, 2);
  EXPECT_EQ(d.records[2].quantity, "Power factor");
  EXPECT_EQ(d.records[2].phase, 3);
  EXPECT_NEAR(d.records[2].value, 0.987, 1e-12);
  EXPECT_TRUE(d.records[2].manufacturerVif);
  EXPECT_EQ(d.records[3].quantity, "Reactive power");
  EXPECT_EQ(d.records[3].unit, "var");
  EXPECT_EQ(d.records[4].quantity, "Transformer ratio");
  EXPECT_EQ(d.records[4].value, 50);

  Bytes theirs = ours;
  theirs[11] = 0x2D;  // manufacturer code 0x2C2D: KAM
  theirs[12] = 0x2C;
  theirs[theirs.size() - 2] =
      static_cast<std::uint8_t>(theirs[theirs.size() - 2] - 0x56 - 0x3E + 0x2D + 0x2C);
  d = Decode(theirs);
  ASSERT_EQ(d.result, 0);
  ASSERT_EQ(d.records.size(), 5u);
  EXPECT_EQ(d.records[0].phase, 0);
  EXPECT_EQ(d.records[0].errorCode, 1);
  EXPECT_EQ(d.records[2].quantity, "Manufacturer specific");
  EXPECT_EQ(d.records[2].value, 987);
  EXPECT_EQ(d.records[3].quantity, "Power");
}

// The header: a signature word with a security mode means enciphered records, which are not
// read as plain ones; an identification number with a digit over 9 keeps its digits; a fixed
// structure's second counter with unit 0x3E has the first one's unit and is historic.
TEST(RecordDecoder, EncipheredTelegramsOddIdentitiesAndFixedUnits) {
  const Bytes head = *ParseHex("08 01 72 78 56 34 1A 2D 2C 01 07 05 00");
  auto with = [&](const char* signature) {
    Bytes body = head;
    const Bytes word = *ParseHex(signature);
    const Bytes record = *ParseHex("04 13 10 27 00 00");
    body.insert(body.end(), word.begin(), word.end());
    body.insert(body.end(), record.begin(), record.end());
    return Framed(body);
  };
  const Bytes aes = with("10 05");
  DecodedTelegram d = Decode(aes);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.header.encryptionMode, 5);
  EXPECT_TRUE(d.records.empty());
  EXPECT_EQ(d.error, "encrypted (mode 5), no key for this meter");
  EXPECT_EQ(d.status, Status::kNoKey);
  EXPECT_EQ(std::string(d.header.ident.data()), "1A345678");
  EXPECT_EQ(d.header.identNumber, 0u);
  // Mode 5 with no enciphered block, and a mode the standard reserves: plain records.
  for (const char* plain : {"00 05", "27 B6"}) {
    const Bytes t = with(plain);
    d = Decode(t);
    EXPECT_EQ(d.header.encryptionMode, 0) << plain;
    ASSERT_EQ(d.records.size(), 1u) << plain;
    EXPECT_EQ(d.records[0].value, 10.0);
  }

  const Bytes fixed = Framed(*ParseHex("08 01 73 93 92 91 90 10 00 05 3E 31 65 00 00 69 00 00 00"));
  d = Decode(fixed);
  ASSERT_EQ(d.records.size(), 2u);
  EXPECT_EQ(d.records[1].quantity, "Energy");
  EXPECT_EQ(d.records[1].unit, "Wh");
  EXPECT_EQ(d.records[1].value, 69000);
  EXPECT_EQ(d.records[1].storage, 1u);
  EXPECT_EQ(d.records[0].storage, 0u);
  EXPECT_EQ(std::string(d.header.manufacturer.data()), "");
}

// Each expectation in the file was worked out by hand from the telegram's bytes; its "how"
// says which bytes and which table.
TEST(RecordDecoder, PublicTelegramsMatchTheHandWorkedRecords) {
  std::ifstream corpus(std::string(VELMAR_TEST_DATA) + "/telegrams.jsonl");
  std::map<std::string, Bytes> hex_of;
  for (std::string line; std::getline(corpus, line);) {
    const auto t = nlohmann::json::parse(line);
    hex_of[t["file"]] = *ParseHex(t["hex"].get<std::string>());
  }
  std::ifstream in(std::string(VELMAR_TEST_DATA) + "/records_expected.json");
  const auto expected = nlohmann::json::parse(in);
  int checked = 0;
  for (const auto& t : expected["telegrams"]) {
    const std::string file = t["file"];
    SCOPED_TRACE(file);
    ASSERT_TRUE(hex_of.count(file));
    const DecodedTelegram d = Decode(hex_of[file]);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.records.size(), t["count"].get<std::size_t>());
    if (t.contains("error")) {
      EXPECT_EQ(d.error, t["error"]);
    }
    if (t.contains("manufacturerData")) {
      EXPECT_EQ(HexText(d.manufacturerData), t["manufacturerData"]);
    }
    if (t.contains("header")) {
      const auto& h = t["header"];
      EXPECT_EQ(d.header.identNumber, h["identNumber"].get<std::uint32_t>());
      if (h.contains("ident")) {
        EXPECT_EQ(std::string(d.header.ident.data()), h["ident"]);
      }
      if (h.contains("manufacturer")) {
        EXPECT_EQ(std::string(d.header.manufacturer.data()), h["manufacturer"]);
      }
      if (h.contains("noManufacturer")) {
        EXPECT_TRUE(IsFixedStructure(d.header));
        EXPECT_EQ(d.header.manufacturerCode, 0);
      }
      EXPECT_EQ(d.header.medium, h["medium"]);
      EXPECT_EQ(d.header.accessNumber, h["accessNumber"]);
      EXPECT_EQ(d.header.status, h["status"]);
    }
    for (const auto& e : t.value("records", nlohmann::json::array())) {
      const std::size_t i = e["index"];
      SCOPED_TRACE(e["how"].get<std::string>());
      ASSERT_LT(i, d.records.size());
      const DataRecord& r = d.records[i];
      if (e.contains("quantity")) {
        EXPECT_EQ(r.quantity, e["quantity"].get<std::string>());
      }
      if (e.contains("unit")) {
        EXPECT_EQ(UnitText(r), e["unit"]);
      }
      if (e.contains("storage")) {
        EXPECT_EQ(r.storage, e["storage"]);
      }
      if (e.contains("tariff")) {
        EXPECT_EQ(r.tariff, e["tariff"]);
      }
      if (e.contains("subunit")) {
        EXPECT_EQ(r.subunit, e["subunit"]);
      }
      if (e.contains("function")) {
        EXPECT_EQ(FunctionName(r.function), e["function"]);
      }
      if (e.contains("manufacturerSpecific")) {
        EXPECT_TRUE(r.manufacturerVife || r.manufacturerVif);
      }
      if (e.contains("invalid")) {
        EXPECT_EQ(r.date.invalid, e["invalid"]);
      }
      if (e.contains("value") && e["value"].is_number()) {
        EXPECT_EQ(r.kind, ValueKind::kNumber);
        EXPECT_NEAR(r.value, e["value"].get<double>(), std::abs(r.value) * 1e-12);
      } else if (e.contains("value")) {
        EXPECT_EQ(ValueText(r), e["value"]);
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 30);
}

// Every public telegram decodes without reading outside it; the ones that are RSP_UD frames
// give a header and a list, the broken ones a result or an error that says where.
TEST(RecordDecoder, EveryPublicTelegramDecodes) {
  std::ifstream corpus(std::string(VELMAR_TEST_DATA) + "/telegrams.jsonl");
  int frames = 0;
  for (std::string line; std::getline(corpus, line);) {
    const Bytes t = *ParseHex(nlohmann::json::parse(line)["hex"].get<std::string>());
    DecodedTelegram d;
    if (DecodeTelegram(t, d) == 0) ++frames;
    for (const DataRecord& r : d.records) {
      EXPECT_GE(r.bytes.data(), t.data());
      EXPECT_LE(r.bytes.data() + r.bytes.size(), t.data() + t.size());
    }
  }
  EXPECT_GE(frames, 50);
}

}  // namespace
}  // namespace velmar
