// The fixed data structure (CI 0x73, and 0x77 with the counters most significant byte first):
// identification number, access number, status, medium and units, and two counters.
#pragma once

#include <cstdint>
#include <span>

#include "velmar/records.hpp"

namespace velmar::records {

// Decodes the 16 bytes after the CI field into `out`; false when fewer are there.
bool DecodeFixedData(std::span<const std::uint8_t> data, bool msb_first, DecodedTelegram& out);

}  // namespace velmar::records
