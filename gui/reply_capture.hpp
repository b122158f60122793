// The serial port the control is given: the real one, passed through unchanged, keeping the
// bytes that came in since the last frame went out. After a read that is the meter's reply
// exactly as the control took it, so the window makes its reading from those bytes rather than
// from the control's hex log.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "velmar/platform.hpp"

namespace velmar::gui {

class ReplyCapture : public SerialPort {
 public:
  // Takes the port every member is passed to (not null).
  explicit ReplyCapture(std::unique_ptr<SerialPort> port);

  // The bytes the control took off the line since it last sent (empty after a silent
  // exchange). Constant time.
  const std::vector<std::uint8_t>& LastReply() const { return heard_; }

  // Each passes to the port; Output starts a new reply, Input adds what it returns to it.
  // Results and exceptions are the port's.
  bool PortOpen() const override { return port_->PortOpen(); }
  void SetPortOpen(bool open) override { port_->SetPortOpen(open); }
  std::int16_t CommPort() const override { return port_->CommPort(); }
  void SetCommPort(std::int16_t port) override { port_->SetCommPort(port); }
  std::string Settings() const override { return port_->Settings(); }
  void SetSettings(const std::string& settings) override { port_->SetSettings(settings); }
  bool RTSEnable() const override { return port_->RTSEnable(); }
  void SetRTSEnable(bool raised) override { port_->SetRTSEnable(raised); }
  void SetInputMode(int mode) override { port_->SetInputMode(mode); }
  void SetInputLen(int length) override { port_->SetInputLen(length); }
  void SetRThreshold(int count) override { port_->SetRThreshold(count); }
  int InBufferCount() const override { return port_->InBufferCount(); }
  void ClearInBuffer() override { port_->ClearInBuffer(); }
  int OutBufferCount() const override { return port_->OutBufferCount(); }
  void Output(std::span<const std::uint8_t> data) override;
  std::vector<std::uint8_t> Input() override;

 private:
  std::unique_ptr<SerialPort> port_;
  std::vector<std::uint8_t> heard_;
};

}  // namespace velmar::gui
