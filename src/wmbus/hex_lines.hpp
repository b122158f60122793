// Telegrams as text, one per line in hex (blanks between bytes allowed), as software radio
// decoders print them: alone, or as the last of ';'-separated fields, with or without 0x.
// Blank lines and lines starting with '#' are passed over; a line that is not hex, or longer
// than any telegram, is counted and skipped.
#pragma once

#include "velmar/radio.hpp"

namespace velmar::wmbus {

class HexLinesProtocol : public ReceiverProtocol {
 public:
  // How a plain hex line's telegram comes: with its block CRCs (the default), or without.
  // A software radio's ';'-separated line comes without: the radio checked them.
  explicit HexLinesProtocol(FrameCrcs plain = FrameCrcs::kPresent) : plain_(plain) {}
  std::vector<std::uint8_t> StartCommand(RadioMode) const override { return {}; }
  void Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) override;
  bool Started() const override { return true; }
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t>) override { return {}; }
  std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                       int rssi) const override;

 private:
  void Line(std::vector<HeardTelegram>& heard);

  FrameCrcs plain_;
  std::string line_;
  bool too_long_ = false;
  std::uint64_t number_ = 0;
};

}  // namespace velmar::wmbus
