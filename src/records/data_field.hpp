// The data field codings of EN 13757-3 read from a record's bytes, least significant byte
// first: binary integers of 1 to 8 bytes, BCD of 2 to 12 digits with a sign nibble, 32-bit
// reals, and the date and time types F, G, I and J.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "velmar/records.hpp"

namespace velmar::records {

// Bytes of the data field a coding (the DIF's low nibble) announces; 0 for none or variable.
inline std::size_t FieldLength(std::uint8_t coding) {
  constexpr std::uint8_t kLength[16] = {0, 1, 2, 3, 4, 4, 6, 8, 0, 1, 2, 3, 4, 0, 6, 0};
  return kLength[coding & 0x0F];
}

// Two's complement of the bytes' width (1 to 8 bytes).
std::int64_t SignedInteger(std::span<const std::uint8_t> bytes);
// The bytes as unsigned binary (up to 8 bytes).
std::uint64_t UnsignedInteger(std::span<const std::uint8_t> bytes);
// BCD, lowest digit pair first; a top nibble of 0xF makes the number negative. Nullopt when a
// nibble is not a digit or there are more than 18 digits.
std::optional<std::int64_t> Bcd(std::span<const std::uint8_t> bytes);

// The identification number of a header (four bytes, least significant first): its digits as
// text, a nibble over 9 kept as its hex digit, and its value when every digit is BCD (else 0).
void PutIdent(std::span<const std::uint8_t> bytes, TelegramHeader& h);

// Time points: type G (2 bytes, a date), F (4 bytes, date and time to the minute), I (6
// bytes, to the second), J (3 bytes, a time of day).
DateTimeValue DateG(std::span<const std::uint8_t> b);
DateTimeValue DateTimeF(std::span<const std::uint8_t> b);
DateTimeValue DateTimeI(std::span<const std::uint8_t> b);
DateTimeValue TimeJ(std::span<const std::uint8_t> b);
// Twelve BCD digits YYMMDDhhmmss (the form this maker's electricity meters send).
std::optional<DateTimeValue> DateTimeBcd(std::span<const std::uint8_t> b);

}  // namespace velmar::records
