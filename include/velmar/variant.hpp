// The value type of the control's variant members: empty, Boolean, byte, 16-bit integer,
// 32-bit integer, double or text. Each member returns one fixed alternative; setters accept any
// alternative and convert it with the rules below (numeric text allowed, halves round to even).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace velmar {

class Variant {
 public:
  using Value = std::variant<std::monostate, bool, std::uint8_t, std::int16_t, std::int32_t, double,
                             std::string>;

  Variant() = default;
  Variant(bool v) : value_(v) {}
  Variant(std::uint8_t v) : value_(v) {}
  Variant(std::int16_t v) : value_(v) {}
  Variant(std::int32_t v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}

  const Value& value() const { return value_; }
  bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
  bool IsText() const { return std::holds_alternative<std::string>(value_); }
  template <typename T>
  bool Holds() const {
    return std::holds_alternative<T>(value_);
  }
  template <typename T>
  const T& Get() const {
    return std::get<T>(value_);
  }

  // Conversions used by the control. `what` names the value in error messages ("Address").
  // Text must hold a number (surrounding blanks allowed): otherwise ConversionError.
  // A number outside the target range: OverflowError.
  double ToDouble(std::string_view what = "value") const;
  std::uint8_t ToByte(std::string_view what = "value") const;
  std::int16_t ToInt16(std::string_view what = "value") const;
  std::int32_t ToInt32(std::string_view what = "value") const;
  bool ToBool(std::string_view what = "value") const;
  // Text form: numbers without a sign blank, Booleans as True/False, empty as "".
  std::string ToText() const;

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  Value value_;
};

// Leading numeric value of a text: blanks skipped, then an optional sign, digits, a decimal
// point and an exponent, as far as they form a number; 0 when the text starts with none.
double LeadingNumber(std::string_view text);

// A number written with a sign position: a blank before values of 0 or more, a minus sign
// before negative ones (7 -> " 7", -7 -> "-7", 1.5 -> " 1.5").
std::string LeadingSpaceText(double value);

// Rounds to the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
double RoundHalfEven(double value);

}  // namespace velmar
