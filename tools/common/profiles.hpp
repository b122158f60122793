// The profiles in use and what one of them makes of a telegram: its named fields with their
// values, and its flags (set, clear, or absent when the byte they sit in is not in the
// telegram; an absent flag is never reported as clear).
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "plain_values.hpp"
#include "profile.hpp"

namespace velmar::tools {

class ProfileSet {
 public:
  // Every "*.toml" file of each folder in order (a folder that does not exist is skipped); a
  // profile of a name already loaded replaces the earlier one, so a user's folder overrides the
  // system's, which overrides the package's. A file that does not read is left out with its
  // "FILE:LINE: why" in Errors(); the others are used. Milliseconds for a few dozen files.
  static ProfileSet Load(const std::vector<std::string>& folders);

  // Adds `profile`, replacing one of the same name.
  void Add(Profile profile);
  const std::vector<Profile>& All() const { return profiles_; }
  const std::vector<std::string>& Errors() const { return errors_; }
  // Changes whenever a profile is added: a plan made under another generation is not used.
  std::uint64_t Generation() const { return generation_; }
  // Whether the header alone decides which profile matches (no profile asks for records).
  bool MatchedByHeader() const { return matchedByHeader_; }
  // The profile of this name, or nullptr.
  const Profile* Find(const std::string& name) const;
  // The profile for a telegram with this header and these records: of those that match, the
  // most specific, and between equally specific ones the first by name; nullptr when none
  // matches. `others` (when given) receives the other matching profiles. Microseconds.
  const Profile* Match(const TelegramHeader& header, std::span<const DataRecord> records,
                       std::vector<const Profile*>* others = nullptr) const;

 private:
  void Index();

  std::vector<Profile> profiles_;  // by name
  // (manufacturer code, index in profiles_), by code: a telegram looks only at its maker's.
  std::vector<std::pair<std::uint16_t, std::size_t>> byMaker_;
  std::vector<std::string> errors_;
  std::uint64_t generation_ = 0;
  bool matchedByHeader_ = true;
};

// Where profiles are looked for, in order: the package's (share/velmar/profiles beside the
// executable's folder), /etc/velmar/profiles, then $XDG_CONFIG_HOME/velmar/profiles (or
// ~/.config/velmar/profiles).
std::vector<std::string> ProfileFolders();

// The profiles in use: those of ProfileFolders(), each file that does not read told to
// `leftOut` as "meter profile left out: FILE:LINE: why" (the others still used).
ProfileSet LoadProfilesInUse(const std::function<void(const std::string&)>& leftOut);

// Whether `profile` matches a telegram with this header and these records.
bool Matches(const Profile& profile, const TelegramHeader& header,
             std::span<const DataRecord> records);

struct FieldValue {
  const ProfileField* field = nullptr;
  nlohmann::ordered_json value;  // a number in the quantity's unit, or ISO 8601 text
};

struct FlagValue {
  const ProfileFlag* flag = nullptr;
  bool set = false;
};

// Where a profile found a meter's fields in its last telegram, kept with the meter's reading:
// the meter's next telegram of the same layout (the same records in the same places) goes to
// those records at once instead of matching the profiles and searching the records again.
struct ProfilePlan {
  const ProfileSet* set = nullptr;  // made from this set, in this generation of it
  std::uint64_t generation = 0;
  std::uint16_t manufacturerCode = 0;
  std::uint8_t version = 0;
  std::uint8_t medium = 0;
  std::uint32_t layout = 0;  // 0: no plan
  std::size_t records = 0;
  const Profile* profile = nullptr;  // what matched (nullptr: none)
  // Each field's record, its code and how its number is brought into the field's unit;
  // record -1: searched for every time (a date, a field the telegram lacked, or one an earlier
  // record might give when its value reads).
  struct Spot {
    int record = -1;
    Measure measure = Measure::kOther;
    UnitFactors factors;
  };
  std::vector<Spot> spots;
  std::vector<int> statusMasks;  // per flag: its mask when it is the status byte's, else 0
};

struct ProfileReading {
  const Profile* profile = nullptr;
  std::vector<FieldValue> fields;  // the fields whose record the telegram holds
  std::vector<FlagValue> flags;    // the flags whose byte the telegram holds
  ProfilePlan plan;                // for the meter's next telegram
  // The names of the alarm flags that are set.
  std::vector<std::string> Alarms() const;
};

// What `profile` makes of a telegram: `makerBytes` are the bytes after DIF 0x0F or 0x1F.
// Microseconds; never throws but std::bad_alloc.
ProfileReading ApplyProfile(const Profile& profile, const TelegramHeader& header,
                            std::span<const DataRecord> records,
                            std::span<const std::uint8_t> makerBytes);
// The same into `out`, whose lists keep their room from telegram to telegram: no allocation
// once they have grown (but for a date field's text). Tens of nanoseconds.
void ApplyProfile(const Profile& profile, const TelegramHeader& header,
                  std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                  ProfileReading& out);

// Adds "profile" (its name), "fields" ({name: value}), "flags" ({name: true/false}) and
// "alarms" ([names]) to `j`; nothing when no profile applied.
void AddProfileJson(const ProfileReading& reading, nlohmann::ordered_json& j);

// The profile of `set` that matches a telegram, applied to it (no profile when none matches).
// Microseconds; never throws but std::bad_alloc.
ProfileReading ReadByProfile(const ProfileSet& set, const TelegramHeader& header,
                             std::span<const DataRecord> records,
                             std::span<const std::uint8_t> makerBytes);
// The same into `out`, a reading kept for one meter. `layout` (a wireless telegram's Layout(),
// 0 when not known) lets the meter's next telegram of the same layout use the plan `out` keeps:
// the same result, for tens of nanoseconds less. A plan names profiles of `set`: keep a reading
// no longer than the set it is read with (a set added to since is recognised and planned anew).
void ReadByProfile(const ProfileSet& set, const TelegramHeader& header,
                   std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                   ProfileReading& out, std::uint32_t layout = 0);

}  // namespace velmar::tools
