// Small text helpers every layer and host shares: trimming, the characters that count as
// blanks, and how a message echoes a value someone typed.
#pragma once

#include <string>
#include <string_view>

namespace velmar {

// Space, tab, carriage return, line feed, vertical tab and form feed.
inline constexpr std::string_view kBlanks = " \t\r\n\v\f";

// `text` without the characters of `chars` at either end (by default all blanks). Linear time;
// never throws.
std::string_view Trim(std::string_view text, std::string_view chars = kBlanks);

// The first 20 characters of `text`, with "..." when there were more; control characters (C0,
// DEL, C1) and bytes that are not UTF-8 as '?'. What a message echoes of a value it refuses:
// always one line of valid UTF-8, never a split character. Linear in the shown part; throws
// only std::bad_alloc.
std::string Shown(std::string_view text);

// A file or device name as a message names it: whole, so it can be copied into a command, with
// every byte that is not part of a printable UTF-8 character written as \xHH (a name may hold
// any byte but '/' and NUL). Linear time; throws only std::bad_alloc.
std::string ShownName(std::string_view name);

// Whether `text` is valid UTF-8 without control characters (what Shown leaves as it is).
// Linear time; never throws.
bool Printable(std::string_view text);

}  // namespace velmar
