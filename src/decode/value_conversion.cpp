#include "decode/value_conversion.hpp"

#include <cctype>
#include <cmath>
#include <limits>
#include <string>

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

void ConvertInteger(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos > 3) ShowNotice("Overflow. Larger than 4 bytes integer!");
  d.recordValue += b * std::ldexp(1.0, 8 * d.fieldPos);
  if (d.fieldPos + 1 == d.dataLen && b > 127) d.recordValue -= std::ldexp(1.0, 8 * d.dataLen);
}

void ConvertInteger64(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos <= 3) {
    d.recordValue += b * std::ldexp(1.0, 8 * d.fieldPos);
    return;
  }
  d.recordValueHigh += b * std::ldexp(1.0, 8 * (d.fieldPos - 4));
  if (d.fieldPos == 7 && b > 127) d.recordValueHigh -= 4294967296.0;
}

void ConvertReal(OrvMeterData& d, std::uint8_t b) {
  if (d.fieldPos < 0 || static_cast<std::size_t>(d.fieldPos) >= d.realBytes.size()) return;
  d.realBytes[static_cast<std::size_t>(d.fieldPos)] = b;
  if (d.fieldPos == d.dataLen - 1) d.recordValue = RealFromBytes(d.realBytes);
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

}  // namespace

int BcdPair(std::uint8_t b) {
  return 10 * Nibble(b >> 4) + Nibble(b & 0x0F);
}

void ConvertValueByte(std::uint8_t b) {
  OrvMeterData& d = MeterData();
  if (d.fieldPos == 0) {
    d.recordValue = 0;
    d.recordValueHigh = 0;
  }
  switch (d.dataCoding) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x6:
      ConvertInteger(d, b);
      break;
    case 0x7:
      ConvertInteger64(d, b);
      break;
    case 0x5:
      ConvertReal(d, b);
      break;
    case 0x9:
    case 0xA:
    case 0xB:
    case 0xC:
    case 0xE:
      d.recordValue += BcdPair(b) * std::pow(100.0, d.fieldPos);
      break;
    case 0xD:
      ConvertText(d, b);
      break;
    default:
      d.recordValue = 0;
      break;
  }
}

float RealFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return 0.0f;
  const int b2 = bytes[2];
  const int b3 = bytes[3];
  const bool negative = (b3 & 0x80) != 0;
  const int exponent = 2 * (b3 & 0x7F) + (b2 >> 7);
  const double fraction = bytes[0] * std::ldexp(1.0, -23) + bytes[1] * std::ldexp(1.0, -15) +
                          (b2 & 0x7F) * std::ldexp(1.0, -7);
  double value;
  if (exponent == 0) {
    value = fraction * std::ldexp(1.0, -126);
  } else if (exponent == 255) {
    value = fraction == 0 ? std::numeric_limits<double>::infinity()
                          : std::numeric_limits<double>::quiet_NaN();
  } else {
    value = std::ldexp(1.0 + fraction, exponent - 127);
  }
  return static_cast<float>(negative ? -value : value);
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
