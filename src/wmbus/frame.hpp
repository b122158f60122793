// Opening a wireless frame: which format the receiver delivered, every block CRC checked, and
// the bytes without CRCs (L then the link layer and the application layer).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "velmar/wmbus.hpp"

namespace velmar::wmbus {

// The smallest frame: L, C, M (2) and A (6), then a CI.
constexpr std::size_t kLinkBytes = 10;

// Fills `format` and `bytes` (L rewritten to count the bytes after it without CRCs). Returns
// "" or why the frame cannot be opened. With the CRCs present, format A is recognised by its
// length and format B by a length of L + 1, and every block CRC must hold; with the CRCs
// removed by the receiver the frame must be L + 1 bytes.
std::string OpenFrame(std::span<const std::uint8_t> raw, FrameCrcs crcs, FrameFormat& format,
                      std::vector<std::uint8_t>& bytes);

}  // namespace velmar::wmbus
