// The profiles in use and what one of them makes of a telegram: its named fields with their
// values, and its flags (set, clear, or absent when the byte they sit in is not in the
// telegram; an absent flag is never reported as clear).
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

struct ProfileReading {
  const Profile* profile = nullptr;
  std::vector<FieldValue> fields;  // the fields whose record the telegram holds
  std::vector<FlagValue> flags;    // the flags whose byte the telegram holds
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
ProfileReading ReadByProfile(const ProfileSet& set, const TelegramHeader& header,
                             std::span<const DataRecord> records,
                             std::span<const std::uint8_t> makerBytes);
void ReadByProfile(const ProfileSet& set, const TelegramHeader& header,
                   std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                   ProfileReading& out);

}  // namespace velmar::tools
