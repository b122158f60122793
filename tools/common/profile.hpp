// A meter profile: what one maker's meter family calls its values and what its flag bits mean,
// written by a person as a TOML file and read as data (a profile holds no code). A profile is
// matched to a telegram by the maker's three letters, and optionally by version, medium and the
// quantities the telegram holds; it then names records ("total_m3" is the volume at storage 0,
// "target_m3" the one at storage 1) and reads flags from the status byte, from a record's bits
// or from the maker's own bytes after the records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmar/records.hpp"

namespace velmar::tools {

struct ProfileMatch {
  std::string manufacturer;            // three capital letters
  std::uint16_t manufacturerCode = 0;  // the same, as the header packs them (5 bits a letter)
  std::vector<int> versions;           // the header's version byte; empty: any
  std::vector<int> media;              // the header's medium code; empty: any
  std::vector<std::string> holding;    // quantities (as fields name them) the records must hold
  // The same, each as the record codes of its quantity (a bit per Measure; 0 for "date").
  std::vector<std::uint32_t> holdingMeasures;
  // How narrowly the profile is matched: the more parts given, the higher; a meter two
  // profiles match takes the higher.
  int Specificity() const;
};

// One named value: the first record of its quantity at its storage, tariff, subunit and
// function. A "date" quantity is a date or date and time record, given as ISO 8601 text; any
// other is a number in the unit of the plain values of that quantity.
struct ProfileField {
  std::string name;   // "total_m3": the JSON key and the entity's name
  std::string label;  // "Total volume"
  std::string quantity;
  std::uint64_t storage = 0;
  std::uint32_t tariff = 0;
  std::uint16_t subunit = 0;
  RecordFunction function = RecordFunction::kInstantaneous;
  // The record codes of `quantity` (bit N for Measure N), worked out once when the profile is
  // read; 0 for a date.
  std::uint32_t measures = 0;
  int line = 0;  // where the field is written, for messages
};

enum class FlagSource : std::uint8_t {
  kStatus,  // the header's status byte
  kRecord,  // the data field of the first record with the given VIF (and first VIFE)
  kMaker,   // the manufacturer-specific bytes after DIF 0x0F or 0x1F
};

// One named bit (or bits) of a byte: set when any bit of `mask` is.
struct ProfileFlag {
  std::string name;     // "leak", "battery_low"
  std::string meaning;  // what the maker says the flag means
  std::string source;   // the maker's document and its page or clause
  FlagSource from = FlagSource::kStatus;
  int vif = -1, vife = -1;  // kRecord: which record (vife -1: its VIF alone decides)
  int byte = 0;             // the byte of the status, data field or maker bytes, from 0
  int mask = 0;             // 1-255
  bool alarm = true;        // shown as a problem when set (false: a state, not an alarm)
  int line = 0;
};

struct Profile {
  std::string name;    // "kamstrup-multical21": unique among the profiles in use
  std::string title;   // "Kamstrup MULTICAL 21 / flowIQ 2101 (cold water)"
  std::string source;  // the maker's document the profile is written from
  std::string file;    // where it was read from
  ProfileMatch match;
  std::vector<ProfileField> fields;
  std::vector<ProfileFlag> flags;
};

// The quantities a field can name: the plain values' kinds ("volume", "energy", ...) and "date".
bool KnownFieldQuantity(std::string_view quantity);

// Reads one profile from `text` (the file `file`). Throws ArgumentError "FILE:LINE: what is
// wrong and what is accepted" for a file that is not TOML, an unknown key, a missing name,
// title, manufacturer or flag source, an unknown quantity, a mask outside 1-255, a byte past
// the status byte, or a name used twice. Microseconds for a profile of a few dozen lines.
Profile ParseProfile(std::string_view text, const std::string& file);

}  // namespace velmar::tools
