#include "codec/tariff_image.hpp"

#include <algorithm>

#include "codec/checksums.hpp"

namespace velmar {

std::array<std::uint8_t, kTableImageBytes> TariffImage(std::span<const std::uint8_t> table) {
  std::array<std::uint8_t, kTableImageBytes> image{};
  image.fill(0xFF);
  const std::size_t n = std::min(table.size(), kTableMaxBytes);
  std::copy_n(table.begin(), n, image.begin());
  if (n < kTableMaxBytes) image[n] = 0x00;
  const std::uint16_t crc = Crc16(image, static_cast<std::int16_t>(kTableMaxBytes), 0);
  image[kTableMaxBytes] = static_cast<std::uint8_t>(crc & 0xFF);
  image[kTableMaxBytes + 1] = static_cast<std::uint8_t>(crc >> 8);
  return image;
}

}  // namespace velmar
