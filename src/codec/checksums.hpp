// The two checks the meter and the master compute over bytes: the arithmetic sum of an M-Bus
// frame and the CRC-16 that closes the tariff table image.
#pragma once

#include <cstdint>
#include <span>

namespace velmar {

// Sum of the bytes modulo 256: the check byte of a short or long frame, over C, A, CI and data.
std::uint8_t ByteSum(std::span<const std::uint8_t> bytes);

// CRC-16 with polynomial 0x1021, no reflection, final inversion, over the first `count` bytes
// (at most all of them), starting from `start`. "123456789" from 0 gives 0xCE3C.
std::uint16_t Crc16(std::span<const std::uint8_t> data, std::int16_t count, std::int32_t start);

}  // namespace velmar
