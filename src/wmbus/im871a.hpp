// The IMST iM871A stick's host controller interface: frames of a start byte 0xA5, a control
// nibble (what is attached: time stamp 0x2, RSSI 0x4, CRC 0x8) with an endpoint nibble (device
// management 1, radio link 2), a message id, a length, the payload, the attachments, and a
// CRC-16/X-25 over everything after the start byte when the control says so.
#pragma once

#include "velmar/radio.hpp"

namespace velmar::wmbus {

// CRC-16/X-25 (polynomial 0x1021 reflected, initial 0xFFFF, final complement): "123456789"
// gives 0x906E.
std::uint16_t HciCrc(std::span<const std::uint8_t> bytes);

class Im871aProtocol : public ReceiverProtocol {
 public:
  std::vector<std::uint8_t> StartCommand(RadioMode mode) const override;
  void Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) override;
  bool Started() const override { return started_; }
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t> bytes) override;
  std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                       int rssi) const override;

 private:
  struct Message {
    std::uint8_t control = 0;
    std::uint8_t endpoint = 0;
    std::uint8_t id = 0;
    std::vector<std::uint8_t> payload;
  };
  // Takes whole messages from the front of `pending`; false when more bytes are needed.
  bool Next(std::vector<std::uint8_t>& pending, Message& m);
  void Take(const Message& m, std::vector<HeardTelegram>& heard);

  std::vector<std::uint8_t> in_;       // bytes from the stick not yet a whole message
  std::vector<std::uint8_t> command_;  // bytes from the host (the stick's side)
  bool started_ = false;
};

}  // namespace velmar::wmbus
