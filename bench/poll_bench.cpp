// The collector at site scale: BUSES pseudo-terminal buses of METERS simulated meters each at
// 9600 baud, read by `velmar poll` for SECONDS and published to a real Mosquitto broker on
// 127.0.0.1. Reports the collector's CPU (of one core), its resident memory over the run, and the
// time from the last byte of each meter's answer to its message reaching a subscriber of the
// broker.
//   build/bench/bench/poll_bench [SECONDS=600] [BUSES=16] [METERS=25] [INTERVAL=20]
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "line_peers.hpp"
#include "meter_model.hpp"
#include "mqtt_support.hpp"
#include "proc_sample.hpp"
#include "process.hpp"
#include "pty_reader.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using velmar::bench::EpochMs;
using velmar::bench::Percentile;
using velmar::bench::ProcSample;
using velmar::bench::Sample;
using velmar::sim::PtyMeterServer;
using velmar::sim::SimMeter;

// Per bus: when each data answer's last byte left, and when each reading reached the
// subscriber. Readings of a bus are sequential and published in order, so the n-th message
// belongs to the n-th answer.
struct BusTimes {
  std::mutex mutex;
  std::deque<Clock::time_point> answered;
  std::vector<double> latency_ms;
  std::vector<double> own_ms;  // from the reading's time stamp (the read's end) to arrival
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
  const int buses = argc > 2 ? std::atoi(argv[2]) : 16;
  const int meters = argc > 3 ? std::atoi(argv[3]) : 25;
  const int interval = argc > 4 ? std::atoi(argv[4]) : 20;
  velmar::testing::TestBroker broker;
  broker.Start();

  std::vector<std::unique_ptr<SimMeter>> sims;
  std::vector<std::unique_ptr<PtyMeterServer>> lines;
  std::vector<std::unique_ptr<BusTimes>> times;
  std::map<std::string, BusTimes*> by_meter;
  const auto dir = broker.Dir();
  std::ofstream config(dir / "poll.toml");
  config << "[mqtt]\nhost = \"127.0.0.1\"\nport = " << broker.Port()
         << "\nprefix = \"site\"\nspool = \"" << (dir / "spool").string() << "\"\n";
  for (int b = 0; b < buses; ++b) {
    std::vector<SimMeter*> on_bus;
    for (int m = 1; m <= meters; ++m) {
      velmar::sim::MeterConfig c;
      c.primaryAddress = static_cast<std::uint8_t>(m);
      c.identNumber = 10000000 + b * 100 + m;
      sims.push_back(std::make_unique<SimMeter>(c));
      on_bus.push_back(sims.back().get());
    }
    lines.push_back(std::make_unique<PtyMeterServer>(on_bus, 9600));
    times.push_back(std::make_unique<BusTimes>());
    BusTimes* t = times.back().get();
    lines.back()->OnAnswered([t](const std::vector<std::uint8_t>& answer) {
      if (answer.size() < 20) return;  // an acknowledge, not a data telegram
      std::lock_guard lock(t->mutex);
      t->answered.push_back(Clock::now());
    });
    config << "[[bus]]\nname = \"bus" << b << "\"\ndevice = \"" << lines.back()->DevicePath()
           << "\"\nspeed = 9600\n";
    for (int m = 1; m <= meters; ++m) {
      std::string name = "b";
      name += std::to_string(b);
      name += 'm';
      name += std::to_string(m);
      config << "[[bus.meter]]\nname = \"" << name << "\"\naddress = " << m
             << "\ninterval = " << interval << "\n";
      by_meter[name] = t;
    }
  }
  config.close();

  // The subscriber stamps each reading as it arrives.
  mosquitto_lib_init();
  struct Ctx {
    std::map<std::string, BusTimes*>* by_meter;
    std::size_t received = 0;
  } ctx{&by_meter};
  mosquitto* sub = mosquitto_new("bench-sub", true, &ctx);
  mosquitto_message_callback_set(sub, [](mosquitto*, void* p, const mosquitto_message* msg) {
    const auto now = Clock::now();
    const double now_epoch_ms = std::chrono::duration<double, std::milli>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    auto* c = static_cast<Ctx*>(p);
    const std::string payload(static_cast<const char*>(msg->payload),
                              static_cast<std::size_t>(msg->payloadlen));
    const auto at = payload.find("\"time\":\"");
    const double read_end_ms = at == std::string::npos ? 0 : EpochMs(payload.substr(at + 8, 24));
    std::string topic = msg->topic;  // site/<meter>/state
    const auto a = topic.find('/') + 1;
    const auto it = c->by_meter->find(topic.substr(a, topic.rfind('/') - a));
    if (it == c->by_meter->end()) return;
    BusTimes* t = it->second;
    std::lock_guard lock(t->mutex);
    ++c->received;
    if (read_end_ms > 0) t->own_ms.push_back(now_epoch_ms - read_end_ms);
    if (t->answered.empty()) return;
    t->latency_ms.push_back(
        std::chrono::duration<double, std::milli>(now - t->answered.front()).count());
    t->answered.pop_front();
  });
  mosquitto_connect(sub, "127.0.0.1", broker.Port(), 60);
  mosquitto_subscribe(sub, nullptr, "site/+/state", 1);
  mosquitto_loop_start(sub);

  velmar::testing::BackgroundProcess collector({VELMAR_CLI, "poll", (dir / "poll.toml").string()},
                                               false, true);
  std::this_thread::sleep_for(std::chrono::seconds(5));  // warm-up: every port opened
  const pid_t pid = collector.Pid();
  const ProcSample start = Sample(pid);
  const auto wall0 = Clock::now();
  std::vector<long> rss;
  for (int s = 0; s < seconds; s += 10) {
    std::this_thread::sleep_for(std::chrono::seconds(std::min(10, seconds - s)));
    rss.push_back(Sample(pid).rss_kib);
  }
  const ProcSample end = Sample(pid);
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  collector.Interrupt();
  mosquitto_loop_stop(sub, true);

  std::vector<double> all;
  std::vector<double> own;
  for (auto& t : times) {
    all.insert(all.end(), t->latency_ms.begin(), t->latency_ms.end());
    own.insert(own.end(), t->own_ms.begin(), t->own_ms.end());
  }
  std::printf("%d buses x %d meters, 9600 baud, interval %d s, %.0f s measured\n", buses, meters,
              interval, wall);
  std::printf("readings at the broker: %zu (%.1f per second)\n", ctx.received,
              static_cast<double>(ctx.received) / (wall + 5));
  std::printf("collector CPU: %.2f %% of one core\n",
              100.0 * (end.cpu_seconds - start.cpu_seconds) / wall);
  std::printf("collector RSS: %ld KiB after warm-up, %ld min, %ld max, %ld at the end\n",
              start.rss_kib, *std::min_element(rss.begin(), rss.end()),
              *std::max_element(rss.begin(), rss.end()), rss.back());
  std::printf(
      "answer's last byte -> message at the subscriber: median %.2f ms, p95 %.2f ms, "
      "p99 %.2f ms, max %.2f ms (%zu readings)\n",
      Percentile(all, 0.5), Percentile(all, 0.95), Percentile(all, 0.99), Percentile(all, 1.0),
      all.size());
  std::printf(
      "end of the read (reading's time stamp, ms resolution) -> message at the "
      "subscriber: median %.1f ms, p95 %.1f ms, p99 %.1f ms, max %.1f ms\n",
      Percentile(own, 0.5), Percentile(own, 0.95), Percentile(own, 0.99), Percentile(own, 1.0));
  mosquitto_destroy(sub);
  return 0;
}
