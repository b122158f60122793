// The answers of the link layer: the single-character acknowledge a meter sends to SND_NKE and
// SND_UD, and the text of each link error code.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "velmar/results.hpp"

namespace velmar {

// LinkResult::kOk when one of the first `count` bytes (at most 9) is an acknowledge character
// (0xE5, or 0xF9 that some meters send), LinkResult::kStructureError otherwise.
std::int16_t CheckAck(std::span<const std::uint8_t> reply, std::int16_t count);

// MbusErrorText, the text of each link error code, is declared in velmar/results.hpp.

}  // namespace velmar
