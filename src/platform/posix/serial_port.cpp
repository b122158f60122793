#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::posix {
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

std::optional<speed_t> SpeedFor(int speed) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.speed == speed) return s.code;
  }
  return std::nullopt;
}

SerialSettings ParseSupported(const std::string& text) {
  SerialSettings s = SerialSettings::Parse(text);
  if (!SpeedFor(s.speed)) {
    throw PortError("serial settings \"" + text + "\": speed " + std::to_string(s.speed) +
                    " is not supported by this port");
  }
  return s;
}

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

PosixSerialPort::PosixSerialPort(PosixEventLoop& loop) : loop_(loop) {
  loop_.AddSource(this);
}

PosixSerialPort::~PosixSerialPort() {
  loop_.RemoveSource(this);
  if (fd_ >= 0) ::close(fd_);
}

void PosixSerialPort::SetDevicePath(std::int16_t port, std::string path) {
  devices_[port] = std::move(path);
}

std::string PosixSerialPort::DevicePath() const {
  auto it = devices_.find(comm_port_);
  if (it != devices_.end()) return it->second;
  return "/dev/ttyS" + std::to_string(comm_port_ - 1);
}

bool PosixSerialPort::IsPseudoTerminal() const {
  return fd_ >= 0 && IsPtySlave(fd_);
}

void PosixSerialPort::SetPortOpen(bool open) {
  if (open == PortOpen()) return;
  if (open) {
    Open();
  } else {
    Close();
  }
}

void PosixSerialPort::Open() {
  const std::string path = DevicePath();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw PortError(SystemError(
        "cannot open serial port " + std::to_string(comm_port_) + " (" + path + ")", errno));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw PortError("serial port " + std::to_string(comm_port_) + " (" + path +
                    ") is in use by another program");
  }
  fd_ = fd;
  path_ = path;
  lost_ = false;
  in_buffer_.clear();
  pending_out_.clear();
  try {
    ApplySettings();
    ApplyRts();
    tcflush(fd_, TCIOFLUSH);
  } catch (...) {
    Close();
    throw;
  }
}

void PosixSerialPort::Close() {
  const int fd = fd_;
  fd_ = -1;
  in_buffer_.clear();
  pending_out_.clear();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR && !lost_) {
    throw PortError(SystemError("closing serial port " + path_, errno));
  }
}

void PosixSerialPort::SetCommPort(std::int16_t port) {
  if (port < 1) throw PortError("invalid serial port number " + std::to_string(port));
  if (PortOpen()) throw PortError("serial port number changed while the port is open");
  comm_port_ = port;
}

void PosixSerialPort::SetSettings(const std::string& settings) {
  ParseSupported(settings);
  const std::string previous = settings_;
  settings_ = settings;
  if (!PortOpen()) return;
  try {
    ApplySettings();
  } catch (...) {
    settings_ = previous;
    throw;
  }
}

void PosixSerialPort::SetRTSEnable(bool raised) {
  rts_ = raised;
  if (PortOpen()) ApplyRts();
}

// A pseudo-terminal has no parity: the kernel refuses PARENB there with EINVAL. The simulator
// and the tests run over ptys, so on a pty the other settings still apply and the parity is
// dropped; a real device that refuses its settings fails.
void PosixSerialPort::ApplySettings() {
  const SerialSettings s = ParseSupported(settings_);
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0)
    throw PortError(SystemError("reading settings of " + path_, errno));
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  static constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSize[s.dataBits - 5];
  if (s.stopBits == 2) tio.c_cflag |= CSTOPB;
  switch (s.parity) {
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
      break;
  }
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, *SpeedFor(s.speed));
  cfsetospeed(&tio, *SpeedFor(s.speed));
  if (tcsetattr(fd_, TCSANOW, &tio) == 0) return;
  const int err = errno;
  if (err == EINVAL && (tio.c_cflag & PARENB) && IsPtySlave(fd_)) {
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    if (tcsetattr(fd_, TCSANOW, &tio) == 0) return;
  }
  throw PortError(
      SystemError("serial port " + path_ + " refused settings \"" + settings_ + "\"", err));
}

void PosixSerialPort::ApplyRts() {
  int bits = TIOCM_RTS;
  if (ioctl(fd_, rts_ ? TIOCMBIS : TIOCMBIC, &bits) == 0) return;
  const int err = errno;
  if ((err == ENOTTY || err == EINVAL) && IsPtySlave(fd_)) return;  // no modem lines on a pty
  throw PortError(SystemError("setting RTS on " + path_, err));
}

void PosixSerialPort::RequireOpen(const char* operation) const {
  if (lost_) throw PortError("serial port " + path_ + " is gone (" + lost_reason_ + ")");
  if (fd_ < 0) {
    throw PortError(std::string("serial port ") + std::to_string(comm_port_) + " is not open (" +
                    operation + ")");
  }
}

void PosixSerialPort::MarkLost(const std::string& why) {
  lost_ = true;
  lost_reason_ = why;
}

void PosixSerialPort::Drain() {
  std::uint8_t chunk[512];
  for (;;) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      in_buffer_.insert(in_buffer_.end(), chunk, chunk + n);
      continue;
    }
    // With VMIN and VTIME 0 a terminal answers "nothing waiting" with 0, not EAGAIN; a
    // vanished device shows as a hang-up in poll() or as EIO here.
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    MarkLost(std::strerror(errno));
    return;
  }
}

void PosixSerialPort::Flush() {
  while (!pending_out_.empty()) {
    const ssize_t n = ::write(fd_, pending_out_.data(), pending_out_.size());
    if (n > 0) {
      pending_out_.erase(pending_out_.begin(), pending_out_.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    MarkLost(std::strerror(errno));
    return;
  }
}

// Received bytes stay in the kernel's queue until the control asks for them, and the loop is
// woken by the first byte only: while a reply comes in the control sits in its 80 ms pauses and
// needs no wake-up per character. A long burst is fetched in chunks so the kernel queue (4 KiB
// on Linux) never fills and throttles the line.
constexpr int kFetchAt = 1024;

int PosixSerialPort::KernelQueued() const {
  int queued = 0;
  if (fd_ < 0 || lost_ || ioctl(fd_, FIONREAD, &queued) != 0) return 0;
  return queued;
}

short PosixSerialPort::Events() const {
  if (fd_ < 0 || lost_) return 0;
  const int queued = KernelQueued();
  const bool wake_on_input = (in_buffer_.empty() && queued == 0) || queued >= kFetchAt;
  return static_cast<short>((wake_on_input ? POLLIN : 0) | (pending_out_.empty() ? 0 : POLLOUT));
}

// While bytes are still leaving the port the loop wakes about when they should be gone, so the
// wait for a frame to leave costs a wake-up or two, not a spin.
std::optional<Clock::time_point> PosixSerialPort::WakeAt() const {
  if (fd_ < 0 || lost_) return std::nullopt;
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  queued += static_cast<int>(pending_out_.size());
  if (queued <= 0) return std::nullopt;
  const double char_us = 11.0 * 1e6 / SerialSettings::Parse(settings_).speed;
  return Clock::now() +
         std::chrono::microseconds(static_cast<long>(std::max(500.0, queued * char_us)));
}

void PosixSerialPort::OnReady(short revents) {
  if (revents & POLLIN) Drain();
  if (!lost_ && (revents & POLLOUT)) Flush();
  if (!lost_ && (revents & (POLLHUP | POLLERR | POLLNVAL))) {
    Drain();
    if (!lost_) MarkLost("hang-up");
  }
}

int PosixSerialPort::InBufferCount() const {
  RequireOpen("count received bytes");
  return static_cast<int>(in_buffer_.size()) + KernelQueued();
}

void PosixSerialPort::ClearInBuffer() {
  RequireOpen("discard received bytes");
  tcflush(fd_, TCIFLUSH);
  in_buffer_.clear();
}

int PosixSerialPort::OutBufferCount() const {
  RequireOpen("count bytes to send");
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  return queued + static_cast<int>(pending_out_.size());
}

void PosixSerialPort::Output(std::span<const std::uint8_t> data) {
  RequireOpen("send");
  pending_out_.insert(pending_out_.end(), data.begin(), data.end());
  Flush();
  if (lost_) RequireOpen("send");
}

std::vector<std::uint8_t> PosixSerialPort::Input() {
  RequireOpen("read");
  Drain();
  std::size_t n = in_buffer_.size();
  if (input_len_ > 0) n = std::min(n, static_cast<std::size_t>(input_len_));
  std::vector<std::uint8_t> out(in_buffer_.begin(), in_buffer_.begin() + static_cast<long>(n));
  in_buffer_.erase(in_buffer_.begin(), in_buffer_.begin() + static_cast<long>(n));
  return out;
}

}  // namespace velmar::posix
