// How long finding the meters of a bus takes against its floor, and how many probes it needs,
// for 1, 10, 30 and 100 meters at 2400 baud. The bus is simulated on the virtual line, so the
// times are the protocol's and Velmar's waits exactly, free of the machine's scheduling; the
// floor is what no master can save: each frame on the line, each answer after the meter's
// 20 ms answer delay and on the line, and the answer window the standard gives a meter (330 bit
// times plus 50 ms) wherever none came.
//
// Then the same scans of 10 meters on a real pseudo-terminal while LOAD processes (default 20)
// spin on the two cores: every meter must be found, no collision reported, and the time is set
// against the same floor less the requests' line time (a pseudo-terminal passes them on at
// once).
//
//   scan_bench [LOAD]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "bench_util.hpp"
#include "velmar/posix_platform.hpp"

#include "line_peers.hpp"
#include "velmar/scan.hpp"
#include "velmar/virtual_platform.hpp"

namespace {

using namespace velmar;

constexpr double kAnswerDelay = 0.020;  // the simulated meter's, before every answer

struct SimBus {
  explicit SimBus(int count) {
    // Identification numbers from a fixed sequence: spread over the number space, with groups
    // that share their leading digits, as meters of one delivery do.
    std::set<std::uint32_t> used;
    std::uint32_t x = 12345;
    while (static_cast<int>(used.size()) < count) {
      x = x * 1103515245u + 12345u;
      const std::uint32_t group = 10000000u + (x >> 8) % 9000u * 1000u;
      const std::uint32_t id = group + (x >> 20) % 1000u;
      if (!used.insert(id).second) continue;
      sim::MeterConfig c;
      c.primaryAddress = static_cast<std::uint8_t>(used.size());
      c.identNumber = static_cast<std::int32_t>(id);
      owned.push_back(std::make_unique<sim::SimMeter>(c));
    }
    for (auto& m : owned) meters.push_back(m.get());
    peer = std::make_unique<sim::VirtualMeterPeer>(meters);
    port = std::make_unique<virt::VirtualSerialPort>(loop, peer.get());
    port->SetSettings("2400,e,8,1");
    loop.SetPassLimit(1'000'000'000);
  }
  virt::VirtualEventLoop loop;
  std::vector<std::unique_ptr<sim::SimMeter>> owned;
  std::vector<sim::SimMeter*> meters;
  std::unique_ptr<sim::VirtualMeterPeer> peer;
  std::unique_ptr<virt::VirtualSerialPort> port;
};

void Row(const char* kind, int count, std::size_t found, double seconds, double floor, int probes) {
  std::printf("| %s | %d | %zu | %.2f | %.2f | %.2f %% | %d | %.1f |\n", kind, count, found,
              seconds, floor, 100.0 * (seconds - floor) / floor, probes,
              count > 0 ? static_cast<double>(probes) / count : 0.0);
}

std::vector<std::unique_ptr<sim::SimMeter>> PtyMeters(int count) {
  std::vector<std::unique_ptr<sim::SimMeter>> owned;
  for (int i = 0; i < count; ++i) {
    sim::MeterConfig c;
    c.primaryAddress = static_cast<std::uint8_t>(i + 1);
    c.identNumber = 12345600 + 3 * i;
    owned.push_back(std::make_unique<sim::SimMeter>(c));
  }
  return owned;
}

// Processes that only spin, to load the machine while a scan runs on a real line.
struct Load {
  explicit Load(int count) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        volatile int spin = 0;
        for (;;) static_cast<void>(spin);
      }
      if (pid > 0) pids.push_back(pid);
    }
  }
  ~Load() {
    for (pid_t p : pids) kill(p, SIGKILL);
    for (pid_t p : pids) waitpid(p, nullptr, 0);
  }
  std::vector<pid_t> pids;
};

bool UnderLoad(int load) {
  std::printf(
      "\nthe same scans of 10 meters on a pseudo-terminal at 2400 baud, %d spinning processes "
      "on the machine (wall seconds)\n\n",
      load);
  std::printf(
      "| scan | found | collisions | time s | floor s | over floor |\n|---|---|---|---|---|---|\n");
  bool met = true;
  for (const bool secondary : {false, true}) {
    auto owned = PtyMeters(10);
    std::vector<sim::SimMeter*> meters;
    for (auto& m : owned) meters.push_back(m.get());
    sim::PtyMeterServer server(meters, 2400);
    posix::PosixEventLoop events;
    posix::PosixSerialPort port(events);
    port.SetDefaultDevice(server.DevicePath());
    port.SetSettings("2400,e,8,1");
    Bus bus(events, port);
    BusScanner scanner(bus);
    bus.Reset(Address::Primary(0));  // open and settled
    const BusStats before = bus.Stats();
    std::vector<FoundMeter> found;
    bench::Stopwatch sw;
    {
      Load spin(load);
      found = secondary ? scanner.SearchSecondary() : scanner.ScanPrimary(0, 15);
    }
    const double seconds = sw.WallSeconds();
    const BusStats& after = bus.Stats();
    const double floor = after.heardSeconds - before.heardSeconds + after.silentSeconds -
                         before.silentSeconds +
                         (after.repliesHeard - before.repliesHeard) * kAnswerDelay;
    const auto collisions =
        std::count_if(found.begin(), found.end(), [](const FoundMeter& m) { return m.collision; });
    const auto readable =
        std::count_if(found.begin(), found.end(), [](const FoundMeter& m) { return m.readable; });
    std::printf("| %s | %ld | %ld | %.2f | %.2f | %.2f %% |\n",
                secondary ? "secondary" : "primary 0-15", static_cast<long>(readable),
                static_cast<long>(collisions), seconds, floor, 100.0 * (seconds - floor) / floor);
    met = met && readable == 10 && collisions == 0 && found.size() == 10 &&
          (seconds - floor) / floor <= 0.02;
  }
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  const int load = argc > 1 ? std::atoi(argv[1]) : 20;
  std::printf("bus scan at 2400 baud on the virtual line (times in virtual seconds)\n\n");
  std::printf(
      "| scan | meters | found | time s | floor s | over floor | probes | probes per meter |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  bool met = true;
  for (int count : {1, 10, 30, 100}) {
    for (const bool secondary : {true, false}) {
      SimBus b(count);
      Bus bus(b.loop, *b.port);
      BusScanner scanner(bus);
      const virt::Nanos start = b.loop.Now();
      const auto found = secondary ? scanner.SearchSecondary() : scanner.ScanPrimary(0, 250);
      // The port's open settle (50 ms) is part of the scan, not of the floor.
      const double seconds = static_cast<double>(b.loop.Now() - start) / 1e9 - 0.05;
      const BusStats& st = bus.Stats();
      const double floor =
          st.sentSeconds + st.heardSeconds + st.silentSeconds + st.repliesHeard * kAnswerDelay;
      Row(secondary ? "secondary" : "primary 0-250", count, found.size(), seconds, floor,
          scanner.Probes());
      met = met && found.size() == static_cast<std::size_t>(count) &&
            (seconds - floor) / floor <= 0.02;
    }
  }
  std::printf("\ntarget: every meter found, time over floor <= 2 %%: %s\n",
              met ? "met" : "NOT met");
  const bool loaded = UnderLoad(load);
  std::printf("\ntarget under load: every meter found, no collision, over floor <= 2 %%: %s\n",
              loaded ? "met" : "NOT met");
  return 0;
}
