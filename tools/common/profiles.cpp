#include "profiles.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "plain_values.hpp"
#include "toml_reader.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

namespace fs = std::filesystem;

// A record the meter vouches for as the value of its quantity: not flagged with an error, not
// qualified in the maker's own way, scaled, and not a series or a time point of something.
bool Usable(const DataRecord& r) {
  return r.errorCode <= 0 && !r.manufacturerVife && !r.unscaled && !r.profile && !r.timePoint;
}

bool IsDate(const DataRecord& r) {
  return (r.kind == ValueKind::kDate || r.kind == ValueKind::kDateTime) && !r.date.invalid;
}

// Whether a usable record is of the quantity whose record codes are `measures` (0: a date).
bool Holds(std::span<const DataRecord> records, std::uint32_t measures) {
  return std::any_of(records.begin(), records.end(), [&](const DataRecord& r) {
    if (!Usable(r)) return false;
    if (measures == 0) return IsDate(r);
    double value = 0;
    return ((measures >> static_cast<unsigned>(r.measure)) & 1u) != 0 &&
           SortOf(r, value) != nullptr;
  });
}

template <typename List>
bool AnyOrHas(const List& list, int value) {
  return list.empty() || std::find(list.begin(), list.end(), value) != list.end();
}

// The field's value in `value`; false when the telegram holds no record of it. The record's
// kind is looked at first: a code test that passes over most records at once.
bool FieldOf(const ProfileField& f, std::span<const DataRecord> records,
             nlohmann::ordered_json& value) {
  for (const DataRecord& r : records) {
    const bool kind =
        f.measures == 0 ? IsDate(r) : ((f.measures >> static_cast<unsigned>(r.measure)) & 1u) != 0;
    if (!kind || r.storage != f.storage || r.tariff != f.tariff || r.subunit != f.subunit ||
        r.function != f.function || !Usable(r)) {
      continue;
    }
    if (f.measures == 0) {
      value = ValueText(r);
      return true;
    }
    double number = 0;
    if (SortOf(r, number) != nullptr) {
      // A reading kept from telegram to telegram holds a number here already: written in
      // place, not built and swapped in.
      if (value.is_number_float()) {
        value.get_ref<double&>() = number;
      } else {
        value = number;
      }
      return true;
    }
  }
  return false;
}

// The byte a flag sits in, when the telegram holds it.
std::optional<std::uint8_t> FlagByte(const ProfileFlag& f, const TelegramHeader& h,
                                     std::span<const DataRecord> records,
                                     std::span<const std::uint8_t> maker) {
  const auto at = static_cast<std::size_t>(f.byte);
  switch (f.from) {
    case FlagSource::kStatus:
      if (h.hasStatus) return h.status;
      return std::nullopt;
    case FlagSource::kMaker:
      if (at < maker.size()) return maker[at];
      return std::nullopt;
    case FlagSource::kRecord:
      for (const DataRecord& r : records) {
        // The extension bits say only whether more VIFEs follow; the codes are the rest.
        if ((r.vif & 0x7F) != (f.vif & 0x7F)) continue;
        if (f.vife >= 0 && (r.vifeCount == 0 || (r.vifes[0] & 0x7F) != (f.vife & 0x7F))) continue;
        if (at < r.bytes.size()) return r.bytes[at];
        return std::nullopt;
      }
      return std::nullopt;
  }
  return std::nullopt;
}

std::vector<std::string> TomlFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".toml") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ExecutableFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string();
}

}  // namespace

ProfileSet ProfileSet::Load(const std::vector<std::string>& folders) {
  ProfileSet set;
  for (const std::string& folder : folders) {
    for (const std::string& file : TomlFiles(folder)) {
      try {
        set.Add(ParseProfile(ReadConfigFile(file), file));
      } catch (const Error& e) {
        set.errors_.push_back(e.what());
      }
    }
  }
  return set;
}

void ProfileSet::Add(Profile profile) {
  const auto at =
      std::lower_bound(profiles_.begin(), profiles_.end(), profile.name,
                       [](const Profile& p, const std::string& name) { return p.name < name; });
  if (at != profiles_.end() && at->name == profile.name) {
    *at = std::move(profile);
  } else {
    profiles_.insert(at, std::move(profile));
  }
  Index();
}

void ProfileSet::Index() {
  byMaker_.clear();
  for (std::size_t i = 0; i < profiles_.size(); ++i) {
    byMaker_.emplace_back(profiles_[i].match.manufacturerCode, i);
  }
  std::sort(byMaker_.begin(), byMaker_.end());
}

const Profile* ProfileSet::Find(const std::string& name) const {
  for (const Profile& p : profiles_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const Profile* ProfileSet::Match(const TelegramHeader& header, std::span<const DataRecord> records,
                                 std::vector<const Profile*>* others) const {
  const Profile* best = nullptr;
  const auto first = std::lower_bound(byMaker_.begin(), byMaker_.end(),
                                      std::make_pair(header.manufacturerCode, std::size_t{0}));
  for (auto it = first; it != byMaker_.end() && it->first == header.manufacturerCode; ++it) {
    const Profile& p = profiles_[it->second];  // in name order, as the index keeps them
    if (!Matches(p, header, records)) continue;
    if (best == nullptr || p.match.Specificity() > best->match.Specificity()) {
      if (best != nullptr && others != nullptr) others->push_back(best);
      best = &p;
    } else if (others != nullptr) {
      others->push_back(&p);
    }
  }
  return best;
}

std::vector<std::string> ProfileFolders() {
  std::vector<std::string> folders;
  if (const std::string exe = ExecutableFolder(); !exe.empty()) {
    folders.push_back((fs::path(exe).parent_path() / "share/velmar/profiles").string());
  }
  folders.push_back("/etc/velmar/profiles");
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
    folders.push_back(std::string(xdg) + "/velmar/profiles");
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    folders.push_back(std::string(home) + "/.config/velmar/profiles");
  }
  return folders;
}

ProfileSet LoadProfilesInUse(const std::function<void(const std::string&)>& leftOut) {
  ProfileSet set = ProfileSet::Load(ProfileFolders());
  for (const std::string& e : set.Errors()) leftOut("meter profile left out: " + e);
  return set;
}

bool Matches(const Profile& p, const TelegramHeader& h, std::span<const DataRecord> records) {
  if (p.match.manufacturerCode != h.manufacturerCode) return false;
  if (!AnyOrHas(p.match.versions, h.version) || !AnyOrHas(p.match.media, h.medium)) return false;
  return std::all_of(p.match.holdingMeasures.begin(), p.match.holdingMeasures.end(),
                     [&](std::uint32_t measures) { return Holds(records, measures); });
}

std::vector<std::string> ProfileReading::Alarms() const {
  std::vector<std::string> out;
  for (const FlagValue& f : flags) {
    if (f.set && f.flag->alarm) out.push_back(f.flag->name);
  }
  return out;
}

ProfileReading ApplyProfile(const Profile& profile, const TelegramHeader& header,
                            std::span<const DataRecord> records,
                            std::span<const std::uint8_t> makerBytes) {
  ProfileReading out;
  ApplyProfile(profile, header, records, makerBytes, out);
  return out;
}

void ApplyProfile(const Profile& profile, const TelegramHeader& header,
                  std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                  ProfileReading& out) {
  out.profile = &profile;
  out.fields.resize(profile.fields.size());
  std::size_t found = 0;
  for (const ProfileField& f : profile.fields) {
    if (FieldOf(f, records, out.fields[found].value)) out.fields[found++].field = &f;
  }
  out.fields.resize(found);
  out.flags.clear();
  for (const ProfileFlag& f : profile.flags) {
    if (const auto byte = FlagByte(f, header, records, makerBytes)) {
      out.flags.push_back({&f, (*byte & f.mask) != 0});
    }
  }
}

void AddProfileJson(const ProfileReading& reading, nlohmann::ordered_json& j) {
  if (reading.profile == nullptr) return;
  j["profile"] = reading.profile->name;
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  for (const FieldValue& f : reading.fields) fields[f.field->name] = f.value;
  j["fields"] = std::move(fields);
  nlohmann::ordered_json flags = nlohmann::ordered_json::object();
  for (const FlagValue& f : reading.flags) flags[f.flag->name] = f.set;
  j["flags"] = std::move(flags);
  j["alarms"] = reading.Alarms();
}

ProfileReading ReadByProfile(const ProfileSet& set, const TelegramHeader& header,
                             std::span<const DataRecord> records,
                             std::span<const std::uint8_t> makerBytes) {
  ProfileReading out;
  ReadByProfile(set, header, records, makerBytes, out);
  return out;
}

void ReadByProfile(const ProfileSet& set, const TelegramHeader& header,
                   std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                   ProfileReading& out) {
  const Profile* p = set.Match(header, records);
  if (p == nullptr) {
    out.profile = nullptr;
    out.fields.clear();
    out.flags.clear();
    return;
  }
  ApplyProfile(*p, header, records, makerBytes, out);
}

}  // namespace velmar::tools
