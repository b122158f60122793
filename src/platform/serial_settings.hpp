// The settings text of a serial port, "speed,parity,data bits,stop bits" as in "2400,e,8,1",
// as four small value types. Each knows how many bits it puts on the line, and on a POSIX
// system applies itself to a terminal's settings.
#pragma once

#include <string_view>

struct termios;

namespace velmar {

struct BaudRate {
  int bitsPerSecond = 9600;
  // Sets input and output speed; PortError when the system has no such speed.
  void ApplyTo(termios& tio) const;
};

struct Parity {
  char letter = 'n';  // n(one), e(ven), o(dd), m(ark), s(pace)
  int Bits() const { return letter == 'n' ? 0 : 1; }
  // Sets the parity bits and, with a parity bit on the line, asks the driver to check it on
  // every character received.
  void ApplyTo(termios& tio) const;
};

struct DataBits {
  int count = 8;  // 5 to 8
  void ApplyTo(termios& tio) const;
};

struct StopBits {
  int count = 1;  // 1 or 2
  void ApplyTo(termios& tio) const;
};

struct SerialSettings {
  BaudRate speed;
  Parity parity;
  DataBits dataBits;
  StopBits stopBits;

  // Blanks around each field are ignored. Throws PortError naming the text and the field when
  // a field is missing, not a number or out of range.
  static SerialSettings Parse(std::string_view text);
  // Bits one character takes on the line: start, data, parity, stop.
  int BitsPerCharacter() const { return 1 + dataBits.count + parity.Bits() + stopBits.count; }
  double CharacterSeconds() const {
    return static_cast<double>(BitsPerCharacter()) / speed.bitsPerSecond;
  }
  // Raw mode, receiver on, modem lines ignored, then each of the four settings.
  void ApplyTo(termios& tio) const;
};

}  // namespace velmar
