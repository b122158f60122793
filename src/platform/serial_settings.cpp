#include "platform/serial_settings.hpp"

#include <cctype>
#include <charconv>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

[[noreturn]] void Refuse(std::string_view text, const std::string& why) {
  throw PortError("serial settings \"" + Shown(text) + "\": " + why);
}

int WholeNumber(std::string_view field, std::string_view text, const char* what) {
  int v = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
  if (field.empty() || ec != std::errc() || end != field.data() + field.size() || v <= 0 ||
      v > 4'000'000) {
    Refuse(text, std::string(what) + " \"" + Shown(field) + "\" is not valid");
  }
  return v;
}

std::vector<std::string_view> Fields(std::string_view text) {
  std::vector<std::string_view> fields;
  for (std::size_t at = 0;;) {
    const std::size_t comma = text.find(',', at);
    fields.push_back(Trim(text.substr(at, comma - at)));
    if (comma == std::string_view::npos) return fields;
    at = comma + 1;
  }
}

}  // namespace

SerialSettings SerialSettings::Parse(std::string_view text) {
  const std::vector<std::string_view> fields = Fields(text);
  if (fields.size() != 4) {
    Refuse(text, "must be speed,parity,data bits,stop bits (for example 2400,e,8,1)");
  }
  SerialSettings s;
  s.speed.bitsPerSecond = WholeNumber(fields[0], text, "speed");
  const std::string_view p = fields[1];
  const char letter = p.size() == 1 ? static_cast<char>(std::tolower(p[0])) : '?';
  if (std::string_view("neoms").find(letter) == std::string_view::npos) {
    Refuse(text, "parity \"" + Shown(p) + "\" is not one of n, e, o, m, s");
  }
  s.parity.letter = letter;
  s.dataBits.count = WholeNumber(fields[2], text, "data bits");
  if (s.dataBits.count < 5 || s.dataBits.count > 8) Refuse(text, "data bits must be 5 to 8");
  s.stopBits.count = WholeNumber(fields[3], text, "stop bits");
  if (s.stopBits.count > 2) Refuse(text, "stop bits must be 1 or 2");
  return s;
}

}  // namespace velmar
