// Reads of the simulated meter on a real pseudo-terminal against the floor that the protocol
// sets: the fixed waits of the read sequence plus the characters on the line at 11 bits each.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.hpp"
#include "line_peers.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

int main(int argc, char** argv) {
  using namespace velmar;
  const int baud = argc > 1 ? std::atoi(argv[1]) : 2400;
  const int reads = argc > 2 ? std::atoi(argv[2]) : 20;
  sim::SimMeter meter;
  sim::PtyMeterServer server(meter, baud);
  posix::PosixEventLoop events;
  virt::RecordingMessageBox messages;
  posix::ConsoleContainer container;
  auto port = std::make_unique<posix::PosixSerialPort>(events);
  port->SetDevicePath(1, server.DevicePath());
  Velmar v(HostServices{events, messages, container}, std::move(port));
  v.InitProperties();
  v.CommSpeed(Variant(std::int32_t{baud}));
  v.keepPortopen(false);

  const double char_ms = 11.0 * 1000.0 / baud;
  const std::size_t telegram = meter.DataTelegram().size();
  // Open 50 + 200 pause after SND_NKE + the reply wait + 50 settle after closing. A pty takes
  // the master's frames at once, so the request characters cost no line time here. The reply
  // starts after the meter's response delay and is collected in 80 ms pauses from the end of
  // the 150 ms pause; it ends with the first pause that saw no new byte.
  const double answer_end = meter.config().responseDelayMs + telegram * char_ms;
  const double first = std::max(150.0, meter.config().responseDelayMs + char_ms);
  const double reply_done = first + 80 * std::ceil((answer_end - first) / 80) + 80;
  const double floor_ms = 50 + 200 + reply_done + 50;
  std::vector<double> overhead;
  double wall_total = 0, cpu_total = 0;
  std::printf("baud %d, telegram %zu bytes, floor %.1f ms\n", baud, telegram, floor_ms);
  std::printf("%-5s %9s %9s %9s %8s\n", "read", "wall ms", "over ms", "cpu ms", "result");
  for (int i = 1; i <= reads; ++i) {
    bench::Stopwatch sw;
    const int r = v.cmd_ReqUD2();
    const double wall = sw.WallSeconds() * 1e3, cpu = sw.CpuUsed() * 1e3;
    overhead.push_back(wall - floor_ms);
    wall_total += wall;
    cpu_total += cpu;
    std::printf("%-5d %9.1f %9.2f %9.3f %8d\n", i, wall, wall - floor_ms, cpu, r);
  }
  std::sort(overhead.begin(), overhead.end());
  std::printf("overhead median %.2f ms, p95 %.2f ms; cpu %.3f %% of wall\n",
              overhead[overhead.size() / 2],
              overhead[std::min(overhead.size() - 1, (overhead.size() * 95) / 100)],
              100.0 * cpu_total / wall_total);
}
