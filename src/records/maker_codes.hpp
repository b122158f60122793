// How one maker's meters use the codes EN 13757-3 leaves to the manufacturer: what its own VIF
// (0x7F/0xFF) codes mean, and how it marks the phase of a power, voltage or current record with
// a VIFE the standard would read as an error code.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "records/vif_tables.hpp"

namespace velmar::records {

// A code of the maker's VIF and what it names.
struct MakerVif {
  std::uint8_t code;  // the first VIFE after VIF 0xFF, without the extension bit
  VifEntry entry;
};

struct MakerCodes {
  std::uint16_t manufacturer;
  std::span<const MakerVif> vifs;
  // The quantity and unit of a power record by its subunit (0 active, then others); past the
  // end the subunit keeps the standard's reading.
  std::span<const VifEntry> powerBySubunit;
  // The phase a VIFE after the quantity selects (1-3), or 0 when the byte is not a phase.
  std::uint8_t (*phaseOf)(std::uint8_t vife);
};

// The maker's table for this manufacturer code, or nullptr: its meters are read by the standard
// alone.
const MakerCodes* MakerCodesFor(std::uint16_t manufacturerCode);

// The maker's meaning of a code of its VIF, or nullptr when the table has none.
const VifEntry* MakerVifEntry(const MakerCodes& maker, std::uint8_t code);

// Whether a record of this quantity carries a phase byte in the maker's coding.
bool IsPhased(Measure measure);

}  // namespace velmar::records
