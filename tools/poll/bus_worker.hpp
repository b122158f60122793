// One bus of the collector: its own thread, its own loop, port and bus master, reading its
// meters in turn, each at its interval. A failed read (no reply, a bad checksum) is a reading
// too, with its result and nothing else; a port that cannot be opened or vanishes stops the
// bus's reads, makes every meter of the bus unavailable at once (its last values are no longer
// current) and is tried again with back-off (1 s doubling to 60 s) while the other buses go
// on. When it works again, each meter's availability follows its next read.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "poll_config.hpp"
#include "poll_log.hpp"
#include "profiles.hpp"
#include "velmar/platform.hpp"
#include "worker_thread.hpp"

namespace velmar::tools {

// Where a reading goes: PREFIX/METER/state and its JSON text; returns where it went, for the log
// ("spooled on disk", ...).
using ReadingSink =
    std::function<std::string(const std::string& topic, const std::string& payload)>;

// Told of every read after its reading went to the sink: the collector keeps the meter's
// availability and its discovery messages from it.
// After a read: the meter, the read, and what the meter's profile made of it (no profile: an
// empty reading), so that discovery names what the message named.
using MeterStateSink = std::function<void(const MeterEntry& meter, const struct MeterRead& read,
                                          const struct ProfileReading& named)>;

// Told when a meter goes unavailable at once, without a read of its own (its bus or radio is
// lost, or a radio meter has not been heard for three intervals), or is heard again.
using AvailabilitySink = std::function<void(const MeterEntry& meter, bool available)>;

// Told when a bus's port (or a radio's receiver) is lost, with why, and when it works again
// ("" then); the first time it works is told too.
using LinkSink = std::function<void(const std::string& name, bool up, const std::string& why)>;

// What a bus runs on: its event loop and its port, made on the bus's own thread. The collector
// makes posix ones for the configured device; tests make virtual ones.
struct BusPlatform {
  std::unique_ptr<EventLoop> events;
  std::unique_ptr<SerialPort> port;
};
using BusPlatformFactory = std::function<BusPlatform(const BusEntry& bus)>;

// The loop and port of a real bus: the device or tcp:// gateway at the bus's speed, 8E1, RTS as
// configured.
BusPlatform PosixBusPlatform(const BusEntry& bus);

class BusWorker {
 public:
  BusWorker(BusEntry bus, std::string prefix, ReadingSink sink, PollLog& log,
            BusPlatformFactory platform = PosixBusPlatform);
  ~BusWorker();
  BusWorker(const BusWorker&) = delete;
  BusWorker& operator=(const BusWorker&) = delete;

  // Before Start(): who hears of each read besides the reading sink, of meters made
  // unavailable when the port is lost, and of the port lost and back.
  void OnMeterState(MeterStateSink sink) { state_sink_ = std::move(sink); }
  void OnAvailability(AvailabilitySink sink) { availability_ = std::move(sink); }
  void OnLink(LinkSink sink) { link_ = std::move(sink); }
  // Before Start(): the meter profiles whose fields and alarms each message carries (owned by
  // the caller, read only, for as long as the worker runs).
  void UseProfiles(const ProfileSet& profiles) { profiles_ = &profiles; }
  void Start();
  // Asks the thread to stop: a read in progress ends (within the bus's time-outs, a few seconds
  // at most), then the port closes. Never blocks.
  void RequestStop();
  void Join();

 private:
  using Clock = std::chrono::steady_clock;
  void Run();
  std::string Publish(std::size_t meter, const struct MeterRead& read,
                      std::chrono::system_clock::time_point when);
  void Lost(const std::string& why, std::vector<Clock::time_point>& due);
  void Working();

  BusEntry bus_;
  std::string prefix_;
  ReadingSink sink_;
  MeterStateSink state_sink_;
  AvailabilitySink availability_;
  LinkSink link_;
  const ProfileSet* profiles_ = nullptr;
  PollLog& log_;
  BusPlatformFactory platform_;
  std::chrono::seconds backoff_{1};
  bool down_ = false;
  bool told_working_ = false;  // the link sink has heard the port works
  Clock::time_point down_since_{};
  // When each meter last read well (what its failed readings say).
  std::vector<std::optional<std::chrono::system_clock::time_point>> last_good_;
  WorkerThread worker_;  // last: it stops and joins before the members its thread uses go
};

}  // namespace velmar::tools
