#include "bus_worker.hpp"

#include <algorithm>
#include <cstdio>

#include "link/reply_check.hpp"
#include "meter_read.hpp"
#include "records_json.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/records.hpp"
#include "velmar/velmar.hpp"

namespace velmar::tools {
namespace {

constexpr auto kMaxBackoff = std::chrono::seconds(60);

// The control's decoder notices have no one to click them away here: they go to the log.
class LoggedMessageBox : public MessageBox {
 public:
  LoggedMessageBox(PollLog& log, std::string bus) : log_(log), bus_(std::move(bus)) {}
  void Show(const std::string& text, const std::optional<std::string>& title) override {
    log_.Note("bus " + bus_ + ": " + title.value_or("notice") + ": " + text);
  }

 private:
  PollLog& log_;
  std::string bus_;
};

std::string Outcome(const MeterRead& r, Velmar& v, double seconds) {
  char text[160];
  if (r.noReply) {
    std::snprintf(text, sizeof text, "no reply (%.2f s)", seconds);
  } else if (r.result != 0) {
    std::snprintf(text, sizeof text, "result %d: %s (%.2f s)", r.result,
                  MbusErrorText(static_cast<std::int16_t>(r.result)).c_str(), seconds);
  } else {
    std::snprintf(text, sizeof text, "ok, %.2f kWh (%.2f s)", v.ActiveEnergyTotal().ToDouble(),
                  seconds);
  }
  return text;
}

}  // namespace

BusWorker::BusWorker(BusEntry bus, std::string prefix, ReadingSink sink, PollLog& log)
    : bus_(std::move(bus)), prefix_(std::move(prefix)), sink_(std::move(sink)), log_(log) {}

BusWorker::~BusWorker() {
  RequestStop();
  Join();
}

void BusWorker::Start() {
  thread_ = std::thread([this] {
    // Nothing a bus meets may take the other buses down with it: what ends this one is logged.
    try {
      Run();
    } catch (const std::exception& e) {
      log_.Note("bus " + bus_.name + ": stopped: " + e.what());
    }
  });
}

void BusWorker::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
}

void BusWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

bool BusWorker::SleepUntil(Clock::time_point when) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_until(lock, when, [this] { return stop_.load(); });
}

void BusWorker::Lost(const std::string& why, std::vector<Clock::time_point>& due) {
  if (!down_) {
    log_.Note("bus " + bus_.name + ": " + bus_.device + " unavailable (" + why +
              "); trying again in 1 s, then less often up to every 60 s");
    down_ = true;
    down_since_ = Clock::now();
  }
  const auto retry = Clock::now() + backoff_;
  for (auto& d : due) d = std::max(d, retry);
  backoff_ = std::min(backoff_ * 2, std::chrono::seconds(kMaxBackoff));
}

void BusWorker::Run() {
  posix::PosixEventLoop events;
  LoggedMessageBox messages(log_, bus_.name);
  posix::ConsoleContainer container("Velmar_" + bus_.name);
  auto port = posix::PortForDevice(events, bus_.device);
  SerialPortBase* raw_port = port.get();
  Velmar control(HostServices{events, messages, container}, std::move(port));
  control.InitProperties();
  control.CommSpeed(Variant(static_cast<std::int32_t>(bus_.speed)));
  control.RTSEnable(Variant(bus_.rts));
  control.keepPortopen(true);  // one open per bus, not one per read
  control.noErrorPopup(true);

  std::vector<Clock::time_point> due(bus_.meters.size(), Clock::now());
  while (!stop_) {
    const auto next = std::min_element(due.begin(), due.end()) - due.begin();
    if (!SleepUntil(due[next])) break;
    const MeterEntry& meter = bus_.meters[next];
    const auto started = Clock::now();
    due[next] = started + std::chrono::seconds(meter.interval);
    MeterRead r;
    try {
      r = ReadMeter(control, events, meter.address);
    } catch (const PortError& e) {
      control.closePort();
      Lost(e.what(), due);
      continue;
    }
    if (!r.byIdent && r.result == ReadResult::kCouldNotInit) {
      Lost(raw_port->LastError(), due);
      continue;
    }
    if (down_) {
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - down_since_).count();
      log_.Note("bus " + bus_.name + ": " + bus_.device + " is back after " +
                std::to_string(seconds) + " s");
      down_ = false;
      backoff_ = std::chrono::seconds(1);
    }
    const auto when = std::chrono::system_clock::now();
    nlohmann::ordered_json j;
    j["meter"] = meter.name;
    j["bus"] = bus_.name;
    j["time"] = IsoUtc(when);
    const nlohmann::ordered_json values = ReadingJson(control, r.result);
    for (auto it = values.begin(); it != values.end(); ++it) j[it.key()] = it.value();
    DecodedTelegram telegram;
    DecodeTelegram(r.reply, telegram);
    j["records"] = RecordListJson(telegram);
    sink_(prefix_ + "/" + meter.name + "/state",
          j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    log_.Read(when, bus_.name + "/" + meter.name + ": " + Outcome(r, control, seconds));
  }
  control.closePort();
}

}  // namespace velmar::tools
