#include "sim_config.hpp"

#include "velmar/hex.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

#include "input_checks.hpp"
#include "velmar/error.hpp"
#include "velmar/text.hpp"

namespace velmar::tools {

// Whole decimal number, or an ArgumentError naming what it was meant to be.
int NumberOf(const std::string& text, const std::string& what) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw ArgumentError(what + ": \"" + Shown(text) + "\" is not a whole number");
  }
  return value;
}

namespace {

int InRange(const std::string& text, const std::string& what, int low, int high) {
  const int value = NumberOf(text, what);
  if (value < low || value > high) {
    throw ArgumentError(what + ": " + std::to_string(value) + " is not " + std::to_string(low) +
                        "-" + std::to_string(high));
  }
  return value;
}

// The energy register goes out as a 4-byte integer of 10 Wh.
double EnergyOf(const std::string& text, const std::string& what) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !(value >= 0 && value <= 21474836.47)) {
    throw ArgumentError(what + ": \"" + Shown(text) +
                        "\" is not an energy from 0 to 21474836.47 kWh");
  }
  return value;
}

std::string LettersOf(const std::string& text, const std::string& what) {
  const bool ok = text.size() == 3 && std::all_of(text.begin(), text.end(),
                                                  [](char c) { return c >= 'A' && c <= 'Z'; });
  if (!ok) throw ArgumentError(what + ": \"" + Shown(text) + "\" is not three letters A-Z");
  return text;
}

std::string TextOf(const std::string& text, const std::string& what, std::size_t longest,
                   bool may_be_empty) {
  if ((text.empty() && !may_be_empty) || text.size() > longest) {
    throw ArgumentError(what + ": \"" + Shown(text) + "\" must be 1 to " + std::to_string(longest) +
                        " characters");
  }
  return text;
}

std::string ClockOf(const std::string& text, const std::string& what) {
  std::string why;
  if (!ParseMeterClockText(text, why)) {
    throw ArgumentError(what + ": " + why + "; give YYMMDDhhmmss, for example 261205143000");
  }
  return text;
}

// A telegram recorded from a meter: a long frame whose lengths agree (its check byte is made
// again when it is answered).
std::vector<std::uint8_t> RecordedTelegram(const std::string& text, const std::string& what) {
  const auto bytes = ParseHex(text);
  if (!bytes || bytes->size() < 9 || (*bytes)[0] != 0x68 || (*bytes)[3] != 0x68 ||
      (*bytes)[1] != (*bytes)[2] || (*bytes)[1] + 6u != bytes->size() || bytes->back() != 0x16) {
    throw ArgumentError(what + ": not a long frame in hex (68 L L 68 C A CI ... CS 16, L the " +
                        "bytes from C to before CS)");
  }
  return *bytes;
}

// A config file of "key = value" lines sets the meter's values. Every value is checked as it is
// read, with the file and line in the message, so a bad file never starts a meter.
constexpr std::uintmax_t kMaxConfigBytes = 64 * 1024;

}  // namespace

void LoadMeterConfig(const std::string& path, sim::MeterConfig& c) {
  if (const std::string why = CheckRegularFile(path); !why.empty()) {
    throw Error("simulator config " + why);
  }
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) throw Error("cannot read simulator config " + path + ": " + ec.message());
  if (size > kMaxConfigBytes) {
    throw Error("simulator config " + path +
                " is larger than 64 KiB; it holds a few key = value lines");
  }
  std::ifstream in(path);
  if (!in) throw Error("cannot read simulator config " + path);
  ParseMeterConfig(in, path, c);
}

void ParseMeterConfig(std::istream& in, const std::string& path, sim::MeterConfig& c) {
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    const std::string trimmed(Trim(line));
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const std::string at = path + ":" + std::to_string(line_no);
    const auto eq = trimmed.find('=');
    if (eq == std::string::npos) throw ArgumentError(at + ": no '=' (lines are key = value)");
    const std::string key(Trim(trimmed.substr(0, eq))), value(Trim(trimmed.substr(eq + 1)));
    const std::string where = at + ": " + key;
    if (key == "id") {
      c.identNumber = InRange(value, where, 0, 99999999);
    } else if (key == "address") {
      c.primaryAddress = static_cast<std::uint8_t>(InRange(value, where, 0, 250));
    } else if (key == "manufacturer") {
      c.manufacturer = LettersOf(value, where);
    } else if (key == "password") {
      c.password = TextOf(value, where, 8, false);
    } else if (key == "energy") {
      c.energyTotalKwh = EnergyOf(value, where);
    } else if (key == "datetime") {
      c.dateTime = ClockOf(value, where);
    } else if (key == "status") {
      c.status = static_cast<std::uint8_t>(InRange(value, where, 0, 255));
    } else if (key == "firmware") {
      c.firmware = TextOf(value, where, 10, true);
    } else if (key == "delay") {
      c.responseDelayMs = InRange(value, where, 0, 60000);
    } else if (key == "telegram") {
      c.recordedTelegram = RecordedTelegram(value, where);
    } else {
      throw ArgumentError(at + ": unknown key \"" + Shown(key) +
                          "\"; the keys are id, address, manufacturer, password, energy, "
                          "datetime, status, firmware, delay, telegram");
    }
  }
}
namespace {

const std::map<std::string, sim::FaultKind> kFaults = {
    {"none", sim::FaultKind::kNone},
    {"silence", sim::FaultKind::kSilence},
    {"delay", sim::FaultKind::kDelay},
    {"trickle", sim::FaultKind::kTrickle},
    {"checksum", sim::FaultKind::kBadChecksum},
    {"start", sim::FaultKind::kBadStart},
    {"stop", sim::FaultKind::kBadStop},
    {"control", sim::FaultKind::kBadControl},
    {"ci", sim::FaultKind::kBadCi},
    {"length", sim::FaultKind::kLongLength},
    {"block-type", sim::FaultKind::kBadBlockType},
    {"nack", sim::FaultKind::kNack},
    {"garbage", sim::FaultKind::kGarbage},
    {"extra", sim::FaultKind::kExtraBytes},
    {"confirm-status", sim::FaultKind::kConfirmStatus}};

}  // namespace

sim::Fault ParseFault(const std::string& text) {
  const auto colon = text.find(':');
  const std::string name = text.substr(0, colon);
  auto it = kFaults.find(name);
  if (it == kFaults.end()) throw ArgumentError("unknown fault \"" + Shown(name) + "\"");
  sim::Fault f{it->second, 0};
  if (colon != std::string::npos) f.value = NumberOf(text.substr(colon + 1), "fault " + name);
  if (f.value < 0 || f.value > 60000) {
    throw ArgumentError("fault " + name + ": " + std::to_string(f.value) + " is not 0 to 60000");
  }
  return f;
}

}  // namespace velmar::tools
