// The Amber AMB8465 stick in command mode: frames of a start byte 0xFF, a command, a length,
// the payload and a check byte (XOR of everything before it, the start byte included). A
// request's confirmation is its command with bit 7 set.
#pragma once

#include "velmar/radio.hpp"

namespace velmar::wmbus {

// The check byte of a command frame: XOR of `bytes`.
std::uint8_t XorCheck(std::span<const std::uint8_t> bytes);
// The RX level byte as dBm: a two's complement value in half decibels above -74 dBm.
int AmberRssi(std::uint8_t level);

class Amb8465Protocol : public ReceiverProtocol {
 public:
  std::vector<std::uint8_t> StartCommand(RadioMode mode) const override;
  void Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) override;
  bool Started() const override { return started_; }
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t> bytes) override;
  std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                       int rssi) const override;

 private:
  // Takes one whole frame (command, payload) from the front of `pending`; false when more bytes
  // are needed.
  bool Next(std::vector<std::uint8_t>& pending, std::uint8_t& command,
            std::vector<std::uint8_t>& payload);

  std::vector<std::uint8_t> in_;
  std::vector<std::uint8_t> command_;
  bool started_ = false;
};

}  // namespace velmar::wmbus
