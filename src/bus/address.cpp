#include <algorithm>
#include <charconv>

#include "velmar/bus.hpp"

namespace velmar {
namespace {

bool AllDigits(std::string_view t) {
  return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return false;
}

// The primary addresses a master may name: 0-250 meters, 253 the selected meter, 254 the one
// meter of a point-to-point line, 255 broadcast. 251 and 252 are reserved by the standard.
bool UsablePrimary(unsigned a) {
  return a <= 250 || (a >= 253 && a <= 255);
}

}  // namespace

Address Address::Primary(std::uint8_t address) {
  Address a;
  a.primary = address;
  return a;
}

Address Address::Ident(std::uint32_t identNumber) {
  Address a;
  a.secondary = true;
  a.primary = 253;
  a.identNumber = identNumber;
  return a;
}

std::optional<Address> Address::Parse(std::string_view text, std::string* why) {
  constexpr const char* kAccepted =
      "use 0-250, 253, 254 or 255 for a primary address, or 8 digits for an identification "
      "number (00000042)";
  if (!AllDigits(text) || (text.size() > 3 && text.size() != 8)) {
    Refuse(why, kAccepted);
    return std::nullopt;
  }
  unsigned value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.size() == 8) return Ident(value);
  if (!UsablePrimary(value)) {
    Refuse(why, std::string("out of range: ") + kAccepted);
    return std::nullopt;
  }
  return Primary(static_cast<std::uint8_t>(value));
}

std::string IdentNumberText(std::uint32_t identNumber) {
  std::string digits = std::to_string(identNumber);
  return std::string(8 - std::min<std::size_t>(8, digits.size()), '0') + digits;
}

std::string Address::Text() const {
  return secondary ? IdentNumberText(identNumber) : std::to_string(primary);
}

}  // namespace velmar
