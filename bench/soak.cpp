// Soak: many meter reads in a row with a fault on one exchange in ten, first on the virtual
// platform, then on a real pseudo-terminal, keepPortopen alternating. Every result must be the
// one the fault calls for, and memory and file descriptors must stay flat once warmed up.
//
//   soak [VIRTUAL_READS [PTY_READS [BAUD]]]     (defaults 10000, 500, 38400)
//
// Exit status 0 when everything held, 1 otherwise.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "decode/meter_data.hpp"
#include "line_peers.hpp"
#include "link/link_state.hpp"
#include "pty_reader.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace {

using velmar::sim::Fault;
using velmar::sim::FaultKind;

// Faults whose effect ends with the read they hit (a late or trickled answer would spill into
// the next read and is covered by the fault matrix instead), with the read's outcome.
struct Expected {
  Fault fault;
  int result;
  bool timeout;
};

constexpr int kReadPauseMs = 150;

const std::vector<Expected> kFaults = {
    {{FaultKind::kSilence}, 0, true},       {{FaultKind::kDelay, kReadPauseMs + 3000}, 0, false},
    {{FaultKind::kBadChecksum}, -4, false}, {{FaultKind::kBadStart}, -1, false},
    {{FaultKind::kBadStop}, -2, false},     {{FaultKind::kBadControl}, -3, false},
    {{FaultKind::kBadCi}, -3, false},       {{FaultKind::kLongLength}, -6, false},
    {{FaultKind::kExtraBytes}, -2, false},  {{FaultKind::kNack}, -3, false},
    {{FaultKind::kGarbage}, -3, false},
};

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n - 1;
}

struct Tally {
  int reads = 0;
  int faults = 0;
  int unexpected = 0;
  long rssWarm = 0;
  long rssEnd = 0;
  int fdsWarm = 0;
  int fdsEnd = 0;
  double seconds = 0;
};

// Runs a function while the simulated meter may be touched.
using MeterAccess = std::function<void(const std::function<void()>&)>;

// One read, every fifth with a fault on its REQ_UD2 exchange (the SND_NKE acknowledge is the
// other exchange of a read): one fault in ten exchanges.
void ReadOnce(int i, velmar::Velmar& v, velmar::virt::RecordingMessageBox& boxes,
              velmar::sim::SimMeter& meter, const MeterAccess& withMeter, Tally& t) {
  const bool faulty = i % 5 == 4;
  const Expected want =
      faulty ? kFaults[static_cast<std::size_t>(i / 5) % kFaults.size()] : Expected{{}, 0, false};
  if (faulty) {
    withMeter([&] {
      meter.InjectFault({FaultKind::kNone});
      meter.InjectFault(want.fault);
    });
  }
  v.keepPortopen(i % 2 == 0);
  const int result = v.cmd_ReqUD2();
  bool ok = result == want.result && v.Timeout() == want.timeout;
  if (ok && !faulty) ok = v.MeterID() == velmar::Variant(meter.config().identNumber);
  if (!ok) {
    ++t.unexpected;
    std::fprintf(stderr, "read %d: result %d timeout %d, expected %d %d\n", i, result,
                 v.Timeout() ? 1 : 0, want.result, want.timeout ? 1 : 0);
  }
  t.faults += faulty;
  ++t.reads;
  boxes.shown.clear();
}

void Run(int reads, velmar::Velmar& v, velmar::virt::RecordingMessageBox& boxes,
         velmar::sim::SimMeter& meter, const MeterAccess& withMeter,
         const std::function<void()>& afterRead, Tally& t) {
  const auto start = std::chrono::steady_clock::now();
  const int warm = reads / 4;
  // The measurements allocate too (a file stream, a directory walk); do them once beforehand so
  // their own first use does not show as growth.
  t.rssWarm = ResidentKiB();
  t.fdsWarm = OpenDescriptors();
  for (int i = 0; i < reads; ++i) {
    if (i == warm) {
      v.closePort();  // compared with the end, when the port is closed too
      t.rssWarm = ResidentKiB();
      t.fdsWarm = OpenDescriptors();
    }
    ReadOnce(i, v, boxes, meter, withMeter, t);
    afterRead();
  }
  v.closePort();
  t.rssEnd = ResidentKiB();
  t.fdsEnd = OpenDescriptors();
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Tally SoakVirtual(int reads) {
  velmar::sim::SimMeter meter;
  velmar::sim::VirtualMeterPeer peer(meter);
  velmar::virt::VirtualEventLoop loop;
  // A wait that never ends would still be caught, but not the sheer length of the run.
  loop.SetPassLimit(100'000ULL * static_cast<std::uint64_t>(reads + 1));
  velmar::virt::RecordingMessageBox boxes;
  velmar::virt::RecordingContainer container;
  auto owned = std::make_unique<velmar::virt::VirtualSerialPort>(loop, &peer);
  velmar::virt::VirtualSerialPort& port = *owned;
  velmar::Velmar v({loop, boxes, container}, std::move(owned));
  v.InitProperties();
  v.CommSpeed(velmar::Variant(std::int32_t{2400}));
  const MeterAccess direct = [](const std::function<void()>& fn) { fn(); };
  Tally t;
  Run(
      reads, v, boxes, meter, direct, [&] { port.ClearTransmitted(); }, t);
  return t;
}

Tally SoakPty(int reads, int baud) {
  velmar::sim::SimMeter meter;
  velmar::bench::PtyReader reader({&meter}, baud, false);
  const MeterAccess locked = [&](const std::function<void()>& fn) { reader.server.WithMeters(fn); };
  Tally t;
  Run(
      reads, *reader.control, reader.messages, meter, locked, [] {}, t);
  return t;
}

bool Report(const char* name, const Tally& t) {
  const bool flat = t.rssEnd - t.rssWarm <= 256 && t.fdsEnd == t.fdsWarm;
  std::printf("| %-16s | %6d | %6d | %10d | %8ld | %8ld | %3d -> %-3d | %8.1f |\n", name, t.reads,
              t.faults, t.unexpected, t.rssWarm, t.rssEnd, t.fdsWarm, t.fdsEnd, t.seconds);
  return flat && t.unexpected == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int virtualReads = argc > 1 ? std::stoi(argv[1]) : 10000;
  const int ptyReads = argc > 2 ? std::stoi(argv[2]) : 500;
  const int baud = argc > 3 ? std::stoi(argv[3]) : 38400;
  std::printf("| %-16s | %6s | %6s | %10s | %8s | %8s | %-10s | %8s |\n", "line", "reads", "faults",
              "unexpected", "RSS warm", "RSS end", "fds", "wall s");
  std::printf(
      "|------------------|--------|--------|------------|----------|----------|------------|------"
      "----|\n");
  bool ok = Report("virtual, 2400", SoakVirtual(virtualReads));
  const std::string pty = "pty, " + std::to_string(baud);
  if (ptyReads > 0) ok = Report(pty.c_str(), SoakPty(ptyReads, baud)) && ok;
  std::printf(
      "RSS in KiB after the first quarter of the reads and at the end; flat means at most "
      "256 KiB of growth and the same descriptors.\n%s\n",
      ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
