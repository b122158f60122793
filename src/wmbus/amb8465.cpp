#include "wmbus/amb8465.hpp"

#include <algorithm>

namespace velmar::wmbus {
namespace {

constexpr std::uint8_t kStart = 0xFF;
constexpr std::uint8_t kDataIndication = 0x03;
constexpr std::uint8_t kSetMode = 0x04;
constexpr std::uint8_t kConfirm = 0x80;

// The stick's mode numbers for a collector (the "other" side of a link).
std::uint8_t ModeNumber(RadioMode mode) {
  switch (mode) {
    case RadioMode::kS1:
      return 0x03;
    case RadioMode::kT1:
      return 0x08;
    case RadioMode::kC1:
      return 0x0E;
  }
  return 0x08;
}

std::vector<std::uint8_t> Frame(std::uint8_t command, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> f;
  f.reserve(payload.size() + 4);
  f.push_back(kStart);
  f.push_back(command);
  f.push_back(static_cast<std::uint8_t>(payload.size()));
  f.insert(f.end(), payload.begin(), payload.end());
  f.push_back(XorCheck(f));
  return f;
}

}  // namespace

std::uint8_t XorCheck(std::span<const std::uint8_t> bytes) {
  std::uint8_t x = 0;
  for (std::uint8_t b : bytes) x ^= b;
  return x;
}

int AmberRssi(std::uint8_t level) {
  const int value = level >= 128 ? level - 256 : level;
  return value / 2 - 74;
}

std::vector<std::uint8_t> Amb8465Protocol::StartCommand(RadioMode mode) const {
  const std::uint8_t payload[] = {ModeNumber(mode)};
  return Frame(kSetMode, payload);
}

bool Amb8465Protocol::Next(std::vector<std::uint8_t>& pending, std::uint8_t& command,
                           std::vector<std::uint8_t>& payload) {
  for (;;) {
    const auto start = std::find(pending.begin(), pending.end(), kStart);
    if (start != pending.begin()) {
      Skip("bytes outside a frame");
      pending.erase(pending.begin(), start);
    }
    if (pending.size() < 3) return false;
    const std::size_t total = 3 + pending[2] + 1;
    if (pending.size() < total) return false;
    if (XorCheck(std::span(pending).first(total - 1)) != pending[total - 1]) {
      Skip("a frame that fails its check byte");
      pending.erase(pending.begin());
      continue;
    }
    command = pending[1];
    payload.assign(pending.begin() + 3, pending.begin() + static_cast<std::ptrdiff_t>(total - 1));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
    return true;
  }
}

// A received telegram comes from its C field with the RX level after it; a stick set to keep
// the L field sends that too, which its value (the bytes after it) gives away.
void Amb8465Protocol::Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) {
  in_.insert(in_.end(), bytes.begin(), bytes.end());
  std::uint8_t command = 0;
  std::vector<std::uint8_t> payload;
  while (Next(in_, command, payload)) {
    if (command == (kSetMode | kConfirm)) {
      started_ = !payload.empty() && payload[0] == 0x00;
      continue;
    }
    if (command != kDataIndication || payload.size() < 2) continue;
    HeardTelegram t;
    t.rssi = AmberRssi(payload.back());
    payload.pop_back();
    if (payload[0] != payload.size() - 1) {
      t.bytes.push_back(static_cast<std::uint8_t>(payload.size()));
    }
    t.bytes.insert(t.bytes.end(), payload.begin(), payload.end());
    heard.push_back(std::move(t));
  }
}

std::vector<std::uint8_t> Amb8465Protocol::Answer(std::span<const std::uint8_t> bytes) {
  command_.insert(command_.end(), bytes.begin(), bytes.end());
  std::vector<std::uint8_t> out;
  std::uint8_t command = 0;
  std::vector<std::uint8_t> payload;
  while (Next(command_, command, payload)) {
    if (command != kSetMode) continue;
    const std::uint8_t ok[] = {0x00};
    const auto f = Frame(kSetMode | kConfirm, ok);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

std::vector<std::uint8_t> Amb8465Protocol::Indication(std::span<const std::uint8_t> telegram,
                                                      int rssi) const {
  std::vector<std::uint8_t> payload(telegram.begin() + 1, telegram.end());
  const int level = std::clamp((rssi + 74) * 2, -128, 127);
  payload.push_back(static_cast<std::uint8_t>(level & 0xFF));
  return Frame(kDataIndication, payload);
}

}  // namespace velmar::wmbus
