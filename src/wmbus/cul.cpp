#include "wmbus/cul.hpp"

#include <algorithm>
#include <cctype>

#include "codec/hex.hpp"

namespace velmar::wmbus {
namespace {

char ModeLetter(RadioMode mode) {
  switch (mode) {
    case RadioMode::kS1:
      return 's';
    case RadioMode::kC1:
      return 'c';
    case RadioMode::kT1:
      return 't';
  }
  return 't';
}

// The bytes of a format A frame of this L field with its CRCs: a CRC after the first block
// of ten bytes and after every sixteen bytes that follow.
std::size_t FormatALength(std::size_t l) {
  const std::size_t rest = l > 9 ? l - 9 : 0;
  return l + 1 + 2 * (1 + (rest + 15) / 16);
}

// "TMODE", "smode", "C-MODE": the answer naming the mode the stick now receives.
bool NamesAMode(std::string_view line) {
  std::string word;
  for (char c : line) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
  }
  return word == "TMODE" || word == "SMODE" || word == "CMODE";
}

}  // namespace

int CulRssi(std::uint8_t level) {
  const int value = level >= 128 ? level - 256 : level;
  return value / 2 - 74;
}

std::vector<std::uint8_t> CulProtocol::StartCommand(RadioMode mode) const {
  // X21: report what is received, with the RSSI byte (bit 5) after each telegram.
  const std::string text = std::string("X21\r\nbr") + ModeLetter(mode) + "\r\n";
  return {text.begin(), text.end()};
}

// The line's byte count against its L field tells whether the stick left the block CRCs in
// and whether an RSSI byte follows.
void CulProtocol::Telegram(std::vector<std::uint8_t> bytes, std::uint64_t number,
                           std::vector<HeardTelegram>& heard) {
  const std::size_t l = bytes[0];
  HeardTelegram t;
  if (bytes.size() == l + 1 || bytes.size() == FormatALength(l)) {
    t.crcs = bytes.size() == l + 1 ? FrameCrcs::kRemoved : FrameCrcs::kPresent;
  } else if (bytes.size() == l + 2 || bytes.size() == FormatALength(l) + 1) {
    t.crcs = bytes.size() == l + 2 ? FrameCrcs::kRemoved : FrameCrcs::kPresent;
    t.rssi = CulRssi(bytes.back());
    bytes.pop_back();
  } else {
    Skip("line " + std::to_string(number) + ": " + std::to_string(bytes.size()) +
         " bytes do not fit the L field " + std::to_string(l));
    return;
  }
  t.bytes = std::move(bytes);
  heard.push_back(std::move(t));
}

void CulProtocol::Line(std::string_view line, std::uint64_t number,
                       std::vector<HeardTelegram>& heard) {
  if (line.size() > 1 && line[0] == 'b') {
    auto bytes = ParseHex(line.substr(1));
    if (bytes && bytes->size() >= 2) {
      Telegram(std::move(*bytes), number, heard);
    } else {
      Skip("line " + std::to_string(number) + " is a 'b' line without a telegram in hex");
    }
  } else if (NamesAMode(line)) {
    started_ = true;
  } else if (!line.empty()) {
    Skip("line " + std::to_string(number) +
         " is not a culfw wireless M-Bus line: " + std::string(line.substr(0, 40)));
  }
}

std::vector<std::uint8_t> CulProtocol::Answer(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b != '\n' && b != '\r') {
      if (command_.size() < 64) command_.push_back(static_cast<char>(b));
      continue;
    }
    if (command_.size() == 3 && command_[0] == 'b' && command_[1] == 'r') {
      const char mode = static_cast<char>(std::toupper(static_cast<unsigned char>(command_[2])));
      if (mode == 'T' || mode == 'S' || mode == 'C') out += std::string(1, mode) + "MODE\r\n";
    }
    command_.clear();
  }
  return {out.begin(), out.end()};
}

std::vector<std::uint8_t> CulProtocol::Indication(std::span<const std::uint8_t> telegram,
                                                  int rssi) const {
  const int level = std::clamp((rssi + 74) * 2, -128, 127);
  const std::uint8_t raw = static_cast<std::uint8_t>(level & 0xFF);
  std::string text(1, 'b');
  text += HexText(telegram);
  text += HexText(std::span(&raw, 1));
  text += "\r\n";
  return {text.begin(), text.end()};
}

}  // namespace velmar::wmbus
