// libFuzzer target over compact frames (CI 0x79) and the formats full frames teach: each input
// is two telegrams for one fresh decoder, the first perhaps a full frame that shows a format,
// the second perhaps a compact frame that names it. Whatever comes, a compact frame is read only
// with a format this input's first telegram taught, its records lie inside the values rebuilt
// from that format, and a read telegram carries no failure.
//
// Input: one byte of flags (bit 0: the receiver left the CRCs in), two bytes of the first
// telegram's length (least significant first), the first telegram, then the second.
#include <cstdint>
#include <span>

#include "velmar/wmbus.hpp"

namespace {

bool Inside(std::span<const std::uint8_t> part, const std::vector<std::uint8_t>& area) {
  return part.empty() ||
         (part.data() >= area.data() && part.data() + part.size() <= area.data() + area.size());
}

void CheckRead(const velmar::WirelessTelegram& t) {
  const auto& area = t.compact ? t.expanded : t.bytes;
  for (const velmar::DataRecord& r : t.decoded.records) {
    if (!Inside(r.bytes, area)) __builtin_trap();
  }
  if (t.status == velmar::Status::kOk && !t.error.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const auto crcs = (data[0] & 1) != 0 ? velmar::FrameCrcs::kPresent : velmar::FrameCrcs::kRemoved;
  const std::size_t first = std::min<std::size_t>(data[1] | (data[2] << 8), size - 3);
  const std::span<const std::uint8_t> full(data + 3, first);
  const std::span<const std::uint8_t> compact(data + 3 + first, size - 3 - first);

  velmar::WirelessDecoder decoder;
  velmar::WirelessTelegram t;
  decoder.Decode(full, t, crcs);
  CheckRead(t);
  const bool taught = decoder.Formats().Size() != 0;
  if (t.learnedFormat != taught) __builtin_trap();
  decoder.Decode(compact, t, crcs);
  CheckRead(t);
  if (t.compact && t.status == velmar::Status::kOk && !taught) __builtin_trap();
  return 0;
}
