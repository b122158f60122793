#include "decode/header_text.hpp"

#include "codec/messages.hpp"

namespace velmar {

std::string ManufacturerLetters(std::int16_t code) {
  if (code <= 0) return {};
  std::string letters;
  for (int shift : {10, 5, 0}) letters += static_cast<char>(64 + ((code >> shift) & 0x1F));
  return letters;
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
