#include <fcntl.h>
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

// Received bytes stay in the kernel's queue until the control asks for them, and the loop is
// woken by the first byte only: while a reply comes in the control sits in its 80 ms pauses and
// needs no wake-up per character. A long burst is fetched in chunks so the kernel queue (4 KiB
// on Linux) never fills and throttles the line.
constexpr int kFetchAt = 1024;

}  // namespace

PosixSerialPort::PosixSerialPort(PosixEventLoop& loop) : loop_(loop) {
  loop_.AddSource(this);
}

PosixSerialPort::~PosixSerialPort() {
  loop_.RemoveSource(this);
  if (fd_ >= 0) {
    if (saved_ && !lost_) tcsetattr(fd_, TCSANOW, saved_.get());
    ::close(fd_);
  }
}

void PosixSerialPort::SetDevicePath(std::int16_t port, std::string path) {
  devices_[port] = std::move(path);
}

std::string PosixSerialPort::DevicePath() const {
  auto it = devices_.find(CommPort());
  if (it != devices_.end()) return it->second;
  return "/dev/ttyS" + std::to_string(CommPort() - 1);
}

bool PosixSerialPort::IsPseudoTerminal() const {
  return fd_ >= 0 && IsPtySlave(fd_);
}

void PosixSerialPort::SetPortOpen(bool open) {
  if (open == PortOpen()) return;
  if (open) {
    try {
      Open();
      SetLastError("");
    } catch (const PortError& e) {
      SetLastError(e.what());
      throw;
    }
  } else {
    Close();
  }
}

void PosixSerialPort::Open() {
  const std::string path = DevicePath();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) {
      throw PortError(path +
                      ": no permission to open it (add the user to the group that owns it, "
                      "often dialout)");
    }
    throw PortError(SystemError(
        "cannot open serial port " + std::to_string(CommPort()) + " (" + path + ")", err));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw PortError(path + " is in use by another program");
  }
  auto saved = std::make_unique<termios>();
  if (tcgetattr(fd, saved.get()) != 0) saved.reset();
  fd_ = fd;
  path_ = path;
  lost_ = false;
  received().clear();
  pending_out_.clear();
  saved_ = std::move(saved);
  try {
    ApplySettings();
    ApplyRts();
    tcflush(fd_, TCIOFLUSH);
  } catch (...) {
    Close();
    throw;
  }
}

// The terminal gets back the settings it had before this port opened it, as other serial tools
// expect to find them.
void PosixSerialPort::Close() {
  const int fd = fd_;
  fd_ = -1;
  received().clear();
  pending_out_.clear();
  if (fd >= 0 && saved_ && !lost_) tcsetattr(fd, TCSANOW, saved_.get());
  saved_.reset();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR && !lost_) {
    throw PortError(SystemError("closing serial port " + path_, errno));
  }
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
  if (tcgetattr(fd_, &tio) != 0)
    throw PortError(SystemError("reading settings of " + path_, errno));
  s.ApplyTo(tio);
  if (tcsetattr(fd_, TCSANOW, &tio) == 0) return;
  const int err = errno;
  if (err == EINVAL && s.parity.Bits() > 0 && IsPtySlave(fd_)) {
    Parity{'n'}.ApplyTo(tio);
    if (tcsetattr(fd_, TCSANOW, &tio) == 0) return;
  }
  throw PortError(
      SystemError("serial port " + path_ + " refused settings \"" + Settings() + "\"", err));
}

void PosixSerialPort::ApplyRts() {
  int bits = TIOCM_RTS;
  if (ioctl(fd_, RTSEnable() ? TIOCMBIS : TIOCMBIC, &bits) == 0) return;
  const int err = errno;
  if ((err == ENOTTY || err == EINVAL) && IsPtySlave(fd_)) return;  // no modem lines on a pty
  throw PortError(SystemError("setting RTS on " + path_, err));
}

void PosixSerialPort::RequireUsable(const char* operation) const {
  if (lost_) throw PortError("serial port " + path_ + " is gone (" + lost_reason_ + ")");
  if (fd_ < 0) {
    throw PortError(std::string("serial port ") + std::to_string(CommPort()) + " is not open (" +
                    operation + ")");
  }
}

void PosixSerialPort::MarkLost(const std::string& why) {
  lost_ = true;
  lost_reason_ = why;
}

void PosixSerialPort::FetchQueued() {
  std::uint8_t chunk[512];
  for (;;) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      received().insert(received().end(), chunk, chunk + n);
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

void PosixSerialPort::DropQueued() {
  tcflush(fd_, TCIFLUSH);
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

int PosixSerialPort::QueuedBeyondBuffer() const {
  int queued = 0;
  if (fd_ < 0 || lost_ || ioctl(fd_, FIONREAD, &queued) != 0) return 0;
  return queued;
}

unsigned PosixSerialPort::Events() const {
  if (fd_ < 0 || lost_) return kNoEvents;
  const int queued = QueuedBeyondBuffer();
  const bool wake_on_input = (received().empty() && queued == 0) || queued >= kFetchAt;
  return (wake_on_input ? kReadable : kNoEvents) | (pending_out_.empty() ? kNoEvents : kWritable);
}

// While bytes are still leaving the port the loop wakes about when they should be gone, so the
// wait for a frame to leave costs a wake-up or two, not a spin.
std::optional<Clock::time_point> PosixSerialPort::WakeAt() const {
  if (fd_ < 0 || lost_) return std::nullopt;
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  queued += static_cast<int>(pending_out_.size());
  if (queued <= 0) return std::nullopt;
  const double us = std::max(500.0, queued * CharacterSeconds() * 1e6);
  return Clock::now() + std::chrono::microseconds(static_cast<long>(us));
}

void PosixSerialPort::OnReady(unsigned events) {
  if (events & kReadable) FetchQueued();
  if (!lost_ && (events & kWritable)) Flush();
  if (!lost_ && (events & kHangUp)) {
    FetchQueued();
    if (!lost_) MarkLost("hang-up");
  }
}

int PosixSerialPort::OutBufferCount() const {
  RequireUsable("count bytes to send");
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  return queued + static_cast<int>(pending_out_.size());
}

void PosixSerialPort::Output(std::span<const std::uint8_t> data) {
  RequireUsable("send");
  pending_out_.insert(pending_out_.end(), data.begin(), data.end());
  Flush();
  if (lost_) RequireUsable("send");
}

}  // namespace velmar::posix
