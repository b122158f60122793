// Codings of EN 13757-3 that both record walkers read (the control's, and the standard one any
// maker's meter goes through), kept once.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velmar {

// The three letters of a manufacturer code (five bits each, 'A' = 1: 0x3E56 is "ORV"), NUL
// ended; all NUL for code 0. The top bit, which no letter uses, is ignored. Constant time.
std::array<char, 4> ManufacturerLetters(std::uint16_t code);

// IEEE 754 single precision (data field coding 5) from four bytes, least significant first;
// 0 when fewer than four are given. Constant time.
float SingleFromBytes(std::span<const std::uint8_t> bytes);

}  // namespace velmar
