// Standard EN 13757-3 record decoding for any meter on the bus: a checked RSP_UD becomes its
// header and the list of its data records, each with storage number, tariff, subunit, function,
// quantity, SI unit and value. This decoder is independent of the control: it keeps no state
// between calls and touches no per-thread store, so any host (a scanner, a collector, a window)
// can use it on any thread.
//
// The decoded telegram refers to the caller's bytes (plain-text units, text values, the
// manufacturer data): keep the telegram alive and unchanged while the result is used.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmar/status.hpp"

namespace velmar {

enum class RecordFunction : std::uint8_t { kInstantaneous, kMaximum, kMinimum, kError };

// What a record measures and in which unit its value is, for a host that picks values by their
// meaning rather than by their text: the quantities a meter's present readings are taken from,
// as the value tables name them (the primary VIFs, the 0xFB and 0xFD extensions, a maker's own
// codes, the fixed structure's units). kOther for every other quantity; `quantity` and `unit`
// name it.
enum class Measure : std::uint8_t {
  kOther,
  kEnergyWh,
  kEnergyJ,
  kVolumeM3,
  kMassKg,
  kPowerW,
  kPowerJPerH,
  kReactivePowerVar,
  kApparentPowerVA,
  kPowerFactor,
  kVoltageV,
  kCurrentA,
  kVolumeFlowM3PerH,
  kVolumeFlowM3PerMin,
  kVolumeFlowM3PerS,
  kFlowTemperatureC,
  kReturnTemperatureC,
  kTemperatureDifferenceK,
  kExternalTemperatureC,
  kPressureBar,
  kHcaUnits,          // a heat-cost allocator's reading, in its own units
  kRelativeHumidity,  // percent
  kDateTime,
};

enum class ValueKind : std::uint8_t {
  kNone,      // no data (coding 0, selection for readout)
  kNumber,    // `value`, scaled to `unit`
  kDate,      // `date` (type G): year, month, day
  kDateTime,  // `date` (types F and I, or 12 BCD digits YYMMDDhhmmss)
  kTime,      // `date` (type J): hour, minute, second
  kText,      // `bytes`: characters, last one first as sent
  kBytes,     // `bytes`: binary data, or BCD that does not form a number
};

struct DateTimeValue {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool invalid = false;     // the meter flagged the time point as not valid
  bool summerTime = false;  // type F and I: summer time flag
};

struct DataRecord {
  std::uint16_t offset = 0;  // position of the DIF in the telegram
  std::uint8_t dif = 0;
  std::uint8_t coding = 0;    // data field coding, the DIF's low nibble
  std::uint64_t storage = 0;  // storage number: DIF bit 6, then four bits per DIFE
  std::uint32_t tariff = 0;   // two bits per DIFE, first DIFE lowest
  std::uint16_t subunit = 0;  // one bit per DIFE, first DIFE lowest
  RecordFunction function = RecordFunction::kInstantaneous;
  std::uint8_t vif = 0;  // the VIF as sent (0xFB, 0xFD: the table's code is vifes[0])
  std::array<std::uint8_t, 11> vifes{};
  std::uint8_t vifeCount = 0;
  Measure measure = Measure::kOther;        // `quantity` and `unit` as a code
  std::string_view quantity;                // "Energy", "Volume", "Flow temperature", ...
  std::string_view unit;                    // SI unit of `value`: "Wh", "m^3", "°C", ... ("" none)
  std::string_view unitSuffix;              // from an orthogonal VIFE: "/h", "/s", ... ("" none)
  std::span<const std::uint8_t> plainUnit;  // VIF 0x7C: the unit's characters, last first
  std::int16_t errorCode = -1;              // an error VIFE (0x00-0x1F) of the record, -1 none
  // VIF 0x7F/0xFF: the quantity is the maker's own ("Manufacturer specific", or what the
  // maker's table names).
  bool manufacturerVif = false;
  // A VIFE 0x7F/0xFF after a standard VIF: the quantity, unit and scale are the VIF's, the
  // VIFEs after it qualify the value in the maker's own way.
  bool manufacturerVife = false;
  // The phase (1-3) a record of power, voltage or current belongs to, where the maker's table
  // says how its meters code it; 0 none.
  std::uint8_t phase = 0;
  // The standard's tables give this VIF no quantity (a reserved or unknown code): `value` is
  // the data field as sent, with no scale applied.
  bool unscaled = false;
  // A VIFE E001 1110/1111: the data field is a compact profile (a series of values the meter
  // packs together), kept as bytes.
  bool profile = false;
  // A VIFE made the value the date (and time) of something about the quantity (its last
  // limit exceed, the end of its last period, ...), though the data field is not a date type.
  bool timePoint = false;
  ValueKind kind = ValueKind::kNone;
  double value = 0;
  DateTimeValue date;
  std::span<const std::uint8_t> bytes;  // the data field as sent (after the LVAR byte)
};

struct TelegramHeader {
  std::uint8_t c = 0;   // C field: 0x08 with access-demand (0x20) and data-flow-control (0x10)
  std::uint8_t a = 0;   // primary address
  std::uint8_t ci = 0;  // 0x72 (long header), 0x7A (short header), 0x76, 0x73/0x77 (fixed data)
  std::uint32_t identNumber = 0;  // eight BCD digits (0 with a short header or non-BCD digits)
  // The identification number as its eight digits, most significant first; a digit that is not
  // BCD (A-F) is kept as its hex digit. Empty with a short header.
  std::array<char, 9> ident{};
  std::uint16_t manufacturerCode = 0;
  std::array<char, 4> manufacturer{};  // three letters and a NUL; empty when the code is 0
  std::uint8_t version = 0;
  std::uint8_t medium = 0;
  std::string_view mediumName;
  std::uint8_t accessNumber = 0;
  std::uint8_t status = 0;
  // False where no transport header carried access number and status (a wireless telegram
  // with CI 0x78 after its link layer): `status` is then not the meter's.
  bool hasStatus = true;
  std::uint16_t signature = 0;
  // The security mode of the configuration (signature) word, bits 8-12, when it says the records
  // are enciphered (5 AES-CBC, 7 AES-CBC with a derived key, 10 AES-CCM, ...); 0 when they are
  // plain. An enciphered telegram's records are not walked.
  std::uint8_t encryptionMode = 0;
};

struct DecodedTelegram {
  // 0, or the LinkResult code of a frame that is not a checked RSP_UD (start, stop, L fields,
  // check byte, C or CI field); then nothing below is set.
  std::int16_t result = 0;
  TelegramHeader header;
  std::vector<DataRecord> records;  // reused from call to call: no allocation per record
  std::span<const std::uint8_t> manufacturerData;  // after DIF 0x0F or 0x1F
  bool moreRecords = false;                        // DIF 0x1F: the meter has more telegrams
  // Where a malformed record ended the list ("" when it did not); the records before it stay.
  // An encrypted telegram says so here ("encrypted (mode 5), no key for this meter") and has no
  // records.
  std::string error;
  std::size_t errorOffset = 0;  // position in the telegram of the record that failed
  // What the decode came to: kOk; kDamagedReply or kChecksum with `result`; kNoKey for
  // enciphered records; kUnreadableRecords when `error` ended the list (or the meter reported
  // an application error).
  Status status = Status::kOk;
};

// Checks the frame and decodes it into `out`; returns out.result. Never reads outside
// `telegram`; takes time in proportion to its length (about a third of a microsecond for a
// typical 100-byte telegram) and allocates only when the record list outgrows what `out` held.
std::int16_t DecodeTelegram(std::span<const std::uint8_t> telegram, DecodedTelegram& out);

// "instantaneous", "maximum", "minimum", "error".
std::string_view FunctionName(RecordFunction function);

// The manufacturer field of three capital letters ("KAM"): five bits a letter, 'A' as 1, the
// first letter highest; nullopt for any other text.
std::optional<std::uint16_t> ManufacturerCodeOf(std::string_view letters);
// CI 0x73 and 0x77: two counters, no manufacturer or version in the header.
inline bool IsFixedStructure(const TelegramHeader& h) {
  return h.ci == 0x73 || h.ci == 0x77;
}

// Walks the data records of an application layer: `area` runs from the first DIF to the end
// (a wired telegram's records after its header, a wireless one's after its transport header,
// decrypted). `header` describes the meter (its maker's codes; CI 0x76 sends multi-byte values
// most significant byte first) and becomes out.header; out.result is 0. The records refer into
// `area`. Time and allocation as DecodeTelegram.
void DecodeRecordArea(std::span<const std::uint8_t> area, const TelegramHeader& header,
                      DecodedTelegram& out);

// The security mode (bits 8-12) of a configuration word when it says the data is enciphered:
// a mode EN 13757-7 defines (old wired meters leave other bits there; their data is plain), and
// for AES-CBC (5, 7) at least one enciphered block (bits 4-7). 0 for plain data.
std::uint8_t EncipheredMode(std::uint16_t configuration);

// The name of a medium code ("Electricity", "Heat (outlet)", "Water", ...; "Reserved" for codes
// the standard leaves open).
std::string_view MediumText(std::uint8_t medium);

// "encrypted (mode N), no key for this meter".
std::string EncryptedText(std::uint8_t mode);

// The value as text: an ISO 8601 date, date and time or time for time points, the characters
// of a text (in reading order, ISO/IEC 8859-1 as the meter sends them, given as UTF-8), or hex
// for binary data; "" for numbers and no data.
std::string ValueText(const DataRecord& record);
// The unit with its suffix, or the plain-text unit in reading order (as UTF-8).
std::string UnitText(const DataRecord& record);

}  // namespace velmar
