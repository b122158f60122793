#include "codec/checksums.hpp"

#include <algorithm>

namespace velmar {

std::uint8_t ByteSum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum & 0xFF);
}

std::uint16_t Crc16(std::span<const std::uint8_t> data, std::int16_t count, std::int32_t start) {
  std::uint32_t c = static_cast<std::uint32_t>(start);
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::int16_t>(count, 0)),
                                       data.size());
  for (std::size_t i = 0; i < n; ++i) {
    c ^= static_cast<std::uint32_t>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x8000) ? ((c & 0x7FFF) << 1) ^ 0x1021 : (c & 0x7FFF) << 1;
    }
  }
  return static_cast<std::uint16_t>(~c & 0xFFFF);
}

}  // namespace velmar
