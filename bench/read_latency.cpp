// Read latency: 50 reads of the simulated meter on a real pseudo-terminal at 2400 and 9600 baud,
// each against the floor of the read sequence; the overhead is what Velmar adds on top.
//
//   read_latency [READS [BAUD ...]]     (defaults 50, 2400 9600)
//
// With VELMAR_EACH_READ set in the environment it also lists every read on stderr: wall, floor,
// overhead and CPU time.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.hpp"
#include "pty_reader.hpp"

namespace {

struct Row {
  int baud = 0;
  double floor = 0;
  double wallMedian = 0;
  double overMedian = 0;
  double overP95 = 0;
  double cpuPercent = 0;
  int failures = 0;
};

Row MeasureAt(int baud, int reads) {
  velmar::sim::SimMeter meter;
  velmar::bench::PtyReader reader({&meter}, baud, false);
  Row row{baud, velmar::bench::ReadFloorMs(meter, baud, true, true)};
  std::vector<double> wall, over;
  double wall_total = 0, cpu_total = 0;
  for (int i = 0; i < reads; ++i) {
    velmar::bench::Stopwatch sw;
    if (reader.control->cmd_ReqUD2() != 0 || reader.control->Timeout()) ++row.failures;
    const double ms = sw.WallSeconds() * 1e3, cpu = sw.CpuUsed() * 1e3;
    if (std::getenv("VELMAR_EACH_READ")) {
      std::fprintf(stderr,
                   "read %d at %d: wall %.2f ms, floor %.1f ms, overhead %.2f ms, CPU %.3f ms\n",
                   i + 1, baud, ms, row.floor, ms - row.floor, cpu);
    }
    wall.push_back(ms);
    over.push_back(ms - row.floor);
    wall_total += ms;
    cpu_total += cpu;
  }
  row.wallMedian = velmar::bench::Percentile(wall, 0.5);
  row.overMedian = velmar::bench::Percentile(over, 0.5);
  row.overP95 = velmar::bench::Percentile(over, 0.95);
  row.cpuPercent = 100.0 * cpu_total / wall_total;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = argc > 1 ? std::atoi(argv[1]) : 50;
  std::vector<int> bauds;
  for (int i = 2; i < argc; ++i) bauds.push_back(std::atoi(argv[i]));
  if (bauds.empty()) bauds = {2400, 9600};
  std::printf("read latency: %d reads per speed, port opened and closed by every read\n\n", reads);
  std::printf(
      "| baud | floor ms | wall median ms | overhead median ms | overhead p95 ms | CPU %% of "
      "wall | failed reads |\n|---|---|---|---|---|---|---|\n");
  bool met = true;
  for (int baud : bauds) {
    const Row r = MeasureAt(baud, reads);
    std::printf("| %d | %.1f | %.2f | %.2f | %.2f | %.3f | %d |\n", r.baud, r.floor, r.wallMedian,
                r.overMedian, r.overP95, r.cpuPercent, r.failures);
    met = met && r.overMedian <= 2 && r.overP95 <= 5 && r.cpuPercent <= 1 && r.failures == 0;
  }
  std::printf("\ntargets: overhead median <= 2 ms, p95 <= 5 ms, CPU <= 1 %% of wall: %s\n",
              met ? "met" : "NOT met");
  return 0;
}
