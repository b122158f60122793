// The collector's log: one line each on stderr, stamped with the UTC time to the millisecond, so
// journald or a terminal shows what happened when. Lines from many bus threads never mix.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace velmar::tools {

// "2026-12-06T01:40:00.123Z": ISO 8601 in UTC with milliseconds.
std::string IsoUtc(std::chrono::system_clock::time_point when);

class PollLog {
 public:
  // Lines go to stderr, or to `sink` when one is given (a test reads them there).
  explicit PollLog(bool verbose, std::function<void(const std::string& line)> sink = {})
      : verbose_(verbose), sink_(std::move(sink)) {}
  // Always written: what a person must know (a bus lost, the broker away or back).
  void Note(const std::string& text);
  // Written with --verbose only: one line per read, stamped with the reading's own time.
  void Read(std::chrono::system_clock::time_point when, const std::string& text);
  bool verbose() const { return verbose_; }

 private:
  void Write(const std::string& line);
  std::mutex mutex_;
  bool verbose_;
  std::function<void(const std::string&)> sink_;
};

}  // namespace velmar::tools
