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

// Whether `r` stands where field `f` is kept (storage, tariff, subunit, function) with a value
// the meter vouches for.
bool AtFieldsPlace(const ProfileField& f, const DataRecord& r) {
  return r.storage == f.storage && r.tariff == f.tariff && r.subunit == f.subunit &&
         r.function == f.function && Usable(r);
}

// Whether `r` is of number field `f` by its codes and place (its kind of value aside): a record
// that only failed to read might give the field in the next telegram. Its code is tested first:
// a test that passes over most records at once.
bool OfField(const ProfileField& f, const DataRecord& r) {
  return (f.measures >> static_cast<unsigned>(r.measure) & 1u) != 0 && r.unitSuffix.empty() &&
         AtFieldsPlace(f, r);
}

inline void WriteNumber(double number, nlohmann::ordered_json& value) {
  // A reading kept from telegram to telegram holds a number here already: written in place,
  // not built and swapped in.
  if (double* held = value.get_ptr<double*>(); held != nullptr) {
    *held = number;
  } else {
    value = number;
  }
}

// The field's value in `value` and the index of its record; -1 when the telegram holds no record
// of it.
int FieldOf(const ProfileField& f, std::span<const DataRecord> records,
            nlohmann::ordered_json& value) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    const DataRecord& r = records[i];
    if (f.measures == 0) {
      if (!IsDate(r) || !AtFieldsPlace(f, r)) continue;
      value = ValueText(r);
      return static_cast<int>(i);
    }
    if (!OfField(f, r)) continue;
    double number = 0;
    if (SortOf(r, number) != nullptr) {
      WriteNumber(number, value);
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Where field `f` sat in a telegram whose record `at` gave it (-1: none), for the next telegram
// of the same layout: -1 when it is to be searched for (a date, a field not there, or an earlier
// record of the field's codes whose value did not read this time).
ProfilePlan::Spot SpotOf(const ProfileField& f, std::span<const DataRecord> records, int at) {
  ProfilePlan::Spot spot;
  if (at < 0 || f.measures == 0) return spot;
  for (int i = 0; i < at; ++i) {
    if (OfField(f, records[static_cast<std::size_t>(i)])) return spot;
  }
  const DataRecord& r = records[static_cast<std::size_t>(at)];
  const std::optional<UnitFactors> factors = FactorsOf(r);
  if (!factors) return spot;
  return {at, r.measure, *factors};
}

// The field's value from the record the plan names, when it still reads there: the layout is the
// same, so only its value can have changed (a BCD digit it cannot hold makes it unreadable).
bool FromSpot(const ProfileField& f, const ProfilePlan::Spot& spot,
              std::span<const DataRecord> records, nlohmann::ordered_json& value) {
  if (spot.record < 0 || static_cast<std::size_t>(spot.record) >= records.size()) return false;
  const DataRecord& r = records[static_cast<std::size_t>(spot.record)];
  // Two layouts with one CRC: the record must still be of the field's code and storage.
  if (r.kind != ValueKind::kNumber || r.measure != spot.measure || r.storage != f.storage) {
    return false;
  }
  WriteNumber(InSortUnit(r.value, spot.factors), value);
  return true;
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
  matchedByHeader_ = true;
  for (std::size_t i = 0; i < profiles_.size(); ++i) {
    byMaker_.emplace_back(profiles_[i].match.manufacturerCode, i);
    if (!profiles_[i].match.holding.empty()) matchedByHeader_ = false;
  }
  std::sort(byMaker_.begin(), byMaker_.end());
  ++generation_;
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

namespace {

// A reading's list at `size`: a list already that long (a meter's next telegram) is left as it
// is, without a call into the vector.
template <typename List>
void SizeTo(List& list, std::size_t size) {
  if (list.size() != size) list.resize(size);
}

// The flags whose byte the telegram holds. `statusMasks` (a plan's, or null) gives each status
// byte flag's mask beside the others' 0: a few bytes to read, not each flag's description.
void ApplyFlags(const Profile& profile, const TelegramHeader& header,
                std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                const std::vector<int>* statusMasks, ProfileReading& out) {
  const std::vector<ProfileFlag>& flags = profile.flags;
  // Written in place: the reading's list keeps its room from telegram to telegram.
  SizeTo(out.flags, flags.size());
  std::size_t found = 0;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    const int mask = statusMasks != nullptr ? (*statusMasks)[i] : 0;
    if (mask > 0) {
      if (header.hasStatus) out.flags[found++] = {&flags[i], (header.status & mask) != 0};
    } else if (const auto byte = FlagByte(flags[i], header, records, makerBytes)) {
      out.flags[found++] = {&flags[i], (*byte & flags[i].mask) != 0};
    }
  }
  SizeTo(out.flags, found);
}

void NoProfile(ProfileReading& out) {
  out.profile = nullptr;
  out.fields.clear();
  out.flags.clear();
}

// The profile's fields by the plan: each from the record it named, or searched for.
void ApplyPlanned(const ProfilePlan& plan, std::span<const DataRecord> records,
                  ProfileReading& out) {
  const Profile& profile = *plan.profile;
  out.profile = &profile;
  SizeTo(out.fields, profile.fields.size());
  std::size_t found = 0;
  for (std::size_t i = 0; i < profile.fields.size(); ++i) {
    const ProfileField& f = profile.fields[i];
    nlohmann::ordered_json& value = out.fields[found].value;
    if (FromSpot(f, plan.spots[i], records, value) || FieldOf(f, records, value) >= 0) {
      out.fields[found++].field = &f;
    }
  }
  SizeTo(out.fields, found);
}

// The fields of `profile`, and where each sat when `plan` is given.
void ApplyFields(const Profile& profile, std::span<const DataRecord> records, ProfileReading& out,
                 ProfilePlan* plan) {
  out.profile = &profile;
  SizeTo(out.fields, profile.fields.size());
  if (plan != nullptr) plan->spots.clear();
  std::size_t found = 0;
  for (const ProfileField& f : profile.fields) {
    const int at = FieldOf(f, records, out.fields[found].value);
    if (at >= 0) out.fields[found++].field = &f;
    if (plan != nullptr) plan->spots.push_back(SpotOf(f, records, at));
  }
  SizeTo(out.fields, found);
}

bool PlanFits(const ProfilePlan& plan, const ProfileSet& set, const TelegramHeader& h,
              std::uint32_t layout, std::size_t records) {
  return layout != 0 && plan.layout == layout && plan.set == &set &&
         plan.generation == set.Generation() && plan.manufacturerCode == h.manufacturerCode &&
         plan.version == h.version && plan.medium == h.medium && plan.records == records;
}

}  // namespace

void ApplyProfile(const Profile& profile, const TelegramHeader& header,
                  std::span<const DataRecord> records, std::span<const std::uint8_t> makerBytes,
                  ProfileReading& out) {
  out.plan.layout = 0;  // a profile applied by hand: no plan for the next telegram
  ApplyFields(profile, records, out, nullptr);
  ApplyFlags(profile, header, records, makerBytes, nullptr, out);
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
                   ProfileReading& out, std::uint32_t layout) {
  ProfilePlan& plan = out.plan;
  if (PlanFits(plan, set, header, layout, records.size())) {
    if (plan.profile == nullptr) {
      NoProfile(out);
      return;
    }
    ApplyPlanned(plan, records, out);
    ApplyFlags(*plan.profile, header, records, makerBytes, &plan.statusMasks, out);
    return;
  }
  const Profile* p = set.Match(header, records);
  // A plan holds while the header decides the match; a profile that asks for records of some
  // quantity might match the next telegram and not this one, whatever its layout.
  const bool planned = layout != 0 && set.MatchedByHeader();
  plan.layout = 0;
  if (planned) {  // the spots keep their room from the meter's earlier telegrams
    plan.set = &set;
    plan.generation = set.Generation();
    plan.manufacturerCode = header.manufacturerCode;
    plan.version = header.version;
    plan.medium = header.medium;
    plan.layout = layout;
    plan.records = records.size();
    plan.profile = p;
  }
  if (p == nullptr) {
    NoProfile(out);
    return;
  }
  ApplyFields(*p, records, out, planned ? &plan : nullptr);
  ApplyFlags(*p, header, records, makerBytes, nullptr, out);
  if (planned) {
    plan.statusMasks.clear();
    for (const ProfileFlag& f : p->flags) {
      plan.statusMasks.push_back(f.from == FlagSource::kStatus ? f.mask : 0);
    }
  }
}

}  // namespace velmar::tools
