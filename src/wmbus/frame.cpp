#include "wmbus/frame.hpp"

#include <array>

namespace velmar {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    auto crc = static_cast<std::uint16_t>(b << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x3D65 : crc << 1);
    }
    table[b] = crc;
  }
  return table;
}

constexpr auto kCrcTable = MakeCrcTable();

// The CRC sent after a block, most significant byte first.
bool CrcHolds(std::span<const std::uint8_t> block, std::span<const std::uint8_t> crc) {
  const std::uint16_t want = WirelessCrc(block);
  return crc.size() == 2 && crc[0] == (want >> 8) && crc[1] == (want & 0xFF);
}

std::string Damaged(std::size_t block) {
  return "block " + std::to_string(block) + " fails its CRC (a damaged telegram)";
}

// Format A: the first block is L, C, M, A and its CRC; then blocks of 16 bytes, each with its
// CRC, the last one shorter.
std::size_t LengthA(std::size_t l) {
  const std::size_t rest = l - 9;
  return 1 + 9 + 2 + rest + 2 * ((rest + 15) / 16);
}

std::string OpenA(std::span<const std::uint8_t> raw, std::vector<std::uint8_t>& bytes) {
  if (!CrcHolds(raw.first(wmbus::kLinkBytes), raw.subspan(wmbus::kLinkBytes, 2))) {
    return Damaged(1);
  }
  bytes.assign(raw.begin(), raw.begin() + wmbus::kLinkBytes);
  std::size_t at = wmbus::kLinkBytes + 2;
  for (std::size_t block = 2; at < raw.size(); ++block) {
    const std::size_t n = std::min<std::size_t>(16, raw.size() - at - 2);
    if (!CrcHolds(raw.subspan(at, n), raw.subspan(at + n, 2))) return Damaged(block);
    bytes.insert(bytes.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                 raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n + 2;
  }
  return {};
}

// Format B: block 2 ends with a CRC over blocks 1 and 2, at most 128 bytes from L; a longer
// frame has a block 3 with its own CRC.
bool OpenB(std::span<const std::uint8_t> raw, std::vector<std::uint8_t>& bytes) {
  constexpr std::size_t kFirstTwo = 128;
  const std::size_t two = std::min(raw.size(), kFirstTwo);
  if (two < wmbus::kLinkBytes + 3 || !CrcHolds(raw.first(two - 2), raw.subspan(two - 2, 2))) {
    return false;
  }
  bytes.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(two - 2));
  if (raw.size() > kFirstTwo) {
    const auto three = raw.subspan(kFirstTwo);
    if (three.size() < 3 || !CrcHolds(three.first(three.size() - 2), three.last(2))) return false;
    bytes.insert(bytes.end(), three.begin(), three.end() - 2);
  }
  return true;
}

}  // namespace

std::string_view FrameFormatName(FrameFormat format) {
  switch (format) {
    case FrameFormat::kA:
      return "A";
    case FrameFormat::kB:
      return "B";
    default:
      return "without CRCs";
  }
}

std::uint16_t WirelessCrc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0;
  for (std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
  }
  return static_cast<std::uint16_t>(~crc);
}

namespace wmbus {

std::string OpenFrame(std::span<const std::uint8_t> raw, FrameCrcs crcs, FrameFormat& format,
                      std::vector<std::uint8_t>& bytes) {
  if (raw.size() < kLinkBytes + 1) {
    return "a frame of " + std::to_string(raw.size()) +
           " bytes is shorter than its link layer (L, C, M, A and a CI: 11 bytes)";
  }
  const std::size_t l = raw[0];
  if (crcs == FrameCrcs::kPresent && l >= kLinkBytes && raw.size() == LengthA(l)) {
    format = FrameFormat::kA;
    return OpenA(raw, bytes);
  }
  if (raw.size() == l + 1) {
    if (crcs == FrameCrcs::kRemoved) {
      format = FrameFormat::kWithoutCrc;
      bytes.assign(raw.begin(), raw.end());
    } else if (OpenB(raw, bytes)) {
      format = FrameFormat::kB;
      bytes[0] = static_cast<std::uint8_t>(bytes.size() - 1);
    } else {
      format = FrameFormat::kB;
      return "a format B frame whose CRC fails (a damaged telegram; one whose receiver removed "
             "the CRCs is read with the CRCs taken as removed)";
    }
    return {};
  }
  const bool shorter = raw.size() < l + 1;
  return "a frame of " + std::to_string(raw.size()) + " bytes is " +
         (shorter ? "shorter" : "longer") + " than its L field (" + std::to_string(l) + ") says" +
         (crcs == FrameCrcs::kPresent ? " in format A or B" : " without CRCs");
}

}  // namespace wmbus
}  // namespace velmar
