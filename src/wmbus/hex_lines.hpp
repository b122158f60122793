// Telegrams as text, one per line in hex (blanks between bytes allowed), as software radio
// decoders print them: alone, or as the last of ';'-separated fields, with or without 0x.
// Blank lines and lines starting with '#' are passed over; a line that is not hex, or longer
// than any telegram, is counted and skipped.
#pragma once

#include "velmar/radio.hpp"

namespace velmar::wmbus {

class HexLinesProtocol : public LineReceiverProtocol {
 public:
  // The longest telegram (L 255 in format B with its CRCs) as hex with a blank after each byte.
  static constexpr std::size_t kMaxLine = 1024;
  // How a plain hex line's telegram comes: with its block CRCs (the default), or without.
  // A software radio's ';'-separated line comes without: the radio checked them.
  explicit HexLinesProtocol(FrameCrcs plain = FrameCrcs::kPresent)
      : LineReceiverProtocol(kMaxLine), plain_(plain) {}
  std::vector<std::uint8_t> StartCommand(RadioMode) const override { return {}; }
  bool Started() const override { return true; }
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t>) override { return {}; }
  std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                       int rssi) const override;

 private:
  void Line(std::string_view line, std::uint64_t number,
            std::vector<HeardTelegram>& heard) override;

  FrameCrcs plain_;
};

}  // namespace velmar::wmbus
