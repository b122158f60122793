// Texts of the fixed data header that the control and any host show alike.
#pragma once

#include <cstdint>
#include <string>

namespace velmar {

// Three letters of five bits each, as EN 13757-3 packs the manufacturer (0x3E56 is "ORV"); ""
// for a code of 0 or below (the control keeps the code signed, so a top bit reads as negative).
std::string ManufacturerLetters(std::int16_t code);

// The status byte's set bits as their texts, most significant first, each ended by CR LF.
std::string StatusBitsText(std::uint8_t status);

}  // namespace velmar
