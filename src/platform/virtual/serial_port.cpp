#include <algorithm>
#include <string>

#include "platform/serial_settings.hpp"
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
    throw PortError(std::string("virtual serial port ") + std::to_string(comm_port_) +
                    " was unplugged (" + operation + ")");
  }
}

void VirtualSerialPort::SetPortOpen(bool open) {
  if (open == open_) return;
  if (open) {
    RequireUsable("open");
    if (open_fails_) {
      throw PortError("virtual serial port " + std::to_string(comm_port_) + " does not exist");
    }
    ++open_count_;
  } else {
    tx_.clear();
    in_buffer_.clear();
  }
  open_ = open;
}

void VirtualSerialPort::SetCommPort(std::int16_t port) {
  if (open_) throw PortError("virtual serial port: port number changed while open");
  if (port < 1) throw PortError("virtual serial port: invalid port number " + std::to_string(port));
  comm_port_ = port;
}

void VirtualSerialPort::SetSettings(const std::string& settings) {
  SerialSettings parsed = SerialSettings::Parse(settings);
  settings_ = settings;
  baud_ = parsed.speed;
}

void VirtualSerialPort::SetRTSEnable(bool raised) {
  if (open_) throw PortError("virtual serial port: RTS changed while open");
  rts_ = raised;
}

Nanos VirtualSerialPort::CharacterTime() const {
  return static_cast<Nanos>(11.0 * 1e9 / baud_);  // M-Bus: start, 8 data, parity, stop
}

int VirtualSerialPort::InBufferCount() const {
  RequireUsable("count received bytes");
  return static_cast<int>(in_buffer_.size());
}

void VirtualSerialPort::ClearInBuffer() {
  RequireUsable("discard received bytes");
  in_buffer_.clear();
}

int VirtualSerialPort::OutBufferCount() const {
  RequireUsable("count bytes to send");
  return static_cast<int>(tx_.size());
}

void VirtualSerialPort::Output(std::span<const std::uint8_t> data) {
  RequireUsable("send");
  if (!open_) throw PortError("virtual serial port: output while the port is closed");
  Nanos t = tx_.empty() ? loop_.Now() : tx_.back().first;
  for (std::uint8_t b : data) {
    t += CharacterTime();
    tx_.emplace_back(t, b);
  }
}

std::vector<std::uint8_t> VirtualSerialPort::Input() {
  RequireUsable("read");
  if (!open_) throw PortError("virtual serial port: input while the port is closed");
  std::size_t n = in_buffer_.size();
  if (input_len_ > 0) n = std::min(n, static_cast<std::size_t>(input_len_));
  std::vector<std::uint8_t> out(in_buffer_.begin(), in_buffer_.begin() + static_cast<long>(n));
  in_buffer_.erase(in_buffer_.begin(), in_buffer_.begin() + static_cast<long>(n));
  return out;
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
  if (!rx_scheduled_.empty() && (!next || rx_scheduled_.front().first < *next)) {
    next = rx_scheduled_.front().first;
  }
  return next;
}

void VirtualSerialPort::RunDue(Nanos now) {
  while (!tx_.empty() && tx_.front().first <= now) {
    std::uint8_t b = tx_.front().second;
    tx_.pop_front();
    transmitted_.push_back(b);
    if (peer_) peer_->OnByteFromMaster(b, *this);
  }
  while (!rx_scheduled_.empty() && rx_scheduled_.front().first <= now) {
    // A closed port loses what arrives, like a real one.
    if (open_ && !unplugged_) in_buffer_.push_back(rx_scheduled_.front().second);
    rx_scheduled_.pop_front();
  }
}

}  // namespace velmar::virt
