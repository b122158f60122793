#include "wmbus/hex_lines.hpp"

#include "codec/hex.hpp"

namespace velmar::wmbus {
namespace {

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

void HexLinesProtocol::Line(std::string_view line, std::uint64_t number,
                            std::vector<HeardTelegram>& heard) {
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos || line[first] == '#') return;
  auto bytes = ParseHex(TelegramField(line));
  if (!bytes || bytes->empty()) {
    Skip("line " + std::to_string(number) + " is not hex");
    return;
  }
  // A software radio's line starts with the mode it heard the telegram in.
  const auto semicolon = line.find(';');
  const auto mode = semicolon == std::string_view::npos
                        ? std::nullopt
                        : RadioModeByName(line.substr(0, semicolon));
  heard.push_back({std::move(*bytes), std::nullopt, mode,
                   semicolon == std::string_view::npos ? plain_ : FrameCrcs::kRemoved});
}

std::vector<std::uint8_t> HexLinesProtocol::Indication(std::span<const std::uint8_t> telegram,
                                                       int) const {
  const std::string text = HexText(telegram) + "\n";
  return {text.begin(), text.end()};
}

}  // namespace velmar::wmbus
