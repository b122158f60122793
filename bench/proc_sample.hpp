// What a benchmark reads of another process (its CPU time and resident memory, from /proc) and
// of a reading's time stamp.
#pragma once

#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace velmar::bench {

struct ProcSample {
  double cpu_seconds = 0;
  long rss_kib = 0;
};

// utime + stime from /proc/PID/stat, VmRSS from /proc/PID/status.
inline ProcSample Sample(pid_t pid) {
  ProcSample s;
  std::string proc = "/proc/";
  proc += std::to_string(pid);
  std::ifstream stat(proc + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stol(f);
    if (i == 15) stime = std::stol(f);
  }
  s.cpu_seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss_kib = std::stol(line.substr(6));
  }
  return s;
}

// Milliseconds since the epoch of "2026-12-06T01:40:00.123Z".
inline double EpochMs(const std::string& iso) {
  std::tm t{};
  if (iso.size() < 23 || !strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &t)) return 0;
  return static_cast<double>(timegm(&t)) * 1000.0 + std::stod(iso.substr(20, 3));
}

}  // namespace velmar::bench
