// Bytes as hexadecimal text and back: the form of the frame logs, the trace and every tool that
// shows or takes telegrams.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmar {

// Two upper-case hex digits a byte, no separators ("10 40 FE" -> "1040FE"). Linear time.
std::string HexText(std::span<const std::uint8_t> bytes);

// Hex digits of either case, blanks between them allowed anywhere; nullopt when a character is
// neither, or the digits do not pair up into whole bytes. Linear time; never throws but
// std::bad_alloc.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);

}  // namespace velmar
