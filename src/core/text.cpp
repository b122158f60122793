#include "core/text.hpp"

#include <cstdint>

namespace velmar {
namespace {

constexpr std::size_t kShownCharacters = 20;

// Control characters (a newline, an escape sequence) would break the one-line message or act
// on the terminal; they are shown as '?'.
// The length of the UTF-8 sequence at the start of `t` when it is a whole, shortest-form
// character that is neither a C0 or C1 control nor DEL; 0 otherwise.
std::size_t PrintableCharacter(std::string_view t) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  const std::size_t n = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || n > 4 || t.size() < n) return 0;
  std::uint32_t cp = lead & (0x7F >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  if (cp >= 0x80 && cp <= 0x9F) return 0;  // C1 controls
  return n;
}

}  // namespace

std::string_view Trim(std::string_view text, std::string_view chars) {
  const std::size_t first = text.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

std::string Shown(std::string_view text) {
  std::string shown;
  std::size_t chars = 0, at = 0;
  for (; at < text.size() && chars < kShownCharacters; ++chars) {
    const std::size_t n = PrintableCharacter(text.substr(at));
    shown += n == 0 ? std::string("?") : std::string(text.substr(at, n));
    at += n == 0 ? 1 : n;
  }
  return at >= text.size() ? shown : shown + "...";
}

std::string ShownName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t n = PrintableCharacter(name.substr(at));
    if (n == 0) {
      const auto b = static_cast<unsigned char>(name[at]);
      shown += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
      ++at;
    } else {
      shown += name.substr(at, n);
      at += n;
    }
  }
  return shown;
}

bool Printable(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = PrintableCharacter(text.substr(at));
    if (n == 0) return false;
    at += n;
  }
  return true;
}

}  // namespace velmar
