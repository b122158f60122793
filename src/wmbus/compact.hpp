// Compact frames: a meter that sends its full frame (every record with its DIF and VIF) only
// now and then sends the values alone in between, under the signature of the full frame's
// format (the CRC of its DIF and VIF bytes) and the CRC of the full records the values belong
// to. Reading one means putting the format back around the values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "velmar/records.hpp"

namespace velmar::wmbus {

// The format of the records `records` decoded from `area`: each record's DIF, DIFEs, VIF and
// VIFEs in turn. False when a record cannot be carried by a compact frame (a variable-length
// field or a plain-text unit, whose length is in the data) or manufacturer data follows.
bool FormatOf(std::span<const std::uint8_t> area, const DecodedTelegram& records,
              std::vector<std::uint8_t>& difvif);

// The full records: `difvif` with each record's data from `values` put after its VIFs.
// Returns "" or why the values do not fit the format.
std::string Expand(std::span<const std::uint8_t> difvif, std::span<const std::uint8_t> values,
                   std::vector<std::uint8_t>& area);

}  // namespace velmar::wmbus
