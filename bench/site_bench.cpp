// Many sites on one broker: COLLECTORS `velmar poll` processes, each reading one bus of METERS
// simulated meters (a pseudo-terminal at 9600 baud) every INTERVAL seconds, all publishing to
// one Mosquitto broker on 127.0.0.1 for SECONDS, one subscriber taking every reading. Reports
// the readings taken and lost (taken, not at the subscriber, not kept in a spool), the
// collectors' CPU per 100 meters, the broker's messages per second, and the time from a
// reading's time stamp to the subscriber.
//   build/bench/bench/site_bench [SECONDS=300] [COLLECTORS=40] [METERS=25] [INTERVAL=15]
#include <mosquitto.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
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
using velmar::bench::Sample;

struct Site {
  std::vector<std::unique_ptr<velmar::sim::SimMeter>> meters;
  std::unique_ptr<velmar::sim::PtyMeterServer> line;
  std::filesystem::path config, log;
  std::unique_ptr<velmar::testing::BackgroundProcess> collector;
};

// Site c: its meters on a pseudo-terminal and the collector's configuration.
void MakeSite(Site& site, int c, int meters, int interval, std::uint16_t port,
              const std::filesystem::path& dir) {
  std::vector<velmar::sim::SimMeter*> on_bus;
  for (int m = 1; m <= meters; ++m) {
    velmar::sim::MeterConfig mc;
    mc.primaryAddress = static_cast<std::uint8_t>(m);
    mc.identNumber = 10000000 + c * 100 + m;
    site.meters.push_back(std::make_unique<velmar::sim::SimMeter>(mc));
    on_bus.push_back(site.meters.back().get());
  }
  site.line = std::make_unique<velmar::sim::PtyMeterServer>(on_bus, 9600);
  const std::string name = "site" + std::to_string(c);
  site.config = dir / (name + ".toml");
  site.log = dir / (name + ".log");
  std::ofstream config(site.config);
  config << "[mqtt]\nhost = \"127.0.0.1\"\nport = " << port << "\nprefix = \"" << name
         << "\"\nspool = \"" << (dir / name).string() << "\"\n[[bus]]\nname = \"bus\"\n"
         << "device = \"" << site.line->DevicePath() << "\"\nspeed = 9600\n";
  for (int m = 1; m <= meters; ++m) {
    config << "[[bus.meter]]\nname = \"m" << m << "\"\naddress = \"" << m
           << "\"\ninterval = " << interval << "\n";
  }
}

// The readings (good or failed: both are published) a collector's log says it took, and how many
// its last line left in the spool.
struct Taken {
  std::size_t readings = 0;
  std::size_t waiting = 0;
};

Taken ReadLog(const std::filesystem::path& log) {
  static const std::regex kRead(R"(^\S+ bus/m\d+: )");  // a reading, good or failed
  static const std::regex kStopped(R"(stopped: \d+ readings published, (\d+) waiting)");
  Taken t;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, kRead)) ++t.readings;
    if (std::regex_search(line, m, kStopped)) t.waiting = std::stoul(m[1]);
  }
  return t;
}

struct Received {
  std::mutex mutex;
  std::set<std::string> readings;  // topic and time: a reading sent twice counts once
  std::vector<double> latency_ms;  // reading's time stamp -> arrival
};

void OnMessage(mosquitto*, void* p, const mosquitto_message* msg) {
  const double now_ms =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  auto* r = static_cast<Received*>(p);
  const std::string payload(static_cast<const char*>(msg->payload),
                            static_cast<std::size_t>(msg->payloadlen));
  const auto at = payload.find("\"time\":\"");
  if (at == std::string::npos) return;
  const std::string time = payload.substr(at + 8, 24);
  std::lock_guard lock(r->mutex);
  if (r->readings.insert(std::string(msg->topic) + " " + time).second) {
    r->latency_ms.push_back(now_ms - EpochMs(time));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 300;
  const int collectors = argc > 2 ? std::atoi(argv[2]) : 40;
  const int meters = argc > 3 ? std::atoi(argv[3]) : 25;
  const int interval = argc > 4 ? std::atoi(argv[4]) : 15;
  velmar::testing::TestBroker broker;
  broker.Start();
  std::vector<Site> sites(static_cast<std::size_t>(collectors));
  for (int c = 0; c < collectors; ++c) {
    MakeSite(sites[static_cast<std::size_t>(c)], c, meters, interval, broker.Port(), broker.Dir());
  }

  mosquitto_lib_init();
  Received received;
  mosquitto* sub = mosquitto_new("bench-sub", true, &received);
  mosquitto_message_callback_set(sub, OnMessage);
  mosquitto_connect(sub, "127.0.0.1", broker.Port(), 60);
  mosquitto_subscribe(sub, nullptr, "+/+/state", 1);
  mosquitto_loop_start(sub);

  for (Site& s : sites) {
    const std::string command = "exec \"" + std::string(VELMAR_CLI) + "\" poll --verbose \"" +
                                s.config.string() + "\" 2>\"" + s.log.string() + "\"";
    s.collector = std::make_unique<velmar::testing::BackgroundProcess>(
        std::vector<std::string>{"/bin/sh", "-c", command});
  }
  std::vector<double> cpu0;
  for (Site& s : sites) cpu0.push_back(Sample(s.collector->Pid()).cpu_seconds);
  const auto wall0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double cpu = 0;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    cpu += Sample(sites[i].collector->Pid()).cpu_seconds - cpu0[i];
  }
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  for (Site& s : sites) ::kill(s.collector->Pid(), SIGINT);
  for (Site& s : sites) s.collector->Interrupt();
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the last readings reach the subscriber
  mosquitto_loop_stop(sub, true);

  std::size_t taken = 0, waiting = 0;
  for (const Site& s : sites) {
    const Taken t = ReadLog(s.log);
    taken += t.readings;
    waiting += t.waiting;
  }
  std::lock_guard lock(received.mutex);
  const std::size_t arrived = received.readings.size();
  const long lost = static_cast<long>(taken) - static_cast<long>(arrived + waiting);
  const int total = collectors * meters;
  std::printf("%d collectors x %d meters (%d meters), 9600 baud, interval %d s, %.0f s\n",
              collectors, meters, total, interval, wall);
  std::printf("readings taken %zu, at the subscriber %zu, kept in spools %zu, lost %ld\n", taken,
              arrived, waiting, lost < 0 ? 0 : lost);
  std::printf("collectors' CPU: %.2f %% of one core per 100 meters (%.1f %% in all)\n",
              100.0 * cpu / wall * 100.0 / total, 100.0 * cpu / wall);
  std::printf("broker: %.1f readings per second\n", static_cast<double>(arrived) / wall);
  std::printf("reading's time stamp -> subscriber: median %.1f ms, p95 %.1f ms, max %.1f ms\n",
              Percentile(received.latency_ms, 0.5), Percentile(received.latency_ms, 0.95),
              Percentile(received.latency_ms, 1.0));
  mosquitto_destroy(sub);
  return lost > 0 ? 1 : 0;
}
