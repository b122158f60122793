// What a record means, once its head and data field have been read.
#pragma once

#include <span>

#include "velmar/records.hpp"

namespace velmar::records {

// What the LVAR byte of a variable-length field says its bytes are (kNot: a fixed field).
enum class Variable { kNot, kText, kBcd, kNegativeBcd, kBinary };

struct MakerCodes;

// Gives `r` its quantity, unit, unit suffix, error code, phase and value from its VIF, VIFEs and
// data field (`field`, most significant byte first when `msb_first`), reading the codes left to
// the manufacturer by `maker`'s table (nullptr: the standard alone).
void InterpretRecord(DataRecord& r, std::span<const std::uint8_t> field, Variable form,
                     bool msb_first, const MakerCodes* maker);

}  // namespace velmar::records
