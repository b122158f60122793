// The tariff table as the meter stores it: a 304-byte image of the table (at most 302 bytes), a
// 0x00 after a shorter table, 0xFF up to byte 301, and the CRC-16 of bytes 0 to 301 in bytes 302
// (low) and 303 (high). The image travels in two blocks: bytes 0 to 196, then 197 to 303.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar {

constexpr std::size_t kTableMaxBytes = 302;
constexpr std::size_t kTableImageBytes = 304;
constexpr std::size_t kFirstBlockBytes = 197;
constexpr std::size_t kNextBlockBytes = 196;

// The image of `table` (its first kTableMaxBytes bytes at most).
std::array<std::uint8_t, kTableImageBytes> TariffImage(std::span<const std::uint8_t> table);

}  // namespace velmar
