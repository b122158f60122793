// `velmar read` as a user runs it, against its floor: the whole command (process start, port
// open, link reset, data request, printing, close, exit) on a real pseudo-terminal with the
// simulated meter behind it. The floor is what no master can save (the meter's answer delay
// twice, its acknowledge and its telegram on the line); what is left is the command's own cost:
// starting the process, its waits, its work. Measured until the reading is on the screen (its
// first line) and until the process has ended (the port closed, to within 5 ms).
//
//   cli_read [READS [BAUD ...]]     (defaults 30, 2400 9600)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "line_peers.hpp"
#include "process.hpp"
#include "pty_reader.hpp"

namespace {

using namespace velmar;

struct Row {
  double floor = 0, shownMedian = 0, overMedian = 0, overP95 = 0, exitOverMedian = 0;
  int failures = 0;
};

Row MeasureAt(int baud, int reads) {
  sim::SimMeter meter;
  sim::PtyMeterServer server(meter, baud);
  const double char_ms = 11.0 * 1000.0 / baud;
  Row row;
  row.floor = 2.0 * meter.config().responseDelayMs +
              static_cast<double>(1 + meter.DataTelegram().size()) * char_ms;
  const std::vector<std::string> command = {VELMAR_CLI,          "read",    "--device",
                                            server.DevicePath(), "--speed", std::to_string(baud),
                                            "--address",         "1"};
  std::vector<double> shown, over, exit_over;
  for (int i = 0; i < reads; ++i) {
    bench::Stopwatch sw;
    testing::BackgroundProcess read(command);
    const bool printed = !read.ReadLine().empty();
    const double ms = sw.WallSeconds() * 1e3;
    if (read.Stop(0, 10000) != 0 || !printed) ++row.failures;
    shown.push_back(ms);
    over.push_back(ms - row.floor);
    exit_over.push_back(sw.WallSeconds() * 1e3 - row.floor);
  }
  row.shownMedian = bench::Percentile(shown, 0.5);
  row.overMedian = bench::Percentile(over, 0.5);
  row.overP95 = bench::Percentile(over, 0.95);
  row.exitOverMedian = bench::Percentile(exit_over, 0.5);
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = argc > 1 ? std::atoi(argv[1]) : 30;
  std::vector<int> bauds;
  for (int i = 2; i < argc; ++i) bauds.push_back(std::atoi(argv[i]));
  if (bauds.empty()) bauds = {2400, 9600};
  if (reads < 1) {
    // Anything else would judge the target on no reads at all.
    std::fprintf(stderr, "usage: cli_read [READS (1 and up, default 30)] [BAUD ...]\n");
    return 2;
  }
  std::printf("velmar read, the whole command: %d runs per speed\n\n", reads);
  std::printf(
      "| baud | floor ms | shown median ms | shown over floor median ms | p95 ms | ended over "
      "floor median ms | failed reads |\n|---|---|---|---|---|---|---|\n");
  bool met = true;
  for (int baud : bauds) {
    const Row r = MeasureAt(baud, reads);
    std::printf("| %d | %.1f | %.2f | %.2f | %.2f | %.2f | %d |\n", baud, r.floor, r.shownMedian,
                r.overMedian, r.overP95, r.exitOverMedian, r.failures);
    met = met && r.overMedian <= 10 && r.failures == 0;
  }
  std::printf("\ntarget: over floor median <= 10 ms, no failed read: %s\n",
              met ? "met" : "NOT met");
  return met ? 0 : 1;
}
