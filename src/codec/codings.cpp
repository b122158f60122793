#include "codec/codings.hpp"

#include <bit>

namespace velmar {

std::array<char, 4> ManufacturerLetters(std::uint16_t code) {
  std::array<char, 4> letters{};
  if (code == 0) return letters;
  for (int i = 0, shift = 10; i < 3; ++i, shift -= 5) {
    letters[static_cast<std::size_t>(i)] = static_cast<char>(64 + ((code >> shift) & 0x1F));
  }
  return letters;
}

float SingleFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return 0.0f;
  const std::uint32_t bits =
      bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
  return std::bit_cast<float>(bits);
}

}  // namespace velmar
