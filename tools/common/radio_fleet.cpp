#include "radio_fleet.hpp"

#include <array>

namespace velmar::tools {
namespace {

constexpr std::uint16_t kMaker = 0x58AC;  // "VEL"
constexpr int kDamagedEvery = 7;          // one telegram in seven is damaged on the air

struct Medium {
  std::uint8_t deviceType;
  std::uint8_t vif;  // volume in litres, or energy in kWh
};

constexpr std::array<Medium, 4> kMedia = {{
    {0x07, 0x13},  // water
    {0x04, 0x06},  // heat
    {0x03, 0x13},  // gas
    {0x02, 0x06},  // electricity
}};

}  // namespace

RadioFleet::RadioFleet(int meters, const MeterKey& key) : meters_(meters), key_(key) {}

std::string RadioFleet::Ident(int i) {
  return std::to_string(70000001 + i);
}

std::string RadioFleet::Protection(int i) {
  static constexpr const char* kNames[] = {"plain", "mode 5", "mode 7", "mode 5, another key"};
  return kNames[i % 4];
}

std::vector<std::uint8_t> RadioFleet::Next(bool& damaged) {
  const int i = static_cast<int>(sent_ % static_cast<std::uint32_t>(meters_));
  const std::uint32_t round = sent_ / static_cast<std::uint32_t>(meters_);
  const Medium& medium = kMedia[static_cast<std::size_t>(i) % kMedia.size()];
  WirelessMessage m;
  m.manufacturerCode = kMaker;
  m.ident = static_cast<std::uint32_t>(70000001 + i);
  m.version = 0x01;
  m.deviceType = medium.deviceType;
  m.accessNumber = static_cast<std::uint8_t>(round);
  m.counter = round + 1;
  m.securityMode = i % 4 == 1 || i % 4 == 3 ? 5 : i % 4 == 2 ? 7 : 0;
  const std::uint32_t value = 1000u * static_cast<std::uint32_t>(i + 1) + 10u * round;
  m.records = {0x04,
               medium.vif,
               static_cast<std::uint8_t>(value),
               static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16),
               static_cast<std::uint8_t>(value >> 24)};
  MeterKey key = key_;
  if (i % 4 == 3) key[0] ^= 0xFF;
  std::vector<std::uint8_t> t = BuildWirelessTelegram(m, &key);
  ++sent_;
  damaged = sent_ % kDamagedEvery == 0;
  return t;
}

}  // namespace velmar::tools
