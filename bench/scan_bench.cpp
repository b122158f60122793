// How long finding the meters of a bus takes against its floor, and how many probes it needs,
// for 1, 10, 30 and 100 meters at 2400 baud. The bus is simulated on the virtual line, so the
// times are the protocol's and Velmar's waits exactly, free of the machine's scheduling; the
// floor is each probe's frame on the line plus the answer window the standard gives a meter
// (330 bit times plus 50 ms), or the answer's own line time where that is longer.
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

#include "line_peers.hpp"
#include "velmar/scan.hpp"
#include "velmar/virtual_platform.hpp"

namespace {

using namespace velmar;

struct Bus {
  explicit Bus(int count) {
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

}  // namespace

int main() {
  std::printf("bus scan at 2400 baud on the virtual line (times in virtual seconds)\n\n");
  std::printf(
      "| scan | meters | found | time s | floor s | over floor | probes | probes per meter |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  bool met = true;
  for (int count : {1, 10, 30, 100}) {
    for (const bool secondary : {true, false}) {
      Bus bus(count);
      BusScanner scanner(bus.loop, *bus.port);
      const virt::Nanos start = bus.loop.Now();
      const auto found = secondary ? scanner.SearchSecondary() : scanner.ScanPrimary(0, 250);
      // The port's open and close settle (50 ms each) are part of the scan, not of the floor.
      const double seconds = static_cast<double>(bus.loop.Now() - start) / 1e9 - 0.1;
      const double floor = scanner.FloorSeconds();
      Row(secondary ? "secondary" : "primary 0-250", count, found.size(), seconds, floor,
          scanner.Probes());
      met = met && found.size() == static_cast<std::size_t>(count) &&
            (seconds - floor) / floor <= 0.02;
    }
  }
  std::printf("\ntarget: every meter found, time over floor <= 2 %%: %s\n",
              met ? "met" : "NOT met");
  return met ? 0 : 1;
}
