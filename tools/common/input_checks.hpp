// What the velmar tool accepts from a person before anything goes to a meter: addresses,
// speeds, passwords, clock texts, simulator settings. Each check returns "" for a good value
// or one line that names the value (at most a short prefix of it) and says what is accepted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velmar/text.hpp"

namespace velmar::tools {

// How the tool echoes what it refuses is the library's (its own messages echo the same way).
using velmar::Printable;
using velmar::Shown;

// Characters (UTF-8 code points) in `text`.
std::size_t CharacterCount(std::string_view text);

// `text` as one line: a line end as the two characters \n, other C0 controls as '?'. For a
// parser's message that quotes what it stopped at, which may be a line end.
std::string OneLine(std::string_view text);

// `message` with every word longer than 40 characters cut to its first 20 and "...", so an
// argument of any size is never echoed whole.
std::string ShortenLongWords(std::string_view message);

// A primary address: 0-250, 253 (the selected meter), 254 (any single meter), 255 (broadcast).
std::string CheckAddress(std::string_view text);
// What the bus commands take: a primary address (1-3 digits), or exactly 8 digits, an
// identification number (00000042 is an identification number, 42 a primary address).
std::string CheckReadAddress(std::string_view text);
// A reply time-out in milliseconds: 1 to 60000.
std::string CheckTimeout(std::string_view text);
// A baud rate from 300 to 921600.
std::string CheckSpeed(std::string_view text);
// A meter password: 1 to 8 printable ASCII characters (0x20-0x7E), one byte each, as the meter
// stores 8 bytes; anything else is refused and named.
std::string CheckPassword(std::string_view text);
// A file the tool opens by name must be a regular file (a FIFO or device would block the
// open or never end); "" when it is one or does not exist yet, else what it is.
std::string CheckRegularFile(const std::string& path);

// A calendar date and time of day, with the year in 2000-2099.
struct ClockFields {
  int year, month, day, hour, minute, second;
};
// "hhmmssDDMMYY" as set-time takes it; nullopt with `why` set when it is not a real clock.
std::optional<ClockFields> ParseSetTimeText(std::string_view text, std::string& why);
// "YYMMDDhhmmss" as the simulated meter's clock is configured.
std::optional<ClockFields> ParseMeterClockText(std::string_view text, std::string& why);
// This computer's local clock as hhmmssDDMMYY: what "now" sets a meter to.
std::string LocalClockText();
// set-time's TIME: "now" or a real clock in hhmmssDDMMYY.
std::string CheckSetTimeText(std::string_view text);

}  // namespace velmar::tools
