// A whole bus: one control reading 50 simulated meters at primary addresses 1 to 50 on one line,
// the port kept open across the scan as a data collector would; time per meter against the
// floor of a read.
//
//   whole_bus [METERS [BAUD]]     (defaults 50, 2400)
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "pty_reader.hpp"

int main(int argc, char** argv) {
  using namespace velmar;
  const int count = argc > 1 ? std::atoi(argv[1]) : 50;
  const int baud = argc > 2 ? std::atoi(argv[2]) : 2400;
  std::vector<std::unique_ptr<sim::SimMeter>> meters;
  std::vector<sim::SimMeter*> bus;
  for (int a = 1; a <= count; ++a) {
    sim::MeterConfig c;
    c.primaryAddress = static_cast<std::uint8_t>(a);
    c.identNumber = 40000000 + a;
    meters.push_back(std::make_unique<sim::SimMeter>(c));
    bus.push_back(meters.back().get());
  }
  bench::PtyReader reader(bus, baud, true);
  Velmar& v = *reader.control;
  std::vector<double> over;
  double wall_total = 0, floor_total = 0, cpu_total = 0;
  int failures = 0;
  for (int a = 1; a <= count; ++a) {
    sim::SimMeter& meter = *meters[static_cast<std::size_t>(a - 1)];
    v.txt_Adress().SetText(std::to_string(a));
    const double floor = bench::ReadFloorMs(meter, baud, a == 1, false);
    bench::Stopwatch sw;
    if (v.cmd_ReqUD2() != 0 || v.MeterID() != Variant(meter.config().identNumber)) ++failures;
    const double ms = sw.WallSeconds() * 1e3;
    cpu_total += sw.CpuUsed() * 1e3;
    over.push_back(ms - floor);
    wall_total += ms;
    floor_total += floor;
  }
  v.closePort();
  std::printf("whole bus: %d meters at primary addresses 1-%d, %d baud, port kept open\n\n", count,
              count, baud);
  std::printf(
      "| meters | wall s | floor s | per meter ms | overhead per meter median ms | p95 ms "
      "| CPU %% of wall | failed reads |\n|---|---|---|---|---|---|---|---|\n");
  std::printf("| %d | %.2f | %.2f | %.1f | %.2f | %.2f | %.3f | %d |\n", count, wall_total / 1e3,
              floor_total / 1e3, wall_total / count, bench::Percentile(over, 0.5),
              bench::Percentile(over, 0.95), 100.0 * cpu_total / wall_total, failures);
  return 0;
}
