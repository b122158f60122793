#include "bus_worker.hpp"

#include <algorithm>
#include <cstdio>

#include "meter_read.hpp"
#include "reading_message.hpp"
#include "topics.hpp"
#include "velmar/bus.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/results.hpp"
#include "velmar/text.hpp"

namespace velmar::tools {
namespace {

constexpr auto kMaxBackoff = std::chrono::seconds(60);

std::string Outcome(const MeterRead& r, double seconds) {
  char text[200];
  if (!r.Ok()) {
    std::snprintf(text, sizeof text, "%s (%.2f s)", r.error.c_str(), seconds);
  } else if (r.maker) {
    std::snprintf(text, sizeof text, "ok, %.2f kWh, %zu telegrams (%.2f s)",
                  std::get<double>(r.maker->Get("ActiveEnergyTotal")), r.reading.telegrams.size(),
                  seconds);
  } else {
    std::snprintf(text, sizeof text, "ok, %zu records, %zu telegrams (%.2f s)",
                  r.reading.records.size(), r.reading.telegrams.size(), seconds);
  }
  return text;
}

}  // namespace

BusPlatform PosixBusPlatform(const BusEntry& bus) {
  auto events = std::make_unique<posix::PosixEventLoop>();
  std::unique_ptr<SerialPortBase> port = posix::PortForDevice(*events, bus.device);
  port->SetSettings(std::to_string(bus.speed) + ",e,8,1");
  port->SetRTSEnable(bus.rts);
  return {std::move(events), std::move(port)};
}

BusWorker::BusWorker(BusEntry bus, std::string prefix, ReadingSink sink, PollLog& log,
                     BusPlatformFactory platform)
    : bus_(std::move(bus)),
      prefix_(std::move(prefix)),
      sink_(std::move(sink)),
      log_(log),
      platform_(std::move(platform)) {}

BusWorker::~BusWorker() {
  RequestStop();
  Join();
}

void BusWorker::Start() {
  // Nothing a bus or radio meets may take the others down with it: what ends this one is logged.
  worker_.Start([this] { Run(); },
                [this](const std::exception& e) {
                  log_.Note("bus " + bus_.name + ": stopped: " + e.what());
                });
}

void BusWorker::RequestStop() {
  worker_.RequestStop();
}

void BusWorker::Join() {
  worker_.Join();
}

void BusWorker::Lost(const std::string& why, std::vector<Clock::time_point>& due) {
  if (!down_) {
    log_.Note("bus " + bus_.name + ": " + ShownName(bus_.device) + " unavailable (" + why +
              "); trying again in " + std::to_string(backoff_.count()) +
              " s, then less often up to every 60 s");
    down_ = true;
    down_since_ = Clock::now();
    told_working_ = false;
    if (link_) link_(bus_.name, false, why);
    if (availability_) {
      for (const MeterEntry& meter : bus_.meters) availability_(meter, false);
    }
  }
  const auto retry = Clock::now() + backoff_;
  for (auto& d : due) d = std::max(d, retry);
  backoff_ = std::min(backoff_ * 2, std::chrono::seconds(kMaxBackoff));
}

// The port works: after an outage, said in the log; to the link sink once after each outage
// (and at the first read).
void BusWorker::Working() {
  if (down_) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - down_since_).count();
    log_.Note("bus " + bus_.name + ": " + ShownName(bus_.device) + " is back after " +
              std::to_string(seconds) + " s");
    down_ = false;
    backoff_ = std::chrono::seconds(1);
  }
  if (!told_working_ && link_) link_(bus_.name, true, "");
  told_working_ = true;
}

// One reading, published alone: a failed read carries its result and why, nothing of any
// other meter's.
std::string BusWorker::Publish(std::size_t index, const MeterRead& r,
                               std::chrono::system_clock::time_point when) {
  const MeterEntry& meter = bus_.meters[index];
  if (r.Ok()) last_good_[index] = when;
  nlohmann::ordered_json j = ReadingMessage(meter, bus_.name, when, r, last_good_[index]);
  ProfileReading named;
  if (profiles_ != nullptr && r.Ok()) {
    ReadByProfile(*profiles_, r.reading.header, r.reading.records, r.reading.manufacturerData,
                  named);
    AddProfileJson(named, j);
  }
  std::string where = sink_(StateTopic(prefix_, meter.name),
                            j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (state_sink_) state_sink_(meter, r, named);
  return where;
}

void BusWorker::Run() {
  BusPlatform platform = platform_(bus_);
  Bus bus(*platform.events, *platform.port);
  std::vector<Clock::time_point> due(bus_.meters.size(), Clock::now());
  last_good_.assign(bus_.meters.size(), std::nullopt);
  while (!worker_.Stopping()) {
    const auto next = std::min_element(due.begin(), due.end()) - due.begin();
    if (!worker_.SleepUntil(due[next])) break;
    const MeterEntry& meter = bus_.meters[static_cast<std::size_t>(next)];
    const auto started = Clock::now();
    due[static_cast<std::size_t>(next)] = started + std::chrono::seconds(meter.interval);
    const auto address = Address::Parse(meter.address);
    const MeterRead r = ReadMeter(bus, *address);
    if (r.PortFailed()) {
      Lost(r.error, due);
      continue;
    }
    Working();
    const auto when = std::chrono::system_clock::now();
    const std::string where = Publish(static_cast<std::size_t>(next), r, when);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    log_.Read(when, bus_.name + "/" + meter.name + ": " + Outcome(r, seconds) + "; " + where);
  }
  bus.Close();
}

}  // namespace velmar::tools
