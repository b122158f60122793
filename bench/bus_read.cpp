// A meter read through the bus master on a real pseudo-terminal, against its floor: the line
// time of the four frames (link reset, its acknowledge, the data request, the telegram) and the
// meter's answer delay twice. A pty passes the master's frames on at once and the simulated
// meter paces its answers at the baud rate, so the floor is the acknowledge and the telegram on
// the line after each answer delay. The bus frames a reply by its length, so what it adds is
// the machine's wake-ups and its own work.
//
//   bus_read [READS [BAUD ...]]     (defaults 50, 2400 9600)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.hpp"
#include "line_peers.hpp"
#include "pty_reader.hpp"
#include "velmar/bus.hpp"
#include "velmar/posix_platform.hpp"

namespace {

using namespace velmar;

struct Row {
  double floor = 0, wallMedian = 0, overMedian = 0, overP95 = 0, cpuPercent = 0;
  int failures = 0;
};

Row MeasureAt(int baud, int reads) {
  sim::SimMeter meter;
  sim::PtyMeterServer server(meter, baud);
  posix::PosixEventLoop events;
  posix::PosixSerialPort port(events);
  port.SetDefaultDevice(server.DevicePath());
  port.SetSettings(std::to_string(baud) + ",e,8,1");
  Bus bus(events, port);
  bus.Reset(Address::Primary(1));  // the port is open and settled before the first read
  const double char_ms = 11.0 * 1000.0 / baud;
  Row row;
  row.floor = 2.0 * meter.config().responseDelayMs +
              static_cast<double>(1 + meter.DataTelegram().size()) * char_ms;
  std::vector<double> wall, over;
  double wall_total = 0, cpu_total = 0;
  for (int i = 0; i < reads; ++i) {
    bench::Stopwatch sw;
    if (bus.Read(Address::Primary(1)).result != Status::kOk) ++row.failures;
    const double ms = sw.WallSeconds() * 1e3;
    wall.push_back(ms);
    over.push_back(ms - row.floor);
    wall_total += ms;
    cpu_total += sw.CpuUsed() * 1e3;
  }
  row.wallMedian = bench::Percentile(wall, 0.5);
  row.overMedian = bench::Percentile(over, 0.5);
  row.overP95 = bench::Percentile(over, 0.95);
  row.cpuPercent = 100.0 * cpu_total / wall_total;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = argc > 1 ? std::atoi(argv[1]) : 50;
  std::vector<int> bauds;
  for (int i = 2; i < argc; ++i) bauds.push_back(std::atoi(argv[i]));
  if (bauds.empty()) bauds = {2400, 9600};
  std::printf("read through the bus master: %d reads per speed, port kept open\n\n", reads);
  std::printf(
      "| baud | floor ms | wall median ms | over floor median ms | over floor p95 ms | CPU %% of "
      "wall | failed reads |\n|---|---|---|---|---|---|---|\n");
  bool met = true;
  for (int baud : bauds) {
    const Row r = MeasureAt(baud, reads);
    std::printf("| %d | %.1f | %.2f | %.2f | %.2f | %.3f | %d |\n", baud, r.floor, r.wallMedian,
                r.overMedian, r.overP95, r.cpuPercent, r.failures);
    met = met && r.overMedian <= 5 && r.failures == 0;
  }
  std::printf("\ntarget: over floor median <= 5 ms, no failed read: %s\n", met ? "met" : "NOT met");
  return 0;
}
