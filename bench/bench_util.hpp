// Wall time, and the CPU time of the calling thread, over a stretch of code. The simulated meter
// runs on its own thread in the benchmarks, so only the control's thread is counted.
#pragma once

#include <time.h>

#include <chrono>

namespace velmar::bench {

inline double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Stopwatch {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = ThreadCpuSeconds();
  double WallSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  }
  double CpuUsed() const { return ThreadCpuSeconds() - cpu; }
};

}  // namespace velmar::bench
