// Small text helpers every layer and host shares: trimming and the characters that count as
// blanks.
#pragma once

#include <string_view>

namespace velmar {

// Space, tab, carriage return, line feed, vertical tab and form feed.
inline constexpr std::string_view kBlanks = " \t\r\n\v\f";

// `text` without the characters of `chars` at either end (by default all blanks). Linear time;
// never throws.
std::string_view Trim(std::string_view text, std::string_view chars = kBlanks);

}  // namespace velmar
