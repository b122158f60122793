// What a record means, once its head and data field have been read.
#pragma once

#include <span>

#include "velmar/records.hpp"

namespace velmar::records {

// What the LVAR byte of a variable-length field says its bytes are (kNot: a fixed field).
enum class Variable { kNot, kText, kBcd, kNegativeBcd, kBinary };

// Gives `r` its quantity, unit, unit suffix, error code and value from its VIF, VIFEs and data
// field (`field`, most significant byte first when `msb_first`).
void InterpretRecord(DataRecord& r, std::span<const std::uint8_t> field, Variable form,
                     bool msb_first);

}  // namespace velmar::records
