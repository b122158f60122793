// One radio receiver of the collector: its own thread, loop and port, listening all the time.
// A telegram of a configured meter is published as that meter's reading when the meter's
// interval has passed since its last one (meters send far more often than a site needs); a
// meter not heard for three times its interval becomes unavailable. A receiver that cannot be
// opened, does not confirm its link mode or vanishes makes every meter of the radio unavailable
// at once and is tried again with back-off (1 s doubling to 60 s) while the buses go on.
#pragma once

#include <chrono>
#include <optional>

#include "bus_worker.hpp"
#include "poll_config.hpp"
#include "profiles.hpp"
#include "radio_pace.hpp"
#include "velmar/radio.hpp"
#include "velmar/wmbus.hpp"
#include "worker_thread.hpp"

namespace velmar::tools {

// Where the compact frame formats the radio's meters show are kept across restarts: those
// kept so far, and one more as a full frame shows it.
struct FormatStore {
  std::function<std::vector<CompactFormats::Format>()> load;
  std::function<void(const CompactFormats::Format&)> keep;
};

class RadioWorker {
 public:
  RadioWorker(RadioEntry radio, std::string prefix, ReadingSink sink, PollLog& log);
  ~RadioWorker();
  RadioWorker(const RadioWorker&) = delete;
  RadioWorker& operator=(const RadioWorker&) = delete;

  // Before Start(): who hears of each published reading, and of meters going silent.
  void OnMeterState(MeterStateSink sink) { state_sink_ = std::move(sink); }
  void OnAvailability(AvailabilitySink sink) { availability_ = std::move(sink); }
  void OnLink(LinkSink sink) { link_ = std::move(sink); }
  // Before Start(): the meter profiles whose fields and alarms each message carries (owned by
  // the caller, read only, for as long as the worker runs).
  void UseProfiles(const ProfileSet& profiles) { profiles_ = &profiles; }
  void KeepFormatsIn(FormatStore store) { formats_ = std::move(store); }
  void Start();
  // Asks the thread to stop; it ends within a second. Never blocks.
  void RequestStop();
  void Join();

 private:
  using Clock = std::chrono::steady_clock;
  struct Meter {
    const RadioMeterEntry* entry;
    RadioPace pace;
    std::optional<std::chrono::system_clock::time_point> lastGood;
    std::string lastFailure;  // why its telegrams since its last good one were not read
    ProfileReading named;     // what its profile made of its last telegram read
  };

  void Run();
  // Listens until the receiver fails or the worker stops.
  void Serve(RadioReceiver& receiver, WirelessDecoder& decoder);
  void Heard(const HeardTelegram& h, const WirelessTelegram& t);
  void CheckSilence(Clock::time_point now);
  void Lost(const std::string& why);

  RadioEntry radio_;
  std::string prefix_;
  ReadingSink sink_;
  MeterStateSink state_sink_;
  AvailabilitySink availability_;
  LinkSink link_;
  const ProfileSet* profiles_ = nullptr;
  bool down_ = false;
  bool delivered_ = false;  // the running receiver has delivered a telegram
  FormatStore formats_;
  PollLog& log_;
  std::vector<Meter> meters_;
  Clock::time_point started_{};
  WorkerThread worker_;  // last: it stops and joins before the members its thread uses go
};

}  // namespace velmar::tools
