#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/text.hpp"

namespace velmar::posix {
namespace {

std::string SystemError(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

// Linux numbers the pseudo-terminal slaves with majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

}  // namespace

PosixSerialPort::PosixSerialPort(DescriptorWatch& loop) : PosixStreamPort(loop) {}

PosixSerialPort::~PosixSerialPort() {
  if (fd() >= 0 && saved_ && !lost()) tcsetattr(fd(), TCSANOW, saved_.get());
}

void PosixSerialPort::SetDevicePath(std::int16_t port, std::string path) {
  devices_[port] = std::move(path);
}

void PosixSerialPort::SetDefaultDevice(std::string path) {
  default_device_ = std::move(path);
}

std::string PosixSerialPort::DevicePath() const {
  auto it = devices_.find(CommPort());
  if (it != devices_.end()) return it->second;
  if (!default_device_.empty()) return default_device_;
  return "/dev/ttyS" + std::to_string(CommPort() - 1);
}

bool PosixSerialPort::IsPseudoTerminal() const {
  return fd() >= 0 && IsPtySlave(fd());
}

int PosixSerialPort::OpenDescriptor() {
  path_ = DevicePath();
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) {
      throw PortError(ShownName(path_) +
                      ": no permission to open it (add the user to the group that owns it, "
                      "often dialout)");
    }
    throw PortError(SystemError("cannot open " + ShownName(path_), err));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw PortError(ShownName(path_) + " is in use by another program");
  }
  saved_ = std::make_unique<termios>();
  if (tcgetattr(fd, saved_.get()) != 0) saved_.reset();
  return fd;
}

void PosixSerialPort::AfterOpen() {
  ApplySettings();
  ApplyRts();
  tcflush(fd(), TCIOFLUSH);
}

void PosixSerialPort::BeforeClose(int fd) {
  if (saved_) tcsetattr(fd, TCSANOW, saved_.get());
  saved_.reset();
}

void PosixSerialPort::CheckSettings(const SerialSettings& settings) const {
  termios scratch{};
  settings.ApplyTo(scratch);
}

// A pseudo-terminal has no parity: the kernel refuses PARENB there with EINVAL. The simulator
// and the tests run over ptys, so on a pty the other settings still apply and the parity is
// dropped; a real device that refuses its settings fails.
void PosixSerialPort::ApplySettings() {
  const SerialSettings s = SerialSettings::Parse(Settings());
  termios tio{};
  if (tcgetattr(fd(), &tio) != 0) {
    throw PortError(SystemError("reading settings of " + ShownName(path_), errno));
  }
  s.ApplyTo(tio);
  if (tcsetattr(fd(), TCSANOW, &tio) == 0) return;
  const int err = errno;
  if (err == EINVAL && s.parity.Bits() > 0 && IsPtySlave(fd())) {
    Parity{'n'}.ApplyTo(tio);
    if (tcsetattr(fd(), TCSANOW, &tio) == 0) return;
  }
  throw PortError(SystemError(
      "serial port " + ShownName(path_) + " refused settings \"" + Settings() + "\"", err));
}

void PosixSerialPort::ApplyRts() {
  int bits = TIOCM_RTS;
  if (ioctl(fd(), RTSEnable() ? TIOCMBIS : TIOCMBIC, &bits) == 0) return;
  const int err = errno;
  if ((err == ENOTTY || err == EINVAL) && IsPtySlave(fd())) return;  // no modem lines on a pty
  throw PortError(SystemError("setting RTS on " + ShownName(path_), err));
}

void PosixSerialPort::DropQueued() {
  tcflush(fd(), TCIFLUSH);
}

}  // namespace velmar::posix
