#include <algorithm>
#include <string>

#include "velmar/error.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::virt {

VirtualSerialPort::VirtualSerialPort(VirtualEventLoop& loop, LinePeer* peer)
    : loop_(loop), peer_(peer) {
  loop_.AddSource(this);
}

VirtualSerialPort::~VirtualSerialPort() {
  loop_.RemoveSource(this);
}

void VirtualSerialPort::RequireUsable(const char* operation) const {
  if (unplugged_) {
    throw PortError(std::string("virtual serial port ") + std::to_string(CommPort()) +
                    " was unplugged (" + operation + ")");
  }
  if (!open_) {
    throw PortError(std::string("virtual serial port ") + std::to_string(CommPort()) +
                    " is not open (" + operation + ")");
  }
}

void VirtualSerialPort::SetPortOpen(bool open) {
  if (open == open_) return;
  if (open) {
    if (unplugged_ || open_fails_) {
      const std::string why = "virtual serial port " + std::to_string(CommPort()) +
                              (unplugged_ ? " was unplugged" : " does not exist");
      SetLastError(why);
      throw PortError(why);
    }
    SetLastError("");
    ++open_count_;
  } else {
    tx_.clear();
    received().clear();
  }
  open_ = open;
}

Nanos VirtualSerialPort::CharacterTime() const {
  return static_cast<Nanos>(CharacterSeconds() * 1e9);
}

int VirtualSerialPort::OutBufferCount() const {
  RequireUsable("count bytes to send");
  return static_cast<int>(tx_.size());
}

void VirtualSerialPort::Output(std::span<const std::uint8_t> data) {
  RequireUsable("send");
  Nanos t = tx_.empty() ? loop_.Now() : tx_.back().first;
  for (std::uint8_t b : data) {
    t += CharacterTime();
    tx_.emplace_back(t, b);
  }
}

void VirtualSerialPort::SendToMaster(std::span<const std::uint8_t> bytes, Nanos start,
                                     Nanos extra_gap) {
  Nanos t = std::max({start, loop_.Now(), rx_line_free_});
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) t += extra_gap;
    t += CharacterTime();
    rx_scheduled_.emplace_back(t, bytes[i]);
  }
  rx_line_free_ = t;
}

std::optional<Nanos> VirtualSerialPort::NextEventTime() const {
  std::optional<Nanos> next;
  if (!tx_.empty()) next = tx_.front().first;
  if (rx_scheduled_.empty()) return next;
  const Nanos arrives = rx_scheduled_.front().first;
  const bool wakes = wake_gap_ == 0 || !last_rx_ || arrives - *last_rx_ >= wake_gap_;
  if (wakes && (!next || arrives < *next)) next = arrives;
  return next;
}

void VirtualSerialPort::RunDue(Nanos now) {
  while (!tx_.empty() && tx_.front().first <= now) {
    const auto [end, b] = tx_.front();
    tx_.pop_front();
    transmitted_.push_back(b);
    if (record_line_) line_.push_back({end, true, b});
    if (peer_) peer_->OnByteFromMaster(b, *this);
  }
  while (!rx_scheduled_.empty() && rx_scheduled_.front().first <= now) {
    const auto [end, b] = rx_scheduled_.front();
    rx_scheduled_.pop_front();
    last_rx_ = end;
    if (record_line_) line_.push_back({end, false, b});
    // A closed port loses what arrives, like a real one.
    if (open_ && !unplugged_) received().push_back(b);
  }
}

}  // namespace velmar::virt
