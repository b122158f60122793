// The settings text of a serial port: "speed,parity,data bits,stop bits", as in "2400,e,8,1".
#pragma once

#include <string>

namespace velmar {

struct SerialSettings {
  int speed = 9600;
  char parity = 'n';  // n, e, o, m, s
  int dataBits = 8;
  int stopBits = 1;  // 1 or 2

  // Throws PortError naming the text when a field is missing or out of range.
  static SerialSettings Parse(const std::string& text);
  // Bits one character takes on the line: start, data, parity, stop.
  int BitsPerCharacter() const { return 1 + dataBits + (parity == 'n' ? 0 : 1) + stopBits; }
};

}  // namespace velmar
