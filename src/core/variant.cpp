#include "velmar/variant.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "core/text.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

// Length of the longest prefix of `text` that reads as a decimal number.
std::size_t NumberPrefixLength(std::string_view text) {
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t start = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    return i - start;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t mantissa = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return 0;
  std::size_t end = i;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() > 0) end = i;
  }
  return end;
}

double ParseNumber(std::string_view text) {
  std::string copy(text);
  return std::strtod(copy.c_str(), nullptr);
}

std::string Describe(const Variant& v) {
  return v.IsText() ? "\"" + v.Get<std::string>() + "\"" : v.ToText();
}

double ToNumber(const Variant& v, std::string_view what) {
  return std::visit(
      [&](const auto& x) -> double {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0.0;
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? -1.0 : 0.0;  // True is all bits set, as in the host's Boolean
        } else if constexpr (std::is_same_v<T, std::string>) {
          std::string_view t = Trim(x);
          if (t.empty() || NumberPrefixLength(t) != t.size()) {
            throw ConversionError(std::string(what) + " " + Describe(v) + " is not a number");
          }
          return ParseNumber(t);
        } else {
          return static_cast<double>(x);
        }
      },
      v.value());
}

template <typename T>
T ToInteger(const Variant& v, std::string_view what, const char* type_name) {
  double d = RoundHalfEven(ToNumber(v, what));
  if (!(d >= static_cast<double>(std::numeric_limits<T>::min()) &&
        d <= static_cast<double>(std::numeric_limits<T>::max()))) {
    throw OverflowError(std::string(what) + " " + Describe(v) + " does not fit " + type_name +
                        " (" + std::to_string(std::numeric_limits<T>::min() + 0) + " to " +
                        std::to_string(std::numeric_limits<T>::max() + 0) + ")");
  }
  return static_cast<T>(d);
}

std::string ShortestText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    // Whole numbers are the common case (meter clocks, counters); integer formatting is exact
    // here and far cheaper than printf. A negative zero keeps its sign, as printf shows it.
    if (value == 0 && std::signbit(value)) return "-0";
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(value));
    return std::string(buf, res.ptr);
  }
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

}  // namespace

double RoundHalfEven(double value) {
  return std::nearbyint(value);
}

double LeadingNumber(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  std::size_t n = NumberPrefixLength(text);
  return n == 0 ? 0.0 : ParseNumber(text.substr(0, n));
}

std::string LeadingSpaceText(double value) {
  std::string digits = ShortestText(value);
  if (digits == "-0") return " 0";  // a negative zero is zero
  if (value >= 0 || std::isnan(value)) return " " + digits;
  return digits;
}

double Variant::ToDouble(std::string_view what) const {
  return ToNumber(*this, what);
}

std::uint8_t Variant::ToByte(std::string_view what) const {
  return ToInteger<std::uint8_t>(*this, what, "a byte");
}

std::int16_t Variant::ToInt16(std::string_view what) const {
  return ToInteger<std::int16_t>(*this, what, "a 16-bit integer");
}

std::int32_t Variant::ToInt32(std::string_view what) const {
  return ToInteger<std::int32_t>(*this, what, "a 32-bit integer");
}

bool Variant::ToBool(std::string_view what) const {
  if (IsText()) {
    std::string_view t = Trim(Get<std::string>());
    std::string lower;
    for (char c : t) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "true") return true;
    if (lower == "false") return false;
  }
  return ToNumber(*this, what) != 0.0;
}

std::string Variant::ToText() const {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "";
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? "True" : "False";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return x;
        } else {
          return ShortestText(static_cast<double>(x));
        }
      },
      value_);
}

}  // namespace velmar
