#include "platform/serial_settings.hpp"

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "velmar/error.hpp"

namespace velmar {
namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

int WholeNumber(const std::string& field, const std::string& text, const char* what) {
  char* end = nullptr;
  long v = std::strtol(field.c_str(), &end, 10);
  if (field.empty() || *end != '\0' || v <= 0 || v > 4'000'000) {
    throw PortError("serial settings \"" + text + "\": " + what + " \"" + field +
                    "\" is not valid");
  }
  return static_cast<int>(v);
}

}  // namespace

SerialSettings SerialSettings::Parse(const std::string& text) {
  std::vector<std::string> fields;
  std::stringstream in(text);
  for (std::string f; std::getline(in, f, ',');) fields.push_back(Trim(f));
  if (fields.size() != 4) {
    throw PortError("serial settings \"" + text +
                    "\" must be speed,parity,data bits,stop bits (for example 2400,e,8,1)");
  }
  SerialSettings s;
  s.speed = WholeNumber(fields[0], text, "speed");
  const std::string& p = fields[1];
  if (p.size() != 1 ||
      std::string("neoms").find(static_cast<char>(std::tolower(p[0]))) == std::string::npos) {
    throw PortError("serial settings \"" + text + "\": parity \"" + p +
                    "\" is not one of n, e, o, m, s");
  }
  s.parity = static_cast<char>(std::tolower(p[0]));
  s.dataBits = WholeNumber(fields[2], text, "data bits");
  if (s.dataBits < 5 || s.dataBits > 8) {
    throw PortError("serial settings \"" + text + "\": data bits must be 5 to 8");
  }
  s.stopBits = WholeNumber(fields[3], text, "stop bits");
  if (s.stopBits > 2) {
    throw PortError("serial settings \"" + text + "\": stop bits must be 1 or 2");
  }
  return s;
}

}  // namespace velmar
