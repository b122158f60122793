// The named values of this maker's electricity meters (manufacturer ORV), taken from their
// RSP_UD telegrams by the same record walker the control reads them with, but into a store the
// caller owns: nothing here touches a thread's link state or meter data, so any host can decode
// any number of meters on one thread and keep each reading apart.
//
// Each value is a field of one table (`MakerFields()`): its name, label, unit and kind, and in
// the library how it is read from the walked store. The JSON of a reading, the command line's
// rows, the window's lines and the collector's message are all made from that table.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velmar {

struct OrvMeterData;
struct MbusLinkState;

// The manufacturer code of this maker's meters: "ORV" packed five bits a letter.
constexpr std::uint16_t kMakerManufacturerCode = 0x3E56;

// A relay output the meter's telegrams did not report (as the control's getRelayState says it).
constexpr int kRelayNotReported = -2;

// What a field holds, which decides how every list shows it.
enum class MakerFieldKind {
  kIdent,       // the identification number (an integer; 0 or less: not known)
  kText,        // text as the meter sends it
  kCount,       // an integer
  kStatus,      // the status byte, shown with its bits' texts
  kStatusText,  // the status bits' texts, one per line
  kEnergy,      // kWh
  kTariffs,     // kWh per tariff 0-5; a tariff the meter flags as not valid is empty
  kFlags,       // the error flags: the low 32 bits, and all 64 in the lists
  kFlagsHigh,   // the error flags' high 32 bits
  kDate,        // YYMMDD as the meter sends it, "" when absent
  kTime,        // hh:mm:ss, "" when absent
  kRelays,      // relay outputs 0-5: 1 on, 0 off, kRelayNotReported
};

// A field's value: an integer (kIdent, kCount, kStatus, kFlags with all 64 bits, kFlagsHigh), a
// number (kEnergy), a text (kText, kStatusText, kDate, kTime), the tariffs, or the relays.
using MakerFieldValue = std::variant<std::int64_t, double, std::string,
                                     std::vector<std::optional<double>>, std::vector<int>>;

struct MakerField {
  const char* name;   // the control's member name: the JSON key
  const char* label;  // what a table calls it
  const char* unit;   // "" when the value has none
  MakerFieldKind kind;
  bool header = false;  // from the fixed data header, which a window shows on lines of its own
};

// Every field, in the order `velmar read --json` prints them. Constant time.
std::span<const MakerField> MakerFields();

// The field of this name, or nullptr. Microseconds.
const MakerField* FindMakerField(std::string_view name);

// One reading of this maker's meter: the fixed data header and the store its telegrams were
// walked into. Copies share the store (it never changes after the walk).
class MakerValues {
 public:
  // Nothing walked: every field as an empty store and header give it.
  MakerValues();
  // The values a walk left in `link` and `data` (for the library and its tests).
  MakerValues(const MbusLinkState& link, const OrvMeterData& data);

  // The value of a field of MakerFields(). Microseconds; never throws but std::bad_alloc.
  MakerFieldValue Get(const MakerField& field) const;
  // The value of the field of this name; std::invalid_argument when there is none.
  MakerFieldValue Get(std::string_view name) const;

  // The identification number of the fixed data header (0 when nothing was walked).
  // Constant time, as are the other accessors.
  std::int64_t IdentNumber() const;
  // The manufacturer's three letters ("" for code 0 or a code with its top bit set).
  std::string Manufacturer() const;
  // The status byte of the fixed data header.
  std::uint8_t Status() const;
  // The status byte's bits as text, one per line, as the control's MeterErrorString.
  std::string StatusText() const;
  // The last telegram ended with "more records follow".
  bool MoreRecords() const;

  // What the walk left, as the control's own store and link state hold it (for the library and
  // its tests, which see those types; valid as long as this object or a copy lives).
  const OrvMeterData& Store() const;
  const MbusLinkState& Link() const;

  struct Walked;  // the link state and store of one walk (the library's own)

 private:
  friend std::int16_t DecodeMakerValues(std::span<const std::vector<std::uint8_t>> telegrams,
                                        MakerValues& out);
  std::shared_ptr<const Walked> walked_;
};

// Whether a fixed data header names this maker (the telegram then decodes into MakerValues).
bool IsMakerMeter(std::uint16_t manufacturerCode);

// Checks one RSP_UD as the control checks its replies (a leading 0xFC is read as 0x68; the
// C field must be 0x08 and the CI field 0x72; the frame ends at the last byte of `telegram`) and
// walks its records into a fresh `out`. Returns 0 or a LinkResult code; on a code `out` holds
// what was walked before the fault. Never reads outside `telegram`; microseconds; never throws
// but std::bad_alloc.
std::int16_t DecodeMakerValues(std::span<const std::uint8_t> telegram, MakerValues& out);

// The telegrams of one reading in order, walked into one store, so a later telegram adds its
// records to the earlier ones' values. Stops at the first telegram that fails its check and
// returns its code (0 when all pass); the header is the first telegram's.
std::int16_t DecodeMakerValues(std::span<const std::vector<std::uint8_t>> telegrams,
                               MakerValues& out);

}  // namespace velmar
