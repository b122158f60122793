// A CUL stick (busware.de, CC1101 radio) running culfw in wireless M-Bus mode: ASCII lines
// ended by CR LF. "br" with the mode letter (t, s or c) starts reception and is answered with
// the mode now received (TMODE, SMODE, CMODE); every telegram heard comes as a line 'b' and the
// frame in hex from its L field, and with RSSI reporting on (bit 5 of the X command) the
// radio's RSSI byte after it.
#pragma once

#include "velmar/radio.hpp"

namespace velmar::wmbus {

// The CC1101's RSSI byte as dBm: two's complement half decibels above -74 dBm.
int CulRssi(std::uint8_t level);

class CulProtocol : public LineReceiverProtocol {
 public:
  // 'b', L 255 with its CRCs in format A and an RSSI byte, in hex.
  static constexpr std::size_t kMaxLine = 1 + 2 * 290;
  CulProtocol() : LineReceiverProtocol(kMaxLine) {}
  std::vector<std::uint8_t> StartCommand(RadioMode mode) const override;
  bool Started() const override { return started_; }
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t> bytes) override;
  std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                       int rssi) const override;

 private:
  void Line(std::string_view line, std::uint64_t number,
            std::vector<HeardTelegram>& heard) override;
  void Telegram(std::vector<std::uint8_t> bytes, std::uint64_t number,
                std::vector<HeardTelegram>& heard);

  std::string command_;
  bool started_ = false;
};

}  // namespace velmar::wmbus
