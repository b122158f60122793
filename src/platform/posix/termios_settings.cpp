// How each line setting sets a POSIX terminal.
#include <termios.h>

#include <string>

#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

struct SpeedCode {
  int speed;
  speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

}  // namespace

void BaudRate::ApplyTo(termios& tio) const {
  for (const SpeedCode& s : kSpeeds) {
    if (s.speed == bitsPerSecond) {
      cfsetispeed(&tio, s.code);
      cfsetospeed(&tio, s.code);
      return;
    }
  }
  throw PortError("speed " + std::to_string(bitsPerSecond) +
                  " is not supported by this port (50 to 921600, the usual steps)");
}

// Without INPCK the driver ignores the parity bit on input, and a character damaged on the line
// would reach the reply as if it were good. How a damaged character arrives is set here too,
// not inherited from whoever used the device before: neither dropped (IGNPAR) nor marked with
// two extra bytes (PARMRK), but as one 0x00 in its place, so the frame keeps its length and its
// check byte fails it.
void Parity::ApplyTo(termios& tio) const {
  tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK);
  switch (letter) {
    case 'e':
      tio.c_cflag |= PARENB;
      break;
    case 'o':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'm':
      tio.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 's':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return;
  }
  tio.c_iflag |= INPCK;
}

void DataBits::ApplyTo(termios& tio) const {
  static constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  tio.c_cflag |= kSize[count - 5];
}

void StopBits::ApplyTo(termios& tio) const {
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  if (count == 2) tio.c_cflag |= CSTOPB;
}

void SerialSettings::ApplyTo(termios& tio) const {
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  speed.ApplyTo(tio);
  parity.ApplyTo(tio);
  dataBits.ApplyTo(tio);
  stopBits.ApplyTo(tio);
}

}  // namespace velmar
