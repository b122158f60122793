#include "wmbus/im871a.hpp"

#include <algorithm>

namespace velmar::wmbus {
namespace {

constexpr std::uint8_t kStart = 0xA5;
constexpr std::uint8_t kDeviceManagement = 0x01;
constexpr std::uint8_t kRadioLink = 0x02;
constexpr std::uint8_t kSetConfigRequest = 0x03;
constexpr std::uint8_t kSetConfigResponse = 0x04;
constexpr std::uint8_t kTelegramIndication = 0x03;  // on the radio link endpoint
constexpr std::uint8_t kWithRssi = 0x4;
constexpr std::uint8_t kWithCrc = 0x8;
constexpr std::uint8_t kWithTimeStamp = 0x2;

// The stick's link-mode numbers.
std::uint8_t LinkMode(RadioMode mode) {
  switch (mode) {
    case RadioMode::kS1:
      return 0x00;
    case RadioMode::kT1:
      return 0x03;
    case RadioMode::kC1:
      return 0x06;  // C1, frame format A
  }
  return 0x03;
}

std::vector<std::uint8_t> Frame(std::uint8_t control, std::uint8_t endpoint, std::uint8_t id,
                                std::span<const std::uint8_t> payload,
                                std::span<const std::uint8_t> attached = {}) {
  std::vector<std::uint8_t> f;
  f.reserve(payload.size() + attached.size() + 6);
  f.push_back(kStart);
  f.push_back(static_cast<std::uint8_t>((control << 4) | endpoint));
  f.push_back(id);
  f.push_back(static_cast<std::uint8_t>(payload.size()));
  f.insert(f.end(), payload.begin(), payload.end());
  f.insert(f.end(), attached.begin(), attached.end());
  if ((control & kWithCrc) != 0) {
    const std::uint16_t crc = HciCrc(std::span(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
  }
  return f;
}

}  // namespace

std::uint16_t HciCrc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) {
      crc = static_cast<std::uint16_t>((crc & 1) != 0 ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
  }
  return static_cast<std::uint16_t>(~crc);
}

// Set configuration, kept in RAM only (the stick's flash is left alone): the flags say that a
// device mode (1: other, a collector) and a link mode follow.
std::vector<std::uint8_t> Im871aProtocol::StartCommand(RadioMode mode) const {
  const std::uint8_t payload[] = {0x00, 0x03, 0x01, LinkMode(mode)};
  return Frame(0, kDeviceManagement, kSetConfigRequest, payload);
}

bool Im871aProtocol::Next(std::vector<std::uint8_t>& pending, Message& m) {
  for (;;) {
    const auto start = std::find(pending.begin(), pending.end(), kStart);
    if (start != pending.begin()) {
      Skip("bytes outside a message");
      pending.erase(pending.begin(), start);
    }
    if (pending.size() < 4) return false;
    m.control = pending[1] >> 4;
    m.endpoint = pending[1] & 0x0F;
    m.id = pending[2];
    const std::size_t length = pending[3];
    const std::size_t attached = ((m.control & kWithTimeStamp) != 0 ? 4 : 0) +
                                 ((m.control & kWithRssi) != 0 ? 1 : 0) +
                                 ((m.control & kWithCrc) != 0 ? 2 : 0);
    const std::size_t total = 4 + length + attached;
    if (pending.size() < total) return false;
    const bool crc_ok =
        (m.control & kWithCrc) == 0 || HciCrc(std::span(pending).subspan(1, total - 3)) ==
                                           (pending[total - 2] | (pending[total - 1] << 8));
    if (!crc_ok) {
      Skip("a message that fails its CRC");
      pending.erase(pending.begin());  // look for the next start byte
      continue;
    }
    m.payload.assign(pending.begin() + 4, pending.begin() + static_cast<std::ptrdiff_t>(total));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
    return true;
  }
}

void Im871aProtocol::Take(const Message& m, std::vector<HeardTelegram>& heard) {
  if (m.endpoint == kDeviceManagement && m.id == kSetConfigResponse) {
    started_ = !m.payload.empty() && m.payload[0] == 0x00;
    return;
  }
  if (m.endpoint != kRadioLink || m.id != kTelegramIndication) return;
  // The stick sends the telegram from its C field, without CRCs; the length it gives is L.
  const std::size_t length = m.payload.size() - ((m.control & kWithTimeStamp) != 0 ? 4 : 0) -
                             ((m.control & kWithRssi) != 0 ? 1 : 0) -
                             ((m.control & kWithCrc) != 0 ? 2 : 0);
  HeardTelegram t;
  t.bytes.push_back(static_cast<std::uint8_t>(length));
  t.bytes.insert(t.bytes.end(), m.payload.begin(),
                 m.payload.begin() + static_cast<std::ptrdiff_t>(length));
  // An RSSI byte the stick attaches is its own level, whose scale in dBm its documents do
  // not give: it is not reported as dBm.
  heard.push_back(std::move(t));
}

void Im871aProtocol::Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) {
  in_.insert(in_.end(), bytes.begin(), bytes.end());
  Message m;
  while (Next(in_, m)) Take(m, heard);
}

std::vector<std::uint8_t> Im871aProtocol::Answer(std::span<const std::uint8_t> bytes) {
  command_.insert(command_.end(), bytes.begin(), bytes.end());
  std::vector<std::uint8_t> out;
  Message m;
  while (Next(command_, m)) {
    if (m.endpoint == kDeviceManagement && m.id == kSetConfigRequest) {
      const std::uint8_t ok[] = {0x00};
      const auto f = Frame(0, kDeviceManagement, kSetConfigResponse, ok);
      out.insert(out.end(), f.begin(), f.end());
    }
  }
  return out;
}

std::vector<std::uint8_t> Im871aProtocol::Indication(std::span<const std::uint8_t> telegram,
                                                     int rssi) const {
  const auto from_c = telegram.subspan(1);
  const std::uint8_t level[] = {static_cast<std::uint8_t>(std::clamp(rssi + 200, 0, 255))};
  return Frame(kWithRssi | kWithCrc, kRadioLink, kTelegramIndication, from_c, level);
}

}  // namespace velmar::wmbus
