#include "wmbus/hex_lines.hpp"

#include "codec/hex.hpp"

namespace velmar::wmbus {
namespace {

// The longest telegram (L 255 in format B with its CRCs) as hex with a blank after each byte.
constexpr std::size_t kMaxLine = 1024;

// Software radios print fields before the telegram, separated by ';' (mode, CRC flags, time,
// signal levels, id), and the telegram as 0x...: the telegram is the last field.
std::string_view TelegramField(std::string_view line) {
  if (const auto semicolon = line.rfind(';'); semicolon != std::string_view::npos) {
    line.remove_prefix(semicolon + 1);
  }
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  if (line.size() >= 2 && line[0] == '0' && (line[1] == 'x' || line[1] == 'X')) {
    line.remove_prefix(2);
  }
  return line;
}

}  // namespace

void HexLinesProtocol::Line(std::vector<HeardTelegram>& heard) {
  ++number_;
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  const auto first = line_.find_first_not_of(" \t");
  if (too_long_) {
    Skip("line " + std::to_string(number_) + " is longer than " + std::to_string(kMaxLine) +
         " characters");
  } else if (first != std::string::npos && line_[first] != '#') {
    auto bytes = ParseHex(TelegramField(line_));
    if (!bytes || bytes->empty()) {
      Skip("line " + std::to_string(number_) + " is not hex");
    } else {
      // A software radio's line starts with the mode it heard the telegram in.
      const auto semicolon = line_.find(';');
      const auto mode = semicolon == std::string::npos
                            ? std::nullopt
                            : RadioModeByName(line_.substr(0, semicolon));
      heard.push_back({std::move(*bytes), std::nullopt, mode,
                       semicolon == std::string::npos ? plain_ : FrameCrcs::kRemoved});
    }
  }
  line_.clear();
  too_long_ = false;
}

void HexLinesProtocol::Feed(std::span<const std::uint8_t> bytes,
                            std::vector<HeardTelegram>& heard) {
  for (std::uint8_t b : bytes) {
    if (b == '\n') {
      Line(heard);
    } else if (line_.size() < kMaxLine) {
      line_.push_back(static_cast<char>(b));
    } else {
      too_long_ = true;
    }
  }
}

std::vector<std::uint8_t> HexLinesProtocol::Indication(std::span<const std::uint8_t> telegram,
                                                       int) const {
  const std::string text = HexText(telegram) + "\n";
  return {text.begin(), text.end()};
}

}  // namespace velmar::wmbus
