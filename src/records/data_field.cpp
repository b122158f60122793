#include "records/data_field.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace velmar::records {
namespace {

// Two-digit years: 81-99 are 1981-1999, 00-80 are 2000-2080.
int FullYear(int two_digits) {
  return two_digits > 80 ? 1900 + two_digits : 2000 + two_digits;
}

// Day, month and year of types F, G and I share one layout in two bytes; the seven year bits
// can say more than 99, which meters send (127, all bits set) for a date not set: the year is
// then -1, never a year of the next century.
void PutDate(DateTimeValue& d, std::uint8_t day_byte, std::uint8_t month_byte) {
  d.day = day_byte & 0x1F;
  d.month = month_byte & 0x0F;
  const int year = ((day_byte & 0xE0) >> 5) | ((month_byte & 0xF0) >> 1);
  d.year = year > 99 ? -1 : FullYear(year);
  if (d.month < 1 || d.month > 12 || d.day < 1 || year > 99) d.invalid = true;
}

}  // namespace

std::uint64_t UnsignedInteger(std::span<const std::uint8_t> bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) v = (v << 8) | bytes[i];
  return v;
}

std::int64_t SignedInteger(std::span<const std::uint8_t> bytes) {
  const std::uint64_t raw = UnsignedInteger(bytes);
  const unsigned bits = 8 * static_cast<unsigned>(bytes.size());
  if (bits == 0 || bits >= 64) return static_cast<std::int64_t>(raw);
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  return static_cast<std::int64_t>((raw ^ sign) - sign);
}

// Each byte's two digits as a number, or -1 when a nibble is not a digit: one lookup a byte
// instead of two nibble tests.
constexpr std::array<std::int8_t, 256> kBcdPair = [] {
  std::array<std::int8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    t[static_cast<std::size_t>(b)] =
        static_cast<std::int8_t>((b >> 4) > 9 || (b & 0x0F) > 9 ? -1 : (b >> 4) * 10 + (b & 0x0F));
  }
  return t;
}();

void PutIdent(std::span<const std::uint8_t> bytes, TelegramHeader& h) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  bool bcd = true;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t b = bytes[3 - i];
    h.ident[2 * i] = kDigits[b >> 4];
    h.ident[2 * i + 1] = kDigits[b & 0x0F];
    bcd = bcd && kBcdPair[b] >= 0;
  }
  h.ident[8] = '\0';
  h.identNumber = bcd ? static_cast<std::uint32_t>(*Bcd(bytes.first(4))) : 0;
}

std::optional<std::int64_t> Bcd(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  if (bytes.size() > 9) return std::nullopt;  // 18 digits is what a 64-bit integer holds
  std::size_t top = bytes.size() - 1;
  // A top nibble of 0xF is a minus sign before the remaining digit.
  const bool negative = (bytes[top] >> 4) == 0xF;
  std::int64_t v = 0;
  if (negative) {
    const int low = bytes[top] & 0x0F;
    if (low > 9) return std::nullopt;
    v = low;
  } else {
    const int pair = kBcdPair[bytes[top]];
    if (pair < 0) return std::nullopt;
    v = pair;
  }
  while (top-- > 0) {
    const int pair = kBcdPair[bytes[top]];
    if (pair < 0) return std::nullopt;
    v = v * 100 + pair;
  }
  return negative ? -v : v;
}

DateTimeValue DateG(std::span<const std::uint8_t> b) {
  DateTimeValue d;
  PutDate(d, b[0], b[1]);
  return d;
}

DateTimeValue DateTimeF(std::span<const std::uint8_t> b) {
  DateTimeValue d;
  d.minute = b[0] & 0x3F;
  d.invalid = (b[0] & 0x80) != 0;
  d.hour = b[1] & 0x1F;
  d.summerTime = (b[1] & 0x80) != 0;
  PutDate(d, b[2], b[3]);
  if (d.minute > 59 || d.hour > 23) d.invalid = true;
  return d;
}

DateTimeValue DateTimeI(std::span<const std::uint8_t> b) {
  DateTimeValue d;
  d.second = b[0] & 0x3F;
  d.minute = b[1] & 0x3F;
  d.invalid = (b[1] & 0x80) != 0;
  d.hour = b[2] & 0x1F;
  d.summerTime = (b[2] & 0x80) != 0;
  PutDate(d, b[3], b[4]);
  if (d.second > 59 || d.minute > 59 || d.hour > 23) d.invalid = true;
  return d;
}

DateTimeValue TimeJ(std::span<const std::uint8_t> b) {
  DateTimeValue d;
  d.second = b[0] & 0x3F;
  d.minute = b[1] & 0x3F;
  d.hour = b[2] & 0x1F;
  if (d.second > 59 || d.minute > 59 || d.hour > 23) d.invalid = true;
  return d;
}

std::optional<DateTimeValue> DateTimeBcd(std::span<const std::uint8_t> b) {
  const auto digits = Bcd(b);
  if (!digits || *digits < 0) return std::nullopt;
  std::int64_t v = *digits;
  DateTimeValue d;
  d.second = static_cast<int>(v % 100);
  d.minute = static_cast<int>(v / 100 % 100);
  d.hour = static_cast<int>(v / 10000 % 100);
  d.day = static_cast<int>(v / 1000000 % 100);
  d.month = static_cast<int>(v / 100000000 % 100);
  d.year = FullYear(static_cast<int>(v / 10000000000 % 100));
  d.invalid = d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31 || d.hour > 23 ||
              d.minute > 59 || d.second > 59;
  return d;
}

}  // namespace velmar::records
