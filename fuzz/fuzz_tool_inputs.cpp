// libFuzzer target over what the velmar tool takes from a person: option values (addresses,
// speeds, passwords, clock texts), the simulator's configuration file and the lines of
// `velmar decode`, and the collector's TOML configuration and keys file. Whatever the text, a check
// answers "" or one short line, a configuration is taken or refused with ArgumentError, and a
// decoded telegram prints as valid JSON.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>

#include "codec/hex.hpp"
#include "decode_json.hpp"
#include "input_checks.hpp"
#include "keys_file.hpp"
#include "poll_config.hpp"
#include "sim_config.hpp"
#include "velmar/error.hpp"

namespace {

using namespace velmar::tools;

// A message is one line that never echoes a long value whole.
void RequireShortLine(const std::string& message) {
  if (message.size() > 300 || message.find('\n') != std::string::npos) __builtin_trap();
}

void CheckOptionValue(const std::string& text) {
  RequireShortLine(CheckAddress(text));
  RequireShortLine(CheckSpeed(text));
  RequireShortLine(CheckPassword(text));
  const std::string clock = CheckSetTimeText(text);
  RequireShortLine(clock);
  std::string why;
  // set-time accepts exactly what parses as a real clock (or "now").
  if (clock.empty() != (text == "now" || ParseSetTimeText(text, why).has_value())) __builtin_trap();
  ParseMeterClockText(text, why);
  // Every word of a shortened message is at most 40 characters, or 20 and "...".
  const std::string shortened = ShortenLongWords(text);
  // Counted in characters: a word of UTF-8 text may be longer in bytes.
  std::size_t word = 0;
  for (char c : shortened) {
    if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;
    word = (c == ' ' || c == '\n' || c == '\t') ? 0 : word + 1;
    if (word > 40) __builtin_trap();
  }
  // What is echoed is clean text.
  for (std::size_t at = 0, end; at <= shortened.size(); at = end + 1) {
    end = std::min(shortened.find_first_of(" \n\t", at), shortened.size());
    if (!Printable(shortened.substr(at, end - at)) && end - at > 0) __builtin_trap();
  }
}

void CheckConfig(const std::string& text) {
  std::istringstream in(text);
  velmar::sim::MeterConfig config;
  try {
    ParseMeterConfig(in, "fuzz.conf", config);
  } catch (const velmar::ArgumentError& e) {
    RequireShortLine(e.what());
    return;
  }
  // A taken configuration builds a telegram that fits one long frame.
  velmar::sim::SimMeter meter(config);
  if (meter.DataTelegram().size() > 261) __builtin_trap();
}

void CheckPollConfig(const std::string& text) {
  PollConfig config;
  try {
    config = ParsePollConfig(text, "poll.toml");
  } catch (const velmar::ArgumentError& e) {
    RequireShortLine(e.what());
    return;
  }
  // A taken configuration names at least one meter on every bus, each at an address the read
  // takes.
  if (config.buses.empty()) __builtin_trap();
  for (const BusEntry& bus : config.buses) {
    if (bus.meters.empty()) __builtin_trap();
    for (const MeterEntry& m : bus.meters) {
      if (!CheckReadAddress(m.address).empty() || m.name.empty()) __builtin_trap();
    }
  }
}

// The keys file is TOML a person writes too: taken whole or refused in one line.
void CheckKeysFile(const std::string& text) {
  try {
    ParseKeysFile(text, "keys.toml");
  } catch (const velmar::ArgumentError& e) {
    RequireShortLine(e.what());
  }
}

void CheckDecodeLine(const std::string& text) {
  const auto bytes = velmar::ParseHex(text);
  if (!bytes) return;
  const std::string line = ToJsonLine(DecodeReply(*bytes, 0));
  if (!nlohmann::json::accept(line)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const int kind = data.ConsumeIntegralInRange<int>(0, 3);
  const std::string text = data.ConsumeRemainingBytesAsString();
  switch (kind) {
    case 0:
      CheckOptionValue(text);
      break;
    case 1:
      CheckConfig(text);
      break;
    case 3:
      CheckPollConfig(text);
      CheckKeysFile(text);
      break;
    default:
      CheckDecodeLine(text);
      break;
  }
  return 0;
}
