#include "decode/header_text.hpp"

#include "codec/codings.hpp"
#include "codec/messages.hpp"

namespace velmar {

std::string ManufacturerText(std::int16_t code) {
  if (code <= 0) return {};
  return ManufacturerLetters(static_cast<std::uint16_t>(code)).data();
}

std::string StatusBitsText(std::uint8_t status) {
  std::string text;
  for (int bit = 7; bit >= 0; --bit) {
    if (status & (1 << bit)) {
      text += text::kStatusBits[7 - bit];
      text += "\r\n";
    }
  }
  return text;
}

}  // namespace velmar
