#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::posix {
namespace {

// Received bytes stay in the kernel's queue until the control asks for them, and the loop is
// woken by the first byte only: while a reply comes in the control sits in its 80 ms pauses and
// needs no wake-up per character. A long burst is fetched in chunks so the kernel queue never
// fills and throttles the line.
constexpr int kFetchAt = 1024;

}  // namespace

PosixStreamPort::PosixStreamPort(DescriptorWatch& loop) : loop_(loop) {
  loop_.AddSource(this);
}

PosixStreamPort::~PosixStreamPort() {
  loop_.RemoveSource(this);
  if (fd_ >= 0) ::close(fd_);
}

void PosixStreamPort::SetPortOpen(bool open) {
  if (open == PortOpen()) return;
  if (!open) {
    Close();
    return;
  }
  try {
    fd_ = OpenDescriptor();
    lost_ = false;
    received().clear();
    pending_out_.clear();
    try {
      AfterOpen();
    } catch (...) {
      Close();
      throw;
    }
    SetLastError("");
  } catch (const PortError& e) {
    SetLastError(e.what());
    throw;
  }
}

void PosixStreamPort::Close() {
  const int fd = fd_;
  fd_ = -1;
  received().clear();
  pending_out_.clear();
  if (fd < 0) return;
  if (!lost_) BeforeClose(fd);
  if (::close(fd) != 0 && errno != EINTR && !lost_) {
    throw PortError(std::string("closing ") + Name() + ": " + std::strerror(errno));
  }
}

void PosixStreamPort::RequireUsable(const char* operation) const {
  if (lost_) throw PortError(Name() + " is gone (" + lost_reason_ + ")");
  if (fd_ < 0) {
    throw PortError(std::string("port ") + std::to_string(CommPort()) + " is not open (" +
                    operation + ")");
  }
}

void PosixStreamPort::MarkLost(const std::string& why) {
  lost_ = true;
  lost_reason_ = why;
}

// A read of 0 bytes means "nothing waiting" on a terminal (VMIN and VTIME 0) but "closed by the
// other end" on a socket; sockets are told apart by EAGAIN for "nothing waiting".
void PosixStreamPort::FetchQueued() {
  if (lost_ || fd_ < 0) return;
  std::uint8_t chunk[512];
  for (;;) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      received().insert(received().end(), chunk, chunk + n);
      continue;
    }
    if (n == 0) {
      if (EndOfStreamIsHangUp()) MarkLost(EndOfStreamReason());
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    MarkLost(std::strerror(errno));
    return;
  }
}

void PosixStreamPort::DropQueued() {
  FetchQueued();
}

void PosixStreamPort::Flush() {
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

int PosixStreamPort::QueuedBeyondBuffer() const {
  int queued = 0;
  if (fd_ < 0 || lost_ || ioctl(fd_, FIONREAD, &queued) != 0) return 0;
  return queued;
}

unsigned PosixStreamPort::Events() const {
  if (fd_ < 0 || lost_) return kNoEvents;
  const int queued = QueuedBeyondBuffer();
  const bool wake_on_input = (received().empty() && queued == 0) || queued >= kFetchAt;
  return (wake_on_input ? kReadable : kNoEvents) | (pending_out_.empty() ? kNoEvents : kWritable);
}

// While bytes are still leaving the port the loop wakes about when they should be gone, so the
// wait for a frame to leave costs a wake-up or two, not a spin.
std::optional<Clock::time_point> PosixStreamPort::WakeAt() const {
  if (fd_ < 0 || lost_) return std::nullopt;
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  queued += static_cast<int>(pending_out_.size());
  if (queued <= 0) return std::nullopt;
  const double us = std::max(500.0, queued * CharacterSeconds() * 1e6);
  return Clock::now() + std::chrono::microseconds(static_cast<long>(us));
}

void PosixStreamPort::OnReady(unsigned events) {
  if (events & kReadable) FetchQueued();
  if (!lost_ && (events & kWritable)) Flush();
  if (!lost_ && (events & kHangUp)) {
    FetchQueued();
    if (!lost_) MarkLost(EndOfStreamIsHangUp() ? EndOfStreamReason() : "hang-up");
  }
}

int PosixStreamPort::OutBufferCount() const {
  RequireUsable("count bytes to send");
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  return queued + static_cast<int>(pending_out_.size());
}

void PosixStreamPort::Output(std::span<const std::uint8_t> data) {
  RequireUsable("send");
  pending_out_.insert(pending_out_.end(), data.begin(), data.end());
  Flush();
  if (lost_) RequireUsable("send");
}

}  // namespace velmar::posix
