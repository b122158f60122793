// Record values from their data bytes (EN 13757-3 codings): signed binary integers of 1 to 8
// bytes, BCD of 2 to 12 digits, 32-bit reals and variable-length text, built up one byte at a
// time in the meter data store.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace velmar {

struct OrvMeterData;

// Takes the data byte at `fieldPos` of the record being walked in `d`.
void ConvertValueByte(OrvMeterData& d, std::uint8_t b);
// Several data bytes of a fixed-length field in a row, advancing `fieldPos` past each.
void ConvertValueBytes(OrvMeterData& d, std::span<const std::uint8_t> bytes);
// Two-digit decimal value of a text of one or two digits; a non-digit counts as -1.
std::int32_t DecimalPairToNumber(std::string_view text);
// Value of one or two hexadecimal digits; throws OverflowError when the result is negative.
std::uint8_t HexPairToByte(std::string_view text);
// BCD byte as two decimal digits; a nibble above 9 counts as -1 (no sign nibble support).
int BcdPair(std::uint8_t b);

}  // namespace velmar
