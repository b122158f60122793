// Texts of the fixed data header that the control and any host show alike.
#pragma once

#include <cstdint>
#include <string>

namespace velmar {

// The manufacturer's letters as the control shows them: "" for a code of 0 or below (the
// control keeps the code signed, so a top bit reads as negative).
std::string ManufacturerText(std::int16_t code);

// The status byte's set bits as their texts, most significant first, each ended by CR LF.
std::string StatusBitsText(std::uint8_t status);

}  // namespace velmar
