// Errors that reach the host application. Every failure that is not a result code of a meter
// command is one of these, so a host can catch velmar::Error and show e.what() to its user.
#pragma once

#include <stdexcept>
#include <string>

namespace velmar {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value handed to the control cannot be used: the argument is wrong, not the meter.
class ArgumentError : public Error {
 public:
  using Error::Error;
};

// A value cannot be converted to the type the member needs ("abc" as a number).
class ConversionError : public ArgumentError {
 public:
  using ArgumentError::ArgumentError;
};

// A number does not fit the type the member needs (256 as an address byte).
class OverflowError : public ArgumentError {
 public:
  using ArgumentError::ArgumentError;
};

// An index outside the fixed arrays of the control (tariff 6, a host array too short).
class IndexOutOfRangeError : public Error {
 public:
  using Error::Error;
};

// The serial port refused an operation: missing device, refused settings, unplugged adapter.
class PortError : public Error {
 public:
  using Error::Error;
};

}  // namespace velmar
