#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <iostream>
#include <memory>

#include "bus_worker.hpp"
#include "commands.hpp"
#include "meter_read.hpp"
#include "mqtt_publisher.hpp"
#include "poll_config.hpp"
#include "poll_discovery.hpp"
#include "poll_log.hpp"
#include "radio_worker.hpp"
#include "spool.hpp"
#include "topics.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

const char* kPollHelp =
    "Exit status:\n"
    "  0   stopped by SIGINT or SIGTERM (readings not yet published stay in the spool)\n"
    "  1   the broker refused the collector (credentials) or failed the TLS check, or the\n"
    "      spool or TLS files failed\n"
    "  2   usage error, or a configuration file that is not right; nothing was started\n"
    "See docs/velmar-poll.toml for a configuration with every key.";

std::size_t MeterCount(const PollConfig& c) {
  std::size_t n = 0;
  for (const BusEntry& b : c.buses) n += b.meters.size();
  for (const RadioEntry& r : c.radios) n += r.meters.size();
  return n;
}

// Readings go to the spool first (so none is lost if the process dies), then the publisher is
// woken to send them. What the log says of each: where it went.
ReadingSink SpoolSink(Spool& spool, MqttPublisher& publisher, PollLog& log, std::int64_t limit) {
  auto dropped = std::make_shared<std::atomic<std::int64_t>>(0);
  return [&spool, &publisher, &log, limit, dropped](const std::string& topic,
                                                    const std::string& payload) {
    const Spool::Kept kept = spool.Push(topic, payload);
    if (kept.dropped > 0 && (++*dropped % 1000) == 1) {
      log.Note("spool full (" + std::to_string(limit) + " readings, " +
               std::to_string(Spool::kMemoryLimit) +
               " in memory while the disk refuses): dropping the oldest; " +
               std::to_string(dropped->load()) + " dropped so far");
    }
    publisher.Wake();
    return std::string(kept.where == Spool::Where::kDisk ? "spooled on disk"
                                                         : "kept in memory (disk refuses)");
  };
}

// After each read: the meter's availability, and (with discovery) the entities of the values
// it brought.
MeterStateSink MeterState(const MqttEntry& mqtt, MqttPublisher& publisher) {
  return [&mqtt, &publisher](const MeterEntry& meter, const MeterRead& read,
                             const ProfileReading& named) {
    publisher.Retain(AvailabilityTopic(mqtt.prefix, meter.name), read.Ok() ? "online" : "offline");
    if (!mqtt.discovery || !read.Ok()) return;
    for (const MqttMessage& m : MeterDiscovery(mqtt, meter, read, named)) {
      publisher.Retain(m.topic, m.payload);
    }
  };
}

// A meter shown unavailable at once: its bus or radio is lost, or a radio meter went silent.
AvailabilitySink Availability(const MqttEntry& mqtt, MqttPublisher& publisher) {
  return [&mqtt, &publisher](const MeterEntry& meter, bool online) {
    publisher.Retain(AvailabilityTopic(mqtt.prefix, meter.name), online ? "online" : "offline");
  };
}

// A bus's or radio's port lost or working, with why and since when, retained for whoever comes.
LinkSink Link(const MqttEntry& mqtt, MqttPublisher& publisher) {
  return [&mqtt, &publisher](const std::string& name, bool up, const std::string& why) {
    nlohmann::ordered_json j;
    j["bus"] = name;
    j["state"] = up ? "working" : "lost";
    j["since"] = IsoUtc(std::chrono::system_clock::now());
    if (!up) j["error"] = why;
    publisher.Retain(BusStateTopic(mqtt.prefix, name),
                     j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  };
}

// Every configured meter is a device from the start, with its status and flags.
void AnnounceMeters(const PollConfig& config, MqttPublisher& publisher) {
  if (!config.mqtt.discovery) return;
  auto announce = [&](const MeterEntry& meter) {
    for (const MqttMessage& m : MeterStatusDiscovery(config.mqtt, meter)) {
      publisher.Retain(m.topic, m.payload);
    }
  };
  for (const BusEntry& bus : config.buses) {
    for (const MeterEntry& meter : bus.meters) announce(meter);
  }
  for (const RadioEntry& radio : config.radios) {
    for (const RadioMeterEntry& meter : radio.meters) announce(meter.meter);
  }
}

// SIGINT and SIGTERM are blocked in every thread and taken here, between checks that the broker
// has not refused the collector.
int WaitForStop(const sigset_t& signals, MqttPublisher& publisher, PollLog& log) {
  for (;;) {
    const timespec tick{0, 200'000'000};
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      log.Note(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
               ": the reads in progress end, then the ports close");
      return kExitOk;
    }
    if (const std::string fatal = publisher.Fatal(); !fatal.empty()) {
      std::cerr << "Error: " << fatal << '\n';
      return kExitError;
    }
  }
}

int Poll(const PollConfig& config, bool verbose) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  mosquitto_lib_init();
  PollLog log(verbose);
  Spool spool(SpoolFolder(config.mqtt), config.mqtt.spoolLimit,
              [&log](const std::string& note) { log.Note(note); });
  MqttPublisher publisher(config.mqtt, spool, log,
                          config.mqtt.discovery
                              ? std::vector<MqttMessage>{CollectorDiscovery(config.mqtt)}
                              : std::vector<MqttMessage>{});
  const ReadingSink sink = SpoolSink(spool, publisher, log, config.mqtt.spoolLimit);
  log.Note("polling " + std::to_string(MeterCount(config)) + " meters on " +
           std::to_string(config.buses.size()) + " buses and " +
           std::to_string(config.radios.size()) + " radios; readings to " + config.mqtt.host + ":" +
           std::to_string(config.mqtt.port) + " under " + config.mqtt.prefix + "/; spool " +
           spool.Path() + " (" + std::to_string(spool.Size()) + " waiting)");
  const ProfileSet profiles = LoadProfilesInUse([&log](const std::string& w) { log.Note(w); });
  publisher.Start();
  AnnounceMeters(config, publisher);
  std::vector<std::unique_ptr<BusWorker>> workers;
  for (const BusEntry& bus : config.buses) {
    workers.push_back(std::make_unique<BusWorker>(bus, config.mqtt.prefix, sink, log));
    workers.back()->OnMeterState(MeterState(config.mqtt, publisher));
    workers.back()->UseProfiles(profiles);
    workers.back()->OnAvailability(Availability(config.mqtt, publisher));
    workers.back()->OnLink(Link(config.mqtt, publisher));
    workers.back()->Start();
  }
  std::vector<std::unique_ptr<RadioWorker>> radios;
  for (const RadioEntry& radio : config.radios) {
    radios.push_back(std::make_unique<RadioWorker>(radio, config.mqtt.prefix, sink, log));
    radios.back()->OnMeterState(MeterState(config.mqtt, publisher));
    radios.back()->UseProfiles(profiles);
    radios.back()->KeepFormatsIn(
        {[&spool] { return spool.Formats(); },
         [&spool](const CompactFormats::Format& f) { spool.KeepFormat(f); }});
    radios.back()->OnAvailability(Availability(config.mqtt, publisher));
    radios.back()->OnLink(Link(config.mqtt, publisher));
    radios.back()->Start();
  }
  const int status = WaitForStop(signals, publisher, log);
  for (auto& w : workers) w->RequestStop();
  for (auto& r : radios) r->RequestStop();
  for (auto& w : workers) w->Join();
  for (auto& r : radios) r->Join();
  publisher.Stop(std::chrono::seconds(2));
  log.Note("stopped: " + std::to_string(publisher.Published()) + " readings published, " +
           std::to_string(spool.Size()) + " waiting in the spool");
  mosquitto_lib_cleanup();
  return status;
}

}  // namespace

Runner AddPoll(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "poll",
      "Read the meters of whole sites unattended and publish every reading to an MQTT broker");
  auto path = std::make_shared<std::string>();
  auto verbose = std::make_shared<bool>(false);
  auto check = std::make_shared<bool>(false);
  cmd->add_option("CONFIG", *path,
                  "TOML configuration: [mqtt] (host, port, prefix, spool, ...) and [[bus]] "
                  "entries (name, device, speed, rts) with [[bus.meter]] entries (name, "
                  "address, interval), [[radio]] entries (name, device, receiver, mode) with "
                  "[[radio.meter]] entries (name, id, key, interval)")
      ->required();
  cmd->add_flag("--verbose", *verbose, "Log one line per read (quiet by default)");
  cmd->add_flag("--check", *check, "Check the configuration and exit");
  cmd->footer(kPollHelp);
  return [cmd, path, verbose, check]() -> int {
    if (!cmd->parsed()) return -1;
    PollConfig config;
    try {
      config = LoadPollConfig(*path);
    } catch (const Error& e) {
      std::cerr << "Error: " << e.what() << "\nNothing was started.\n";
      return kExitUsage;
    }
    if (const std::string warning = SecretsWarning(*path, config); !warning.empty()) {
      std::cerr << warning << '\n';
    }
    if (*check) {
      std::cout << *path << ": " << config.buses.size() << " buses, " << config.radios.size()
                << " radios, " << MeterCount(config) << " meters\n";
      return kExitOk;
    }
    return Poll(config, *verbose);
  };
}

}  // namespace velmar::tools
