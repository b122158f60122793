// A reply wait into its 3.1 s time-out on a real pseudo-terminal whose far end stays silent:
// how exactly the time-out ends, and how little CPU the wait costs.
#include <cstdio>
#include <vector>

#include "bench_util.hpp"
#include "line_peers.hpp"
#include "transport/transport.hpp"
#include "velmar/posix_platform.hpp"

int main() {
  using namespace velmar;
  sim::SimMeter silent;
  for (int i = 0; i < 100; ++i) silent.InjectFault({sim::FaultKind::kSilence});
  sim::PtyMeterServer server(silent);
  posix::PosixEventLoop events;
  posix::PosixSerialPort port(events);
  port.SetDevicePath(1, server.DevicePath());
  port.SetSettings("2400,e,8,1");
  Transport transport(port, events);
  transport.OpenPort();
  std::printf("%-6s %10s %10s %10s %8s\n", "run", "wall ms", "late ms", "cpu ms", "cpu %");
  for (int run = 1; run <= 5; ++run) {
    std::vector<std::uint8_t> reply;
    bench::Stopwatch sw;
    const int r = transport.ReceiveReply(reply);
    const double wall = sw.WallSeconds(), cpu = sw.CpuUsed();
    std::printf("%-6d %10.2f %10.2f %10.3f %8.3f%s\n", run, wall * 1e3, wall * 1e3 - 3100.0,
                cpu * 1e3, 100.0 * cpu / wall, r == -1 ? "" : "  (unexpected result)");
  }
  transport.closePort();
}
