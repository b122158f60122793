#include "poll_log.hpp"

#include <cstdio>
#include <ctime>

namespace velmar::tools {

std::string IsoUtc(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];  // room for any year the types can hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

void PollLog::Note(const std::string& text) {
  Write(IsoUtc(std::chrono::system_clock::now()) + " " + text);
}

void PollLog::Read(std::chrono::system_clock::time_point when, const std::string& text) {
  if (verbose_) Write(IsoUtc(when) + " " + text);
}

void PollLog::Write(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (sink_) {
    sink_(line);
    return;
  }
  std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace velmar::tools
