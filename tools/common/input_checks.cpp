#include "input_checks.hpp"

#include "velmar/bus.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <ctime>

namespace velmar::tools {
namespace {

// Messages are built by appending: g++ 12 at -O3 warns (wrongly) about text put in front of a
// temporary string.
template <typename... Parts>
std::string Join(const Parts&... parts) {
  std::string text;
  (text.append(parts), ...);
  return text;
}

std::optional<long> WholeNumber(std::string_view text) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

bool AsciiDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int TwoDigits(std::string_view text, std::size_t at) {
  return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

int DaysIn(int month, int year) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0;  // 2000-2099: every fourth year, 2000 included
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::string CheckFields(const ClockFields& c) {
  if (c.month < 1 || c.month > 12) return Join("month ", std::to_string(c.month), " is not 01-12");
  if (c.day < 1 || c.day > DaysIn(c.month, c.year)) {
    return Join("day ", std::to_string(c.day), " is not in month ", std::to_string(c.month));
  }
  if (c.hour > 23) return Join("hour ", std::to_string(c.hour), " is not 00-23");
  if (c.minute > 59) return Join("minute ", std::to_string(c.minute), " is not 00-59");
  if (c.second > 59) return Join("second ", std::to_string(c.second), " is not 00-59");
  return {};
}

std::optional<ClockFields> ParseClock(std::string_view text, std::string& why, bool time_first) {
  if (text.size() != 12 || !AsciiDigits(text)) {
    why = Join("\"", Shown(text), "\" is not 12 digits");
    return std::nullopt;
  }
  const std::size_t time = time_first ? 0 : 6, date = time_first ? 6 : 0;
  ClockFields c{};
  c.hour = TwoDigits(text, time);
  c.minute = TwoDigits(text, time + 2);
  c.second = TwoDigits(text, time + 4);
  if (time_first) {
    c.day = TwoDigits(text, date);
    c.month = TwoDigits(text, date + 2);
    c.year = 2000 + TwoDigits(text, date + 4);
  } else {
    c.year = 2000 + TwoDigits(text, date);
    c.month = TwoDigits(text, date + 2);
    c.day = TwoDigits(text, date + 4);
  }
  why = CheckFields(c);
  if (!why.empty()) return std::nullopt;
  return c;
}

}  // namespace

std::size_t CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

std::string OneLine(std::string_view text) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else {
      line += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return line;
}

std::string ShortenLongWords(std::string_view message) {
  std::string out;
  std::size_t at = 0;
  while (at < message.size()) {
    const std::size_t end = std::min(message.find_first_of(" \n\t", at), message.size());
    const std::string_view word = message.substr(at, end - at);
    out += CharacterCount(word) > 40 || !Printable(word) ? Shown(word) : std::string(word);
    if (end < message.size()) out += message[end];
    at = end + 1;
  }
  return out;
}

std::string CheckAddress(std::string_view text) {
  const auto value = WholeNumber(text);
  if (!value) return Join("\"", Shown(text), "\" is not a number: use 0-250, 253, 254 or 255");
  if (*value < 0 || *value == 251 || *value == 252 || *value > 255) {
    return Shown(text) +
           " is out of range: 0-250 (a meter's primary address), 253, 254 (the one meter on the "
           "line) or 255";
  }
  return {};
}

std::string CheckReadAddress(std::string_view text) {
  if (Address::Parse(text)) return {};
  return Join("\"", Shown(text),
              "\" is not 0-250, 253, 254, 255 or an identification number of 8 digits "
              "(00000042; 42 is primary address 42)");
}

std::string CheckTimeout(std::string_view text) {
  const auto value = WholeNumber(text);
  if (!value || *value < 1 || *value > 60000) {
    return Join("\"", Shown(text), "\" is not a time-out: use 1 to 60000 milliseconds");
  }
  return {};
}

std::string CheckSpeed(std::string_view text) {
  const auto value = WholeNumber(text);
  if (!value || *value < 300 || *value > 921600) {
    return Join("\"", Shown(text), "\" is not a baud rate: use 300 to 921600, for example 2400");
  }
  return {};
}

std::string CheckPassword(std::string_view text) {
  if (text.empty()) {
    return "an empty password: a meter password is 1 to 8 printable ASCII characters";
  }
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) {
      return Join("\"", Shown(text),
                  "\" holds a character a meter password cannot: use 1 to 8 printable ASCII "
                  "characters (letters, digits, punctuation, space)");
    }
  }
  if (text.size() > 8) {
    return std::to_string(CharacterCount(text)) +
           " characters: a meter password has at most 8 (shorter ones are padded with 0)";
  }
  return {};
}

std::optional<ClockFields> ParseSetTimeText(std::string_view text, std::string& why) {
  return ParseClock(text, why, true);
}

std::optional<ClockFields> ParseMeterClockText(std::string_view text, std::string& why) {
  return ParseClock(text, why, false);
}

std::string CheckSetTimeText(std::string_view text) {
  if (text == "now") return {};
  std::string why;
  if (ParseSetTimeText(text, why)) return {};
  return why +
         ": give hhmmssDDMMYY (for example 143000051226 for 14:30:00 on 5 Dec "
         "2026) or now";
}

std::string LocalClockText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H%M%S%d%m%y", &local);
  return buf;
}

std::string CheckRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  const char* what = S_ISFIFO(st.st_mode)   ? "a FIFO"
                     : S_ISDIR(st.st_mode)  ? "a folder"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "not a regular file";
  return Join(Shown(path), " is ", what, ": give a regular file");
}

}  // namespace velmar::tools
