#include "decode/value_conversion.hpp"

#include <array>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

#include "codec/codings.hpp"
#include "codec/messages.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

int DigitValue(std::string_view digits, std::string_view c) {
  if (c.empty()) return 0;
  char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c[0])));
  std::size_t pos = digits.find(upper);
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

int PairValue(std::string_view text, std::string_view digits, int base) {
  std::string_view first = text.size() < 2 ? std::string_view("0") : text.substr(0, 1);
  std::string_view last = text.empty() ? std::string_view() : text.substr(text.size() - 1);
  return base * DigitValue(digits, first) + DigitValue(digits, last);
}

int Nibble(int n) {
  return n <= 9 ? n : -1;
}

// Byte weights 256^n and BCD pair weights 100^n, looked up per data byte: a call into the maths
// library per byte was most of the cost of decoding a telegram. Positions past the tables only
// occur in malformed records and take the slow path.
constexpr std::array<double, 8> kByteWeight = {
    1.0,          256.0,           65536.0,           16777216.0,
    4294967296.0, 1099511627776.0, 281474976710656.0, 72057594037927936.0};
constexpr std::array<double, 8> kPairWeight = {1e0, 1e2, 1e4, 1e6, 1e8, 1e10, 1e12, 1e14};

double ByteWeight(int position) {
  return position >= 0 && position < 8 ? kByteWeight[static_cast<std::size_t>(position)]
                                       : std::ldexp(1.0, 8 * position);
}

double PairWeight(int position) {
  return position >= 0 && position < 8 ? kPairWeight[static_cast<std::size_t>(position)]
                                       : std::pow(100.0, position);
}

// Kept out of line: building the notice text is rare and would keep the byte step from being
// inlined into the field loop.
[[gnu::noinline, gnu::cold]] void ShowOverflowNotice(const OrvMeterData& d) {
  ShowNotice(d, std::string(text::kIntegerOverflow));
}

void ConvertInteger(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos > 3) [[unlikely]]
    ShowOverflowNotice(d);
  d.recordValue += b * ByteWeight(d.fieldPos);
  if (d.fieldPos + 1 == d.dataLen && b > 127) d.recordValue -= ByteWeight(d.dataLen);
}

void ConvertInteger64(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos <= 3) {
    d.recordValue += b * ByteWeight(d.fieldPos);
    return;
  }
  d.recordValueHigh += b * ByteWeight(d.fieldPos - 4);
  if (d.fieldPos == 7 && b > 127) d.recordValueHigh -= 4294967296.0;
}

void ConvertReal(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos < 0 || static_cast<std::size_t>(d.fieldPos) >= d.realBytes.size()) return;
  d.realBytes[static_cast<std::size_t>(d.fieldPos)] = b;
  if (d.fieldPos == d.dataLen - 1) d.recordValue = SingleFromBytes(d.realBytes);
}

void ConvertText(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos == 0) {
    d.dataLen = static_cast<std::int16_t>(b + 1);
    d.recordText.clear();
    return;
  }
  // The text is sent last character first; each new character goes in front.
  d.recordText.insert(d.recordText.begin(), static_cast<char>(b));
}

// Most records carry a binary integer of one to four bytes. Read whole, it is the same
// two's-complement value the byte step adds up, without a floating-point sum per byte.
bool ConvertShortInteger(OrvMeterData& d, std::span<const std::uint8_t> bytes) {
  const bool integer = d.dataCoding >= 0x1 && d.dataCoding <= 0x4;
  if (!integer || d.fieldPos != 0 || static_cast<std::size_t>(d.dataLen) != bytes.size()) {
    return false;
  }
  std::uint32_t raw = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) raw = (raw << 8) | bytes[i];
  const int bits = 8 * d.dataLen;
  auto value = static_cast<std::int64_t>(raw);
  if ((raw >> (bits - 1)) & 1) value -= std::int64_t{1} << bits;
  d.recordValue = static_cast<double>(value);
  d.recordValueHigh = 0;
  d.fieldPos = d.dataLen;
  return true;
}

void ConvertBcd(OrvMeterData& d, std::uint8_t b) {
  d.recordValue += BcdPair(b) * PairWeight(d.fieldPos);
}

// Codings without a value (no data, selection for readout, special functions).
void ConvertNothing(OrvMeterData& d, std::uint8_t) {
  d.recordValue = 0;
}

void StartField(OrvMeterData& d) {
  if (d.fieldPos == 0) {
    d.recordValue = 0;
    d.recordValueHigh = 0;
  }
}

// Picks the converter of a data coding once and hands it to `body` as a compile-time constant,
// so a loop over a whole field has the converter inlined instead of a dispatch per byte.
using Step = void (*)(OrvMeterData&, std::uint8_t);
template <Step S>
using StepOf = std::integral_constant<Step, S>;

template <typename Body>
void WithStep(std::uint8_t coding, Body&& body) {
  switch (coding) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x6:
      return body(StepOf<ConvertInteger>{});
    case 0x7:
      return body(StepOf<ConvertInteger64>{});
    case 0x5:
      return body(StepOf<ConvertReal>{});
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xC:
    case 0xE:
      return body(StepOf<ConvertBcd>{});
    case 0xD:
      return body(StepOf<ConvertText>{});
    default:
      return body(StepOf<ConvertNothing>{});
  }
}

}  // namespace

int BcdPair(std::uint8_t b) {
  return 10 * Nibble(b >> 4) + Nibble(b & 0x0F);
}

void ConvertValueByte(OrvMeterData& d, std::uint8_t b) {
  WithStep(d.dataCoding, [&](auto step) {
    StartField(d);
    step(d, b);
  });
}

void ConvertValueBytes(OrvMeterData& d, std::span<const std::uint8_t> bytes) {
  if (ConvertShortInteger(d, bytes)) return;
  WithStep(d.dataCoding, [&](auto step) {
    for (const std::uint8_t b : bytes) {
      StartField(d);
      step(d, b);
      d.fieldPos = static_cast<std::int16_t>(d.fieldPos + 1);
    }
  });
}

std::int32_t DecimalPairToNumber(std::string_view text) {
  return PairValue(text, "0123456789", 10);
}

std::uint8_t HexPairToByte(std::string_view text) {
  int value = PairValue(text, "0123456789ABCDEF", 16);
  if (value < 0) {
    throw OverflowError("\"" + std::string(text) + "\" is not a hexadecimal byte");
  }
  return static_cast<std::uint8_t>(value);
}

}  // namespace velmar
