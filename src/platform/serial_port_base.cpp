#include "velmar/serial_port_base.hpp"

#include <algorithm>
#include <utility>

#include "core/text.hpp"
#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"

namespace velmar {

SerialPortBase::SerialPortBase() = default;

void SerialPortBase::SetCommPort(std::int16_t port) {
  if (port < 1) throw PortError("invalid serial port number " + std::to_string(port));
  if (PortOpen()) throw PortError("serial port number changed while the port is open");
  comm_port_ = port;
}

void SerialPortBase::CheckSettings(const SerialSettings&) const {}

// A saved speed comes back as " 2400" (the number with its sign position), so the text is
// trimmed before it is kept: what is kept is what runs, and it reads back the same after any
// number of saves.
void SerialPortBase::SetSettings(const std::string& settings) {
  std::string text(Trim(settings));
  const SerialSettings parsed = SerialSettings::Parse(text);
  CheckSettings(parsed);
  std::string previous = std::exchange(settings_, std::move(text));
  const double previous_seconds = std::exchange(character_seconds_, parsed.CharacterSeconds());
  if (!PortOpen()) return;
  try {
    ApplySettings();
  } catch (...) {
    settings_ = std::move(previous);
    character_seconds_ = previous_seconds;
    throw;
  }
}

void SerialPortBase::SetRTSEnable(bool raised) {
  rts_ = raised;
  if (PortOpen()) ApplyRts();
}

int SerialPortBase::InBufferCount() const {
  RequireReadable("count received bytes");
  return static_cast<int>(in_buffer_.size()) + QueuedBeyondBuffer();
}

void SerialPortBase::ClearInBuffer() {
  RequireUsable("discard received bytes");
  DropQueued();
  in_buffer_.clear();
}

std::vector<std::uint8_t> SerialPortBase::Input() {
  RequireReadable("read");
  FetchQueued();
  std::size_t n = in_buffer_.size();
  if (input_len_ > 0) n = std::min(n, static_cast<std::size_t>(input_len_));
  std::vector<std::uint8_t> out(in_buffer_.begin(), in_buffer_.begin() + static_cast<long>(n));
  in_buffer_.erase(in_buffer_.begin(), in_buffer_.begin() + static_cast<long>(n));
  return out;
}

}  // namespace velmar
