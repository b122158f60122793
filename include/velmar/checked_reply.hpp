// The control's reply check run offline: one received RSP_UD checked and walked in a chosen
// decode mode exactly as the control checks its replies, but on a link state and store of the
// call alone, so a host can show every stored field of any number of replies without touching
// the thread's own state.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velmar {

// One field of the header or of the store, as the store holds it: a whole number, a number, a
// flag, a text, or a list of one of them.
using StoredValue = std::variant<std::int64_t, double, bool, std::string, std::vector<std::int64_t>,
                                 std::vector<double>, std::vector<bool>>;

struct StoredField {
  std::string_view name;  // the store's own name: "identNumber", "activeEnergyTariff", ...
  StoredValue value;
};

struct CheckedReply {
  std::int16_t result = 0;           // 0 or a LinkResult code (text: MbusErrorText)
  std::vector<std::string> notices;  // what the walk would have shown the user, in order
  // The fixed header (primaryAddress, identNumber, manufacturerCode, versionByte, statusByte),
  // then every value of the store in its declared order; "mfrData" as hex text, only the bytes
  // the manufacturer block brought.
  std::vector<StoredField> fields;
};

// Checks `reply` (its first 32767 bytes at most) with decodeMode (250: any manufacturer block
// type; another value: only that block type). Never reads outside `reply`; microseconds; the
// thread's link state and store are untouched. Throws nothing but std::bad_alloc.
CheckedReply CheckReply(std::span<const std::uint8_t> reply, std::uint8_t decodeMode);

}  // namespace velmar
