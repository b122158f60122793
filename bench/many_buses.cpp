// Many buses: K controls, each on its own thread with its own pseudo-terminal and simulated
// meter, each reading its meter 10 times. A read mostly waits, so K buses should take about as
// long as one: the ratio of the K-bus wall time to the one-bus wall time.
//
//   many_buses [READS [BAUD]]     (defaults 10, 2400)
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "pty_reader.hpp"

namespace {

struct Bus {
  explicit Bus(int baud) : reader({&meter}, baud, false) {}
  velmar::sim::SimMeter meter;
  velmar::bench::PtyReader reader;
  int failures = 0;
  double cpuMs = 0;
};

struct Result {
  double wallSeconds = 0;
  double cpuMs = 0;
  int failures = 0;
};

// The buses are set up first, so the timed part is the reading alone.
Result ReadAll(int buses, int reads, int baud) {
  std::vector<std::unique_ptr<Bus>> all;
  for (int i = 0; i < buses; ++i) all.push_back(std::make_unique<Bus>(baud));
  velmar::bench::Stopwatch sw;
  std::vector<std::thread> threads;
  for (auto& bus : all) {
    threads.emplace_back([&bus, reads] {
      velmar::bench::Stopwatch own;
      for (int r = 0; r < reads; ++r) {
        if (bus->reader.control->cmd_ReqUD2() != 0 ||
            bus->reader.control->MeterID() != velmar::Variant(bus->meter.config().identNumber)) {
          ++bus->failures;
        }
      }
      bus->cpuMs = own.CpuUsed() * 1e3;
    });
  }
  for (auto& t : threads) t.join();
  Result result{sw.WallSeconds(), 0, 0};
  for (const auto& bus : all) {
    result.cpuMs += bus->cpuMs;
    result.failures += bus->failures;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = argc > 1 ? std::atoi(argv[1]) : 10;
  const int baud = argc > 2 ? std::atoi(argv[2]) : 2400;
  std::printf("many buses: %d reads per bus at %d baud, one thread per bus, %u cores\n\n", reads,
              baud, std::thread::hardware_concurrency());
  std::printf(
      "| buses | wall s | ratio to one bus | CPU ms, all controls | failed reads |\n"
      "|---|---|---|---|---|\n");
  double single = 0, worst = 0;
  for (int k : {1, 2, 4, 8, 16}) {
    const Result r = ReadAll(k, reads, baud);
    if (k == 1) single = r.wallSeconds;
    const double ratio = r.wallSeconds / single;
    worst = ratio > worst ? ratio : worst;
    std::printf("| %d | %.3f | %.4f | %.1f | %d |\n", k, r.wallSeconds, ratio, r.cpuMs, r.failures);
  }
  std::printf("\ntarget: ratio <= 1.1 for every K: %s\n", worst <= 1.1 ? "met" : "NOT met");
  return 0;
}
