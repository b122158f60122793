// The keys of wireless meters, as a person writes them in a TOML file:
//
//   [[meter]]
//   id = "12345678"
//   key = "000102030405060708090A0B0C0D0E0F"
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velmar/wmbus.hpp"

namespace velmar::tools {

// A meter key written as 32 hex digits (blanks between pairs allowed); nullopt otherwise.
std::optional<MeterKey> ParseMeterKey(std::string_view text);
// Whether `text` is an identification number as a meter shows it: exactly eight digits.
bool IsWirelessIdent(std::string_view text);

// Reads the keys file at `path`. Throws Error for a file that cannot be read or that every user
// may write, and ArgumentError "FILE:LINE: ..." for a key that is not 32 hex digits, an id that
// is not eight digits, an id given twice, a missing id or key, or an unknown key; nothing is used
// then. `warning` is set to one line when the file holds keys every user may read, else "".
MeterKeys LoadKeysFile(const std::string& path, std::string& warning);
MeterKeys ParseKeysFile(std::string_view text, const std::string& name);

}  // namespace velmar::tools
