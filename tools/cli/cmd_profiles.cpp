// velmar profiles list | show NAME | check FILE [HEX ...]: the meter profiles in use, one of
// them in full, and a profile a user wrote, checked line by line and tried on telegrams.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "commands.hpp"
#include "input_checks.hpp"
#include "keys_file.hpp"
#include "profiles.hpp"
#include "toml_reader.hpp"
#include "velmar/error.hpp"
#include "velmar/hex.hpp"
#include "velmar/records.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {
namespace {

// "0x13,0x15,0x1E-0x27": a run of consecutive numbers (a maker's generations) as its ends.
std::string Numbers(const std::vector<int>& list) {
  if (list.empty()) return "any";
  std::string text;
  for (std::size_t i = 0; i < list.size();) {
    std::size_t end = i;
    while (end + 1 < list.size() && list[end + 1] == list[end] + 1) ++end;
    char buf[16];
    if (end >= i + 2) {
      std::snprintf(buf, sizeof buf, "0x%02X-0x%02X", list[i], list[end]);
    } else {
      std::snprintf(buf, sizeof buf, "0x%02X", list[i]);
      end = i;
    }
    text += (text.empty() ? "" : ",") + std::string(buf);
    i = end + 1;
  }
  return text;
}

std::string FromText(const ProfileFlag& f) {
  char buf[64];
  switch (f.from) {
    case FlagSource::kStatus:
      std::snprintf(buf, sizeof buf, "status & 0x%02X", f.mask);
      break;
    case FlagSource::kMaker:
      std::snprintf(buf, sizeof buf, "maker byte %d & 0x%02X", f.byte, f.mask);
      break;
    case FlagSource::kRecord:
      if (f.vife >= 0) {
        std::snprintf(buf, sizeof buf, "record %02X %02X byte %d & 0x%02X", f.vif, f.vife, f.byte,
                      f.mask);
      } else {
        std::snprintf(buf, sizeof buf, "record %02X byte %d & 0x%02X", f.vif, f.byte, f.mask);
      }
      break;
  }
  return buf;
}

void PrintLoadErrors(const ProfileSet& set) {
  for (const std::string& e : set.Errors()) std::cerr << "Error: " << e << " (left out)\n";
}

int List(const ProfileSet& set) {
  std::printf("%-28s %-4s %-15s %-15s %s\n", "name", "make", "versions", "media", "title");
  for (const Profile& p : set.All()) {
    std::printf("%-28s %-4s %-15s %-15s %s\n", p.name.c_str(), p.match.manufacturer.c_str(),
                Numbers(p.match.versions).c_str(), Numbers(p.match.media).c_str(), p.title.c_str());
  }
  PrintLoadErrors(set);
  return set.Errors().empty() ? kExitOk : kExitError;
}

void PrintProfile(const Profile& p) {
  std::printf("%s: %s\nfrom     %s\nsource   %s\nmatches  %s, versions %s, media %s",
              p.name.c_str(), p.title.c_str(), p.file.c_str(), p.source.c_str(),
              p.match.manufacturer.c_str(), Numbers(p.match.versions).c_str(),
              Numbers(p.match.media).c_str());
  for (const std::string& q : p.match.holding) std::printf(", holding %s", q.c_str());
  std::printf("\n\n%-28s %-22s %7s %6s %7s %s\n", "field", "quantity", "storage", "tariff",
              "subunit", "function");
  for (const ProfileField& f : p.fields) {
    std::printf("%-28s %-22s %7llu %6u %7u %s  (%s)\n", f.name.c_str(), f.quantity.c_str(),
                static_cast<unsigned long long>(f.storage), f.tariff, f.subunit,
                std::string(FunctionName(f.function)).c_str(), f.label.c_str());
  }
  std::printf("\n%-28s %-29s %s\n", "flag", "from", "meaning");
  for (const ProfileFlag& f : p.flags) {
    std::printf("%-28s %-29s %s%s [%s]\n", f.name.c_str(), FromText(f).c_str(), f.meaning.c_str(),
                f.alarm ? "" : " (a state, not an alarm)", f.source.c_str());
  }
}

int Show(const ProfileSet& set, const std::string& name) {
  const Profile* p = set.Find(name);
  if (p == nullptr) {
    std::cerr << "Error: no profile named \"" << Shown(name)
              << "\"; velmar profiles list shows those there are\n";
    return kExitUsage;
  }
  PrintProfile(*p);
  return kExitOk;
}

// What `p` makes of one telegram, and whether another profile in use takes the meter instead.
// How the telegrams given to check are read.
struct TryOptions {
  bool wireless = false;
  FrameCrcs crcs = FrameCrcs::kPresent;
  const MeterKey* key = nullptr;
};

int Try(const Profile& p, const ProfileSet& others, const std::string& hex, const TryOptions& how) {
  const auto bytes = ParseHex(hex);
  if (!bytes) {
    std::cerr << "Error: \"" << Shown(hex) << "\" is not hexadecimal: give the telegram as hex\n";
    return kExitUsage;
  }
  WirelessDecoder decoder;
  WirelessTelegram t;
  DecodedTelegram wired;
  const DecodedTelegram* d = &wired;
  if (how.wireless) {
    decoder.Decode(*bytes, t, how.key, how.crcs);
    if (!t.error.empty()) std::printf("telegram: %s\n", t.error.c_str());
    d = &t.decoded;
  } else if (DecodeTelegram(*bytes, wired) != 0) {
    std::printf("telegram: not a checked RSP_UD (result %d)\n", wired.result);
    return kExitError;
  }
  const TelegramHeader& h = d->header;
  std::printf("telegram: %s version 0x%02X medium 0x%02X (%s), %zu records\n",
              h.manufacturer.data(), h.version, h.medium, std::string(h.mediumName).c_str(),
              d->records.size());
  if (!Matches(p, h, d->records)) {
    std::printf("profile %s does not match this telegram\n", p.name.c_str());
    return kExitError;
  }
  for (const Profile& other : others.All()) {
    if (other.name == p.name) {
      std::printf("(it replaces the profile of its name in %s)\n", other.file.c_str());
    } else if (Matches(other, h, d->records)) {
      const bool wins = other.match.Specificity() > p.match.Specificity();
      std::printf("profile %s (%s) matches this meter too, %s\n", other.name.c_str(),
                  other.file.c_str(),
                  wins ? ("more specifically: it wins over " + p.name).c_str()
                       : "less or as specifically: this profile wins");
    }
  }
  const ProfileReading r = ApplyProfile(p, h, d->records, d->manufacturerData);
  for (const ProfileField& f : p.fields) {
    const auto it = std::find_if(r.fields.begin(), r.fields.end(),
                                 [&](const FieldValue& v) { return v.field == &f; });
    std::printf("  %-28s %s\n", f.name.c_str(),
                it == r.fields.end() ? "(not in this telegram)" : it->value.dump().c_str());
  }
  for (const ProfileFlag& f : p.flags) {
    const auto it = std::find_if(r.flags.begin(), r.flags.end(),
                                 [&](const FlagValue& v) { return v.flag == &f; });
    std::printf("  %-28s %s\n", f.name.c_str(),
                it == r.flags.end() ? "(absent: its byte is not in this telegram)"
                : it->set           ? "set"
                                    : "clear");
  }
  return kExitOk;
}

int Check(const std::string& file, const std::vector<std::string>& telegrams,
          const TryOptions& how) {
  Profile p;
  try {
    p = ParseProfile(ReadConfigFile(file), file);
  } catch (const Error& e) {
    std::cerr << "Error: " << e.what() << '\n';
    return kExitUsage;
  }
  std::printf("%s: profile %s reads (%zu fields, %zu flags)\n", file.c_str(), p.name.c_str(),
              p.fields.size(), p.flags.size());
  const ProfileSet in_use = ProfileSet::Load(ProfileFolders());
  int status = kExitOk;
  for (const std::string& hex : telegrams) {
    const int one = Try(p, in_use, hex, how);
    if (one != kExitOk) status = one;
  }
  return status;
}

}  // namespace

Runner AddProfiles(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "profiles",
      "Meter profiles: the names of a meter family's values and the meaning of its flag bits, "
      "one TOML file each, from the package, /etc/velmar/profiles and "
      "$XDG_CONFIG_HOME/velmar/profiles (a later folder's profile of the same name wins)");
  cmd->require_subcommand(1);
  auto* list = cmd->add_subcommand("list", "List the profiles in use and any that do not read");
  auto* show = cmd->add_subcommand("show", "Show one profile: its match, fields and flags");
  auto name = std::make_shared<std::string>();
  show->add_option("NAME", *name, "The profile's name, as velmar profiles list gives it")
      ->required();
  auto* check = cmd->add_subcommand(
      "check",
      "Check a profile file (each fault named with its file and line), then try it on "
      "telegrams given as hex: which profile takes the meter, the fields and the flags");
  auto file = std::make_shared<std::string>();
  auto hex = std::make_shared<std::vector<std::string>>();
  auto wireless = std::make_shared<bool>(false);
  check->add_option("FILE", *file, "The profile to check")->required();
  check->add_option("HEX", *hex, "Telegrams to try it on (RSP_UD, or with --wireless from L)");
  check->add_flag("--wireless", *wireless,
                  "The telegrams are wireless M-Bus frames (from the L field), with their block "
                  "CRCs unless --no-crc");
  auto no_crc = std::make_shared<bool>(false);
  check->add_flag("--no-crc", *no_crc, "The wireless telegrams come without their block CRCs")
      ->needs("--wireless");
  auto key_text = std::make_shared<std::string>();
  check
      ->add_option("--key", *key_text,
                   "The meter's AES-128 key, 32 hex digits, for enciphered wireless telegrams")
      ->needs("--wireless")
      ->check([](const std::string& text) -> std::string {
        return ParseMeterKey(text) ? std::string() : "give the meter's AES key as 32 hex digits";
      });
  cmd->footer(
      "Exit status: 0 done; 1 a profile in use does not read (list), or the profile does not\n"
      "match a telegram given; 2 usage error, no such profile, or the file does not read.");
  return [cmd, list, show, check, name, file, hex, wireless, no_crc, key_text]() -> int {
    if (!cmd->parsed()) return -1;
    if (check->parsed()) {
      TryOptions how;
      how.wireless = *wireless;
      how.crcs = *no_crc ? FrameCrcs::kRemoved : FrameCrcs::kPresent;
      MeterKey key{};
      if (!key_text->empty()) {
        key = *ParseMeterKey(*key_text);
        how.key = &key;
      }
      return Check(*file, *hex, how);
    }
    const ProfileSet set = ProfileSet::Load(ProfileFolders());
    if (list->parsed()) return List(set);
    if (show->parsed()) return Show(set, *name);
    return kExitUsage;
  };
}

}  // namespace velmar::tools
