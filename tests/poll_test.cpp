// The collector as a black box against a real Mosquitto broker on 127.0.0.1 and simulated buses
// (pseudo-terminals and the TCP simulator): what arrives at the broker, through failing meters,
// vanishing devices, a broker that goes away, a restart, bad configurations and refused
// credentials.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "corpus_support.hpp"
#include "line_peers.hpp"
#include "meter_model.hpp"
#include "mqtt_support.hpp"
#include "process.hpp"
#include "tcp_server.hpp"

namespace velmar::testing {
namespace {

using namespace std::chrono_literals;

sim::MeterConfig Meter(std::uint8_t address, std::int32_t ident, double energy) {
  sim::MeterConfig c;
  c.primaryAddress = address;
  c.identNumber = ident;
  c.energyTotalKwh = energy;
  c.responseDelayMs = 5;
  return c;
}

// A reading as the collector's log line names it: "TIME BUS/METER: outcome".
struct Logged {
  std::string meter;
  std::string time;
};

std::size_t LineCountOf(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class Collector {
 public:
  explicit Collector(const std::filesystem::path& config)
      : process_({VELMAR_CLI, "poll", "--verbose", config.string()}, false, true) {}
  explicit Collector(const std::vector<std::string>& argv) : process_(argv, false, true) {}
  pid_t Pid() const { return process_.Pid(); }
  bool Running() const { return process_.Running(); }

  // Reads the log until a line satisfies `want`.
  bool WaitForLine(const std::function<bool(const std::string&)>& want,
                   std::chrono::milliseconds limit = 30s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      const std::string line = process_.ReadLine(200);
      if (line.empty()) continue;
      lines_.push_back(line);
      if (want(line)) return true;
    }
    return false;
  }
  // Waits until `meter` has been read `count` times in all.
  bool WaitForReadings(const std::string& meter, std::size_t count) {
    return WaitForLine([&](const std::string&) { return ReadingsOf(meter).size() >= count; });
  }
  int Stop() {
    const int status = process_.Interrupt();
    for (std::string line; !(line = process_.ReadLine(300)).empty();) lines_.push_back(line);
    return status;
  }
  std::vector<Logged> Readings() const {
    static const std::regex reading(R"(^(\S+) [A-Za-z0-9_.-]+/([A-Za-z0-9_.-]+): )");
    std::vector<Logged> out;
    for (const std::string& l : lines_) {
      std::smatch m;
      if (std::regex_search(l, m, reading)) out.push_back({m[2], m[1]});
    }
    return out;
  }
  std::vector<std::string> ReadingsOf(const std::string& meter) const {
    std::vector<std::string> times;
    for (const Logged& r : Readings()) {
      if (r.meter == meter) times.push_back(r.time);
    }
    return times;
  }
  std::size_t LinesContaining(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& l : lines_) n += l.find(text) != std::string::npos;
    return n;
  }
  std::string Log() const {
    std::string all;
    for (const std::string& l : lines_) all += l + "\n";
    return all;
  }

 private:
  BackgroundProcess process_;
  std::vector<std::string> lines_;
};

std::vector<nlohmann::json> StatesOf(const std::vector<Received>& messages,
                                     const std::string& meter) {
  std::vector<nlohmann::json> out;
  for (const Received& m : messages) {
    if (m.topic == "site/" + meter + "/state") out.push_back(nlohmann::json::parse(m.payload));
  }
  return out;
}

// Whether a reading may reach the broker twice: only one the broker took and went away before
// acknowledging, which the spool then sends again.
enum class Repeats { kNever, kAcrossABrokerOutage };

// Every logged reading of `meter` is at the broker, in the order taken, and once (or, across
// an outage of the broker, once more right after itself).
void ExpectAllInOrder(const Collector& c, const std::vector<Received>& messages,
                      const std::string& meter, Repeats repeats = Repeats::kNever) {
  std::vector<std::string> arrived;
  for (const auto& j : StatesOf(messages, meter)) {
    const std::string t = j["time"];
    const bool again = !arrived.empty() && arrived.back() == t;
    EXPECT_TRUE(!again || repeats == Repeats::kAcrossABrokerOutage)
        << meter << " reading of " << t << " published twice";
    if (!again) arrived.push_back(t);
  }
  const std::set<std::string> seen(arrived.begin(), arrived.end());
  for (const std::string& t : c.ReadingsOf(meter)) {
    EXPECT_TRUE(seen.count(t)) << meter << " reading of " << t << " never arrived";
  }
  for (std::size_t i = 1; i < arrived.size(); ++i) {
    EXPECT_LT(arrived[i - 1], arrived[i]) << meter << " readings out of order";
  }
}

class PollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveBroker()) GTEST_SKIP() << "mosquitto is not installed (scripts/install-deps.sh)";
    char pattern[] = "/tmp/velmar-poll-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path Config(std::uint16_t broker_port, const std::string& buses,
                               const std::string& mqtt_extra = "") {
    const auto path = dir_ / "poll.toml";
    std::ofstream(path) << "[mqtt]\nhost = \"127.0.0.1\"\nport = " << broker_port
                        << "\nprefix = \"site\"\nspool = \"" << (dir_ / "spool").string() << "\"\n"
                        << mqtt_extra << buses;
    return path;
  }
  static std::string Bus(const std::string& name, const std::string& device,
                         const std::vector<std::pair<std::string, int>>& meters, int interval = 1) {
    std::string text =
        "[[bus]]\nname = \"" + name + "\"\ndevice = \"" + device + "\"\nspeed = 9600\n";
    for (const auto& [meter, address] : meters) {
      text += "[[bus.meter]]\nname = \"" + meter + "\"\naddress = \"" + std::to_string(address) +
              "\"\ninterval = " + std::to_string(interval) + "\n";
    }
    return text;
  }
  std::filesystem::path dir_;
};

TEST_F(PollTest, EveryReadingArrivesWithItsValuesFromPtyAndTcpBuses) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-values");
  sim::SimMeter a(Meter(1, 11111111, 100.5));
  sim::SimMeter b(Meter(2, 22222222, 200.25));
  sim::SimMeter c(Meter(5, 33333333, 300.0));
  sim::PtyMeterServer pty({&a, &b}, 9600);
  sim::TcpMeterServer tcp(c, 0, 9600);
  Collector collector(
      Config(broker.Port(),
             Bus("basement", pty.DevicePath(), {{"incomer", 1}, {"pumps", 2}}) +
                 Bus("roof", "tcp://127.0.0.1:" + std::to_string(tcp.Port()), {{"solar", 5}})));
  ASSERT_TRUE(collector.WaitForReadings("incomer", 2)) << collector.Log();
  ASSERT_TRUE(collector.WaitForReadings("pumps", 2)) << collector.Log();
  ASSERT_TRUE(collector.WaitForReadings("solar", 2)) << collector.Log();
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();
  const std::map<std::string, std::pair<std::string, double>> expected = {
      {"incomer", {"11111111", 100.5}},
      {"pumps", {"22222222", 200.25}},
      {"solar", {"33333333", 300.0}}};
  ASSERT_TRUE(sub.WaitFor(
      [&](const auto& m) {
        return StatesOf(m, "incomer").size() >= collector.ReadingsOf("incomer").size() &&
               StatesOf(m, "pumps").size() >= collector.ReadingsOf("pumps").size() &&
               StatesOf(m, "solar").size() >= collector.ReadingsOf("solar").size();
      },
      10s));
  const auto messages = sub.Messages();
  for (const auto& [meter, values] : expected) {
    ExpectAllInOrder(collector, messages, meter);
    for (const auto& j : StatesOf(messages, meter)) {
      EXPECT_EQ(j["meter"], meter);
      EXPECT_EQ(j["bus"], meter == "solar" ? "roof" : "basement");
      EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(),
                                   std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
      EXPECT_EQ(j["result"], 0);
      EXPECT_EQ(j["identNumber"], values.first);
      EXPECT_DOUBLE_EQ(j["values"]["energy_kWh"].get<double>(), values.second);
      EXPECT_DOUBLE_EQ(j["control"]["ActiveEnergyTotal"].get<double>(), values.second);
      ASSERT_TRUE(j["records"].is_array());
      EXPECT_GT(j["records"].size(), 10u);
    }
  }
  // online on connecting, offline (retained) when it stopped
  std::vector<std::string> status;
  for (const Received& m : messages) {
    if (m.topic == "site/status") status.push_back(m.payload);
  }
  ASSERT_GE(status.size(), 2u);
  EXPECT_EQ(status.front(), "online");
  EXPECT_EQ(status.back(), "offline");
}

// A meter with a profile: its message carries the profile's fields and flags, and discovery
// gives one entity per field and a problem binary sensor per alarm flag (the profile is a
// user's, from XDG_CONFIG_HOME, in place of the package's profile of its name).
TEST_F(PollTest, AMeterWithAProfileIsPublishedAndDiscoveredByItsNames) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "#", "test-profile");
  sim::MeterConfig heat = Meter(3, 0, 0);
  heat.recordedTelegram = PublicTelegram("wired-drivers/kamheat-1");
  sim::SimMeter h(heat);
  sim::PtyMeterServer pty({&h}, 9600);
  const auto home = dir_ / "config";
  std::filesystem::create_directories(home / "velmar/profiles");
  std::ofstream(home / "velmar/profiles/heat.toml")
      << "name = \"kamstrup-multical403\"\ntitle = \"a heat meter\"\nsource = \"the test\"\n"
         "[match]\nmanufacturer = \"KAM\"\n"
         "[[fields]]\nname = \"heat_total\"\nlabel = \"Heat\"\nquantity = \"energy\"\n"
         "[[flags]]\nname = \"trouble\"\nmeaning = \"any status bit\"\nsource = \"the "
         "test\"\nfrom = \"status\"\nmask = 0xFF\n";
  Collector collector(
      {"/usr/bin/env", "XDG_CONFIG_HOME=" + home.string(), VELMAR_CLI, "poll", "--verbose",
       Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"heat", 3}}), "discovery = true\n")
           .string()});
  ASSERT_TRUE(collector.WaitForReadings("heat", 1)) << collector.Log();
  ASSERT_TRUE(sub.WaitFor(
      [](const auto& m) {
        return std::any_of(m.begin(), m.end(), [](const Received& r) {
          return r.topic.find("heat_trouble/config") != std::string::npos;
        });
      },
      10s));
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();
  const auto states = StatesOf(sub.Messages(), "heat");
  ASSERT_FALSE(states.empty());
  const nlohmann::json& j = states.front();
  EXPECT_EQ(j["profile"], "kamstrup-multical403");
  EXPECT_EQ(j["fields"]["heat_total"], j["values"]["energy_kWh"]) << j.dump();
  EXPECT_EQ(j["flags"]["trouble"], j["statusByte"] != 0);
  bool field = false, alarm = false;
  for (const Received& m : sub.Messages()) {
    if (m.topic.find("/sensor/") != std::string::npos &&
        m.topic.find("heat_heat_total/config") != std::string::npos) {
      const auto c = nlohmann::json::parse(m.payload);
      EXPECT_EQ(c["device_class"], "energy");
      EXPECT_EQ(c["unit_of_measurement"], "kWh");
      field = true;
    }
    if (m.topic.find("/binary_sensor/") != std::string::npos &&
        m.topic.find("heat_trouble/config") != std::string::npos) {
      EXPECT_EQ(nlohmann::json::parse(m.payload)["device_class"], "problem");
      alarm = true;
    }
  }
  EXPECT_TRUE(field);
  EXPECT_TRUE(alarm);
}

// What Home Assistant is told, held against its discovery conventions: one device per meter
// with its maker, model and serial number, reached through the collector's device; one entity
// per value the meter has (an electricity meter of this maker, a water meter and a heat meter of
// other makers from the public telegrams); per-meter availability; readings retained.
TEST_F(PollTest, DiscoveryFollowsHomeAssistantsConventions) {
  TestBroker broker;
  broker.Start();
  sim::SimMeter incomer(Meter(1, 11111111, 100.5));
  sim::MeterConfig water = Meter(2, 0, 0);
  water.recordedTelegram = PublicTelegram("test-frames/itron_bm_+m.hex");
  sim::MeterConfig heat = Meter(3, 0, 0);
  heat.recordedTelegram = PublicTelegram("wired-drivers/kamheat-1");
  sim::MeterConfig dead = Meter(4, 44444444, 0);
  dead.mute = true;
  sim::SimMeter w(water), h(heat), d(dead);
  sim::PtyMeterServer pty({&incomer, &w, &h, &d}, 9600);
  Collector collector(Config(
      broker.Port(),
      Bus("basement", pty.DevicePath(), {{"incomer", 1}, {"water", 2}, {"heat", 3}, {"dead", 4}}),
      "discovery = true\nretain_state = true\n"));
  for (const char* meter : {"incomer", "water", "heat", "dead"}) {
    ASSERT_TRUE(collector.WaitForReadings(meter, 2)) << collector.Log();
  }
  // A consumer that starts now learns everything from what the broker retained.
  Subscriber late(broker.Port(), "#", "test-late");
  ASSERT_TRUE(late.WaitFor(
      [](const auto& m) {
        std::set<std::string> topics;
        for (const Received& r : m) topics.insert(r.topic);
        return topics.count("site/dead/availability") && topics.count("site/heat/state") &&
               topics.size() > 30;
      },
      10s));
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();

  const std::set<std::string> kEntityKeys = {"name",
                                             "unique_id",
                                             "default_entity_id",
                                             "state_topic",
                                             "value_template",
                                             "availability",
                                             "availability_mode",
                                             "availability_topic",
                                             "unit_of_measurement",
                                             "device_class",
                                             "state_class",
                                             "entity_category",
                                             "device",
                                             "origin",
                                             "payload_on",
                                             "payload_off",
                                             "json_attributes_topic",
                                             "json_attributes_template"};
  const std::set<std::string> kDeviceKeys = {"identifiers",   "name",       "manufacturer", "model",
                                             "serial_number", "via_device", "sw_version"};
  const std::set<std::string> kOriginKeys = {"name", "sw_version", "support_url"};
  std::map<std::string, nlohmann::json> config;  // by unique id
  std::map<std::string, std::string> retained;   // other retained topics
  for (const Received& m : late.Messages()) {
    if (!m.retained) continue;  // published after the consumer came: the readings, "offline"
    if (m.topic.rfind("homeassistant/", 0) != 0) {
      retained[m.topic] = m.payload;
      continue;
    }
    const auto c = nlohmann::json::parse(m.payload);
    for (const auto& [key, value] : c.items()) EXPECT_TRUE(kEntityKeys.count(key)) << key;
    for (const auto& [key, value] : c["device"].items()) EXPECT_TRUE(kDeviceKeys.count(key)) << key;
    std::set<std::string> origin;
    for (const auto& [key, value] : c["origin"].items()) origin.insert(key);
    EXPECT_EQ(origin, kOriginKeys);
    const std::string id = c["unique_id"];
    EXPECT_EQ(c["default_entity_id"], m.topic.find("/binary_sensor/") != std::string::npos
                                          ? "binary_sensor." + id
                                          : "sensor." + id);
    EXPECT_TRUE(config.emplace(id, c).second) << "unique id twice: " << id;
  }
  const auto& collector_device = config.at("velmar_site_online");
  EXPECT_EQ(collector_device["state_topic"], "site/status");
  EXPECT_EQ(collector_device["device_class"], "connectivity");

  const auto& energy = config.at("velmar_site_incomer_energy_kwh");
  EXPECT_EQ(energy["device_class"], "energy");
  EXPECT_EQ(energy["state_class"], "total_increasing");
  EXPECT_EQ(energy["unit_of_measurement"], "kWh");
  EXPECT_EQ(energy["state_topic"], "site/incomer/state");
  EXPECT_NE(energy["value_template"].get<std::string>().find("['values']['energy_kWh']"),
            std::string::npos);
  EXPECT_EQ(energy["availability_mode"], "all");
  EXPECT_EQ(energy["availability"][1]["topic"], "site/incomer/availability");
  EXPECT_EQ(energy["device"]["serial_number"], "11111111");
  EXPECT_EQ(energy["device"]["manufacturer"], "ORV");
  EXPECT_EQ(energy["device"]["model"], "Electricity, version 2");
  EXPECT_EQ(energy["device"]["via_device"], "velmar_site");
  for (const char* phase : {"power_l1_w", "voltage_l2_v", "current_l3_a"}) {
    EXPECT_EQ(config.count(std::string("velmar_site_incomer_") + phase), 1u) << phase;
  }
  EXPECT_EQ(config.at("velmar_site_incomer_voltage_l2_v")["device_class"], "voltage");
  EXPECT_EQ(config.at("velmar_site_incomer_current_l3_a")["unit_of_measurement"], "A");

  const auto& volume = config.at("velmar_site_water_volume_m3");
  EXPECT_EQ(volume["device_class"], "water");
  EXPECT_EQ(volume["unit_of_measurement"], "m³");
  EXPECT_EQ(volume["device"]["manufacturer"], "ACW (Itron)");
  EXPECT_EQ(volume["device"]["serial_number"], "11490378");
  EXPECT_EQ(config.count("velmar_site_water_energy_kwh"), 0u);

  const auto& flow = config.at("velmar_site_heat_flow_temperature_c");
  EXPECT_EQ(flow["device_class"], "temperature");
  EXPECT_EQ(flow["unit_of_measurement"], "°C");
  EXPECT_EQ(config.at("velmar_site_heat_energy_kwh")["device"]["manufacturer"], "KAM (Kamstrup)");
  EXPECT_EQ(config.at("velmar_site_heat_volume_m3")["device_class"], "volume");

  // The meter that never answered is a device all the same: its status says why (available
  // while the collector is), its status flags are there; it has no value entities, and it is
  // unavailable. The others are available.
  std::set<std::string> dead_entities;
  for (const auto& [id, c] : config) {
    if (id.find("_dead_") != std::string::npos) {
      dead_entities.insert(id.substr(id.find("_dead_") + 6));
    }
  }
  EXPECT_EQ(dead_entities,
            (std::set<std::string>{"status", "application_busy", "application_error",
                                   "abnormal_condition", "power_low", "permanent_error",
                                   "temporary_error", "manufacturer_1", "manufacturer_2",
                                   "manufacturer_3"}));
  const auto& status = config.at("velmar_site_dead_status");
  EXPECT_EQ(status["state_topic"], "site/dead/state");
  EXPECT_EQ(status["availability_topic"], "site/status");
  EXPECT_EQ(status["device"]["name"], "dead");
  const auto& battery = config.at("velmar_site_incomer_power_low");
  EXPECT_EQ(battery["device_class"], "problem");
  EXPECT_EQ(battery["default_entity_id"], "binary_sensor.velmar_site_incomer_power_low");
  EXPECT_EQ(retained.at("site/dead/availability"), "offline");
  EXPECT_EQ(nlohmann::json::parse(retained.at("site/bus/basement/state"))["state"], "working");
  EXPECT_EQ(retained.at("site/incomer/availability"), "online");
  EXPECT_EQ(retained.at("site/heat/availability"), "online");
  EXPECT_EQ(nlohmann::json::parse(retained.at("site/heat/state"))["values"]["energy_kWh"], 34510);
}

TEST_F(PollTest, ReadingsTakenWhileTheBrokerIsAwayArriveInOrderWhenItIsBack) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-away");
  sim::SimMeter a(Meter(1, 11111111, 100.5));
  sim::SimMeter b(Meter(2, 22222222, 200.25));
  sim::PtyMeterServer pty({&a, &b}, 9600);
  Collector collector(
      Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}, {"pumps", 2}})));
  ASSERT_TRUE(collector.WaitForReadings("incomer", 2)) << collector.Log();
  broker.Stop();
  const std::size_t before = collector.ReadingsOf("incomer").size();
  ASSERT_TRUE(collector.WaitForReadings("incomer", before + 4)) << collector.Log();
  broker.Start();
  ASSERT_TRUE(collector.WaitForLine([](const std::string& l) {
    return l.find("answers again") != std::string::npos;
  })) << collector.Log();
  ASSERT_TRUE(collector.WaitForReadings("incomer", before + 6));
  EXPECT_EQ(collector.Stop(), 0);
  EXPECT_EQ(collector.LinesContaining("unreachable"), 1u) << collector.Log();
  ASSERT_TRUE(sub.WaitFor(
      [&](const auto& m) {
        std::set<std::string> times;
        for (const auto& j : StatesOf(m, "incomer")) times.insert(std::string(j["time"]));
        for (const std::string& t : collector.ReadingsOf("incomer")) {
          if (!times.count(t)) return false;
        }
        return true;
      },
      15s))
      << collector.Log();
  const auto messages = sub.Messages();
  ExpectAllInOrder(collector, messages, "incomer", Repeats::kAcrossABrokerOutage);
  ExpectAllInOrder(collector, messages, "pumps", Repeats::kAcrossABrokerOutage);
}

TEST_F(PollTest, FailingMetersPublishTheirResultAndTheOthersGoOn) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-failing");
  sim::MeterConfig silent_config = Meter(1, 11111111, 1.0);
  silent_config.mute = true;
  sim::SimMeter silent(silent_config);
  sim::SimMeter broken(Meter(2, 22222222, 2.0));
  // Every telegram fails its check, repeats included (an acknowledge has no check byte to spoil).
  for (int i = 0; i < 300; ++i) broken.InjectFault({sim::FaultKind::kBadChecksum});
  sim::SimMeter good(Meter(3, 33333333, 3.0));
  sim::PtyMeterServer pty({&silent, &broken, &good}, 9600);
  Collector collector(Config(broker.Port(), Bus("basement", pty.DevicePath(),
                                                {{"silent", 1}, {"broken", 2}, {"good", 3}}, 2)));
  ASSERT_TRUE(collector.WaitForReadings("silent", 2)) << collector.Log();
  ASSERT_TRUE(collector.WaitForReadings("good", 2)) << collector.Log();
  EXPECT_EQ(collector.Stop(), 0);
  ASSERT_TRUE(sub.WaitFor(
      [](const auto& m) {
        return !StatesOf(m, "silent").empty() && !StatesOf(m, "broken").empty() &&
               StatesOf(m, "good").size() >= 2;
      },
      10s));
  const auto messages = sub.Messages();
  // A failed read says why and nothing else: no values, no records, nothing of the meter read
  // before it on the same bus.
  const auto s = StatesOf(messages, "silent").front();
  EXPECT_EQ(s["result"], -10);
  EXPECT_EQ(s["error"], "no reply");
  const auto b = StatesOf(messages, "broken").front();
  EXPECT_EQ(b["result"], -4);
  EXPECT_EQ(b["error"], "Communication error. Checksum error in message.");
  for (const auto& failed : {s, b}) {
    std::set<std::string> keys;
    for (const auto& [key, value] : failed.items()) keys.insert(key);
    EXPECT_EQ(keys, (std::set<std::string>{"meter", "bus", "time", "result", "status", "error"}))
        << failed.dump();
  }
  for (const auto& g : StatesOf(messages, "good")) {
    EXPECT_EQ(g["result"], 0);
    EXPECT_DOUBLE_EQ(g["values"]["energy_kWh"].get<double>(), 3.0);
  }
}

// A broker that takes the readings but never acknowledges them (frozen), then dies outright and
// comes back: every reading it took without acknowledging is still in the collector's spool and
// is published again. (A subscriber that was away while the broker restarted misses what the
// broker could not keep for it; what the collector must do is keep each reading until a broker
// has acknowledged it.)
TEST_F(PollTest, ABrokerThatNeverAcknowledgesLosesNoReading) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-no-ack");
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::PtyMeterServer pty({&a}, 9600);
  Collector collector(Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"a", 1}})));
  ASSERT_TRUE(collector.WaitForReadings("a", 2)) << collector.Log();
  ASSERT_TRUE(sub.WaitFor([&](const auto& m) { return StatesOf(m, "a").size() >= 2; }, 10s));
  broker.Freeze();
  const std::size_t frozen_at = collector.ReadingsOf("a").size();
  ASSERT_TRUE(collector.WaitForReadings("a", frozen_at + 4)) << collector.Log();
  broker.Kill();
  broker.Start();
  const std::regex republished(R"(answers again: publishing (\d+) spooled readings)");
  int spooled = -1;
  ASSERT_TRUE(collector.WaitForLine([&](const std::string& l) {
    std::smatch found;
    if (!std::regex_search(l, found, republished)) return false;
    spooled = std::stoi(found[1].str());
    return true;
  })) << collector.Log();
  // The four readings taken while the broker was frozen went to it and were never acknowledged.
  EXPECT_GE(spooled, 4) << collector.Log();
  const std::size_t after = collector.ReadingsOf("a").size();
  ASSERT_TRUE(collector.WaitForReadings("a", after + 3)) << collector.Log();
  const std::string last = collector.ReadingsOf("a").back();
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();
  EXPECT_TRUE(sub.WaitFor(
      [&](const auto& m) {
        const auto states = StatesOf(m, "a");
        return std::any_of(states.begin(), states.end(),
                           [&](const auto& j) { return j["time"] == last; });
      },
      20s))
      << collector.Log();
}

// The spool's disk fills up (a 512 KiB tmpfs under the spool, in a mount namespace of the
// collector's own) while the broker is up, then while it is away, and empties again: readings
// wait in memory and go to the broker from there, every logged reading arrives, the log says
// once that the disk refuses and once that it takes writes again, and the collector never ends.
TEST_F(PollTest, AFullDiskUnderTheSpoolLosesNothing) {
  if (RunProcess({"/usr/bin/unshare", "-m", "/bin/true"}).status != 0) {
    GTEST_SKIP() << "no mount namespace here; the spool's file layer test covers a full disk";
  }
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-full-disk");
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::SimMeter b(Meter(2, 22222222, 2.0));
  sim::PtyMeterServer pty({&a, &b}, 9600);
  const auto spool = dir_ / "spool";
  std::filesystem::create_directories(spool);
  const auto config =
      Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"a", 1}, {"b", 2}}));
  Collector collector(std::vector<std::string>{
      "/usr/bin/unshare", "-m", "/bin/sh", "-c",
      "mount -t tmpfs -o size=512k tmpfs \"$0\" && exec \"$1\" poll --verbose \"$2\"",
      spool.string(), VELMAR_CLI, config.string()});
  ASSERT_TRUE(collector.WaitForReadings("a", 2)) << collector.Log();
  // Fill the collector's tmpfs through its own view of the file tree.
  const auto filler = std::filesystem::path("/proc/" + std::to_string(collector.Pid()) + "/root") /
                      spool.relative_path() / "filler";
  {
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 1024 && out; ++i) out << block << std::flush;
  }
  ASSERT_TRUE(collector.WaitForLine([](const std::string& l) {
    return l.find("refuses writes") != std::string::npos;
  })) << collector.Log();
  const std::size_t before = collector.ReadingsOf("a").size();
  ASSERT_TRUE(collector.WaitForReadings("a", before + 3)) << collector.Log();
  broker.Stop();
  ASSERT_TRUE(collector.WaitForReadings("a", before + 6)) << collector.Log();
  broker.Start();
  ASSERT_TRUE(collector.WaitForReadings("a", before + 9)) << collector.Log();
  std::filesystem::remove(filler);
  ASSERT_TRUE(collector.WaitForLine([](const std::string& l) {
    return l.find("takes writes again") != std::string::npos;
  })) << collector.Log();
  ASSERT_TRUE(collector.WaitForReadings("a", before + 11)) << collector.Log();
  EXPECT_TRUE(collector.Running());
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();
  EXPECT_EQ(collector.LinesContaining("refuses writes"), 1u) << collector.Log();
  EXPECT_EQ(collector.LinesContaining("takes writes again"), 1u) << collector.Log();
  EXPECT_GT(collector.LinesContaining("kept in memory"), 0u) << collector.Log();
  ASSERT_TRUE(sub.WaitFor(
      [&](const auto& m) {
        return StatesOf(m, "a").size() >= collector.ReadingsOf("a").size() &&
               StatesOf(m, "b").size() >= collector.ReadingsOf("b").size();
      },
      20s));
  const auto messages = sub.Messages();
  ExpectAllInOrder(collector, messages, "a", Repeats::kAcrossABrokerOutage);
  ExpectAllInOrder(collector, messages, "b", Repeats::kAcrossABrokerOutage);
}

TEST_F(PollTest, ABusWhoseDeviceVanishesIsRetriedWhileTheOthersGoOn) {
  TestBroker broker;
  broker.Start();
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::SimMeter b(Meter(1, 22222222, 2.0));
  auto pty = std::make_unique<sim::PtyMeterServer>(a, 9600);
  sim::TcpMeterServer tcp(b, 0, 9600);
  Collector collector(
      Config(broker.Port(),
             Bus("cellar", pty->DevicePath(), {{"lost", 1}}) +
                 Bus("roof", "tcp://127.0.0.1:" + std::to_string(tcp.Port()), {{"kept", 1}})));
  Subscriber sub(broker.Port(), "site/#", "test-vanishes");
  ASSERT_TRUE(collector.WaitForReadings("lost", 1)) << collector.Log();
  pty->Unplug();
  ASSERT_TRUE(collector.WaitForLine([](const std::string& l) {
    return l.find("bus cellar:") != std::string::npos;
  })) << collector.Log();
  const std::size_t kept = collector.ReadingsOf("kept").size();
  ASSERT_TRUE(collector.WaitForReadings("kept", kept + 3)) << collector.Log();
  // The lost bus's meter went offline at once (its last values are not current), and the bus
  // says why and since when; the other bus's meter stayed online.
  ASSERT_TRUE(sub.WaitFor(
      [](const auto& m) {
        for (const Received& r : m) {
          if (r.topic == "site/bus/cellar/state" && r.payload.find("lost") != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      10s));
  EXPECT_EQ(collector.Stop(), 0);
  EXPECT_EQ(collector.LinesContaining("unavailable"), 1u) << collector.Log();
  std::vector<std::string> lost, kept_availability;
  nlohmann::json bus;
  for (const Received& r : sub.Messages()) {
    if (r.topic == "site/lost/availability") lost.push_back(r.payload);
    if (r.topic == "site/kept/availability") kept_availability.push_back(r.payload);
    if (r.topic == "site/bus/cellar/state") bus = nlohmann::json::parse(r.payload);
  }
  ASSERT_FALSE(lost.empty());
  EXPECT_EQ(lost.back(), "offline");
  EXPECT_EQ(std::count(kept_availability.begin(), kept_availability.end(), "offline"), 0);
  EXPECT_EQ(bus["state"], "lost");
  EXPECT_FALSE(bus["error"].get<std::string>().empty());
  EXPECT_EQ(bus["since"].get<std::string>().size(), 24u) << bus;
}

// Two collectors given one spool would delete each other's readings by id: the second is
// refused at start, naming the first's pid, and the first goes on. The spool is its user's
// alone.
TEST_F(PollTest, ASecondCollectorOnTheSameSpoolIsRefused) {
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::PtyMeterServer pty(a, 9600);
  TestBroker broker;  // never started: the readings stay in the spool
  const auto config = Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}}));
  Collector first(config);
  ASSERT_TRUE(first.WaitForReadings("incomer", 1)) << first.Log();
  const ProcessResult second = RunProcess({VELMAR_CLI, "poll", config.string()}, 30);
  EXPECT_EQ(second.status, 1) << second.err;
  EXPECT_NE(
      second.err.find("in use by another collector (pid " + std::to_string(first.Pid()) + ")"),
      std::string::npos)
      << second.err;
  EXPECT_EQ(LineCountOf(second.err), 1u) << second.err;
  ASSERT_TRUE(first.WaitForReadings("incomer", 3)) << first.Log();
  EXPECT_EQ(first.Stop(), 0);
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(dir_ / "spool").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(dir_ / "spool" / "readings.sqlite3").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PollTest, AReadingSpooledWithoutABrokerIsPublishedByTheNextRun) {
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::PtyMeterServer pty(a, 9600);
  TestBroker broker;  // not started yet: its port refuses
  const auto config = Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}}));
  std::vector<std::string> first_run;
  {
    Collector collector(config);
    ASSERT_TRUE(collector.WaitForReadings("incomer", 2)) << collector.Log();
    EXPECT_EQ(collector.Stop(), 0);
    EXPECT_EQ(collector.LinesContaining("unreachable"), 1u) << collector.Log();
    first_run = collector.ReadingsOf("incomer");
  }
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-restart");
  Collector collector(config);
  ASSERT_TRUE(collector.WaitForReadings("incomer", 1)) << collector.Log();
  ASSERT_TRUE(sub.WaitFor(
      [&](const auto& m) { return StatesOf(m, "incomer").size() > first_run.size(); }, 10s));
  EXPECT_EQ(collector.Stop(), 0);
  const auto arrived = StatesOf(sub.Messages(), "incomer");
  for (std::size_t i = 0; i < first_run.size(); ++i) {
    EXPECT_EQ(arrived[i]["time"], first_run[i]) << "oldest first";
  }
}

TEST_F(PollTest, RefusedCredentialsEndTheCollectorWithAClearError) {
  TestBroker broker("allow_anonymous false\npassword_file /dev/null\n");
  broker.Start();
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::PtyMeterServer pty(a, 9600);
  const auto config = Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}}),
                             "username = \"velmar\"\npassword = \"wrong\"\n");
  const ProcessResult r = RunProcess({VELMAR_CLI, "poll", config.string()}, 30);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("refused the collector"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("velmar"), std::string::npos) << r.err;
}

// Certificates made here with openssl: a CA, the broker's certificate for 127.0.0.1 and
// localhost, one for another host, and the collector's client certificate.
void MakeCertificates(const std::filesystem::path& dir) {
  const std::string script = R"(set -e
cd ")" + dir.string() + R"("
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1.key"; }
sign() { openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
         printf '%s\n' "$3" > "$1.ext"
         openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
                 -extfile "$1.ext" -out "$1.crt"; }
key ca
openssl req -x509 -new -key ca.key -subj "/CN=Velmar test CA" -days 2 -out ca.crt
key server; sign server localhost "subjectAltName=IP:127.0.0.1,DNS:localhost"
key other; sign other other.example "subjectAltName=DNS:other.example"
key client; sign client velmar-collector "extendedKeyUsage=clientAuth"
)";
  const ProcessResult r = RunProcess({"/bin/sh", "-c", script}, 60);
  ASSERT_EQ(r.status, 0) << r.err;
}

// Radio meters beside a wired bus, on the same topics with the same message: a stick (simulated,
// on a pseudo-terminal) passes on four wireless meters; the collector publishes the plain, mode
// 5 and mode 7 meters with their values, the meter under another key with its error, and a
// configured meter that is never heard becomes unavailable after three intervals.
TEST_F(PollTest, RadioMetersArePublishedBesideWiredOnesAndASilentOneGoesOffline) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-radio");
  Subscriber ha(broker.Port(), "homeassistant/#", "test-radio-ha");
  sim::SimMeter wired(Meter(1, 11111111, 7.25));
  sim::PtyMeterServer pty(wired, 9600);
  BackgroundProcess stick(
      {VELMAR_CLI, "simulate", "--receiver", "amb8465", "--wireless-meters", "4", "--rate", "40"});
  const std::string device = stick.ReadLine();
  ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
  const std::string key = "000102030405060708090A0B0C0D0E0F";
  std::string radio = "[[radio]]\nname = \"yard\"\ndevice = \"" + device +
                      "\"\nreceiver = \"amb8465\"\nmode = \"t1\"\n";
  const std::pair<const char*, const char*> meters[] = {{"water", "70000001"},
                                                        {"heat", "70000002"},
                                                        {"gas", "70000003"},
                                                        {"power", "70000004"},
                                                        {"lost", "79999999"}};
  for (const auto& [name, id] : meters) {
    radio += "[[radio.meter]]\nname = \"" + std::string(name) + "\"\nid = \"" + id +
             "\"\ninterval = 1\n";
    if (std::string(name) != "water") radio += "key = \"" + key + "\"\n";
  }
  Collector collector(Config(broker.Port(),
                             Bus("basement", pty.DevicePath(), {{"incomer", 1}}) + radio,
                             "discovery = true\n"));
  auto have = [](const std::vector<Received>& m, const std::string& meter) {
    return !StatesOf(m, meter).empty();
  };
  ASSERT_TRUE(sub.WaitFor(
      [&](const auto& m) {
        bool offline = false;
        for (const Received& r : m) {
          offline = offline || (r.topic == "site/lost/availability" && r.payload == "offline");
        }
        return offline && have(m, "incomer") && have(m, "water") && have(m, "heat") &&
               have(m, "gas") && have(m, "power");
      },
      60s))
      << collector.Log();
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();
  EXPECT_EQ(stick.Interrupt(), 0);
  const auto messages = sub.Messages();
  const auto good = [&](const std::string& meter) {
    for (const auto& j : StatesOf(messages, meter)) {
      if (j["result"] == 0) return j;
    }
    return nlohmann::json();
  };
  EXPECT_EQ(good("incomer")["bus"], "basement");
  for (const char* meter : {"water", "heat", "gas"}) {
    const auto j = good(meter);
    ASSERT_FALSE(j.is_null()) << meter;
    EXPECT_EQ(j["bus"], "yard");
    EXPECT_EQ(j["mode"], "T1");
    EXPECT_TRUE(j.contains("rssi"));
    EXPECT_FALSE(j["values"].empty()) << j;
  }
  EXPECT_EQ(good("gas")["authenticated"], true);
  for (const char* meter : {"water", "heat", "gas", "power"}) {
    for (const auto& j : StatesOf(messages, meter)) EXPECT_NE(j["result"], -14) << j;  // air noise
  }
  const auto power = StatesOf(messages, "power").front();
  EXPECT_EQ(power["result"], -13);
  EXPECT_EQ(power["error"], "decryption failed: wrong key?");
  EXPECT_FALSE(power.contains("values"));
  // Discovery for a radio meter that brought values, as for a wired one.
  EXPECT_TRUE(ha.WaitFor(
      [](const auto& m) {
        for (const Received& r : m) {
          if (r.topic.find("/heat_energy_kwh/config") != std::string::npos) return true;
        }
        return false;
      },
      10s));
}

// A software radio as the collector's receiver: rtl_433 (here the simulated one, its whole
// command as the device) run by the collector, its readings published, its standard error in
// the log.
TEST_F(PollTest, Rtl433RunByTheCollectorDeliversItsMetersAndItsComplaintsAreLogged) {
  TestBroker broker;
  broker.Start();
  Subscriber sub(broker.Port(), "site/#", "test-rtl433");
  sim::SimMeter wired(Meter(1, 11111111, 7.25));
  sim::PtyMeterServer pty(wired, 9600);
  const std::string radio =
      std::string("[[radio]]\nname = \"sdr\"\ndevice = \"") + VELMAR_CLI +
      " simulate --receiver rtl433 --wireless-meters 2 --rate 40\"\nreceiver = \"rtl433\"\n"
      "[[radio.meter]]\nname = \"water\"\nid = \"70000001\"\ninterval = 1\n";
  Collector collector(
      Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}}) + radio, ""));
  ASSERT_TRUE(sub.WaitFor([](const auto& m) { return StatesOf(m, "water").size() >= 2; }, 60s))
      << collector.Log();
  EXPECT_EQ(collector.Stop(), 0) << collector.Log();
  const auto j = StatesOf(sub.Messages(), "water").front();
  EXPECT_EQ(j["bus"], "sdr");
  EXPECT_EQ(j["result"], 0) << j;
  EXPECT_GE(j["values"]["volume_m3"].get<double>(), 1.0);
  EXPECT_NE(collector.Log().find("radio sdr: rtl_433 (simulated): 2 wireless meters"),
            std::string::npos)
      << collector.Log();
}

class PollTlsTest : public PollTest {
 protected:
  void SetUp() override {
    PollTest::SetUp();
    if (IsSkipped()) return;
    MakeCertificates(dir_);
    plain_ = FreeLoopbackPort();
  }
  // The broker's TLS listener with `certificate` (server or other), `listener` lines of its own,
  // and a plain listener on plain_ for the test's subscriber.
  std::string Broker(const std::string& certificate, const std::string& listener) const {
    const auto d = dir_.string() + "/";
    return "cafile " + d + "ca.crt\ncertfile " + d + certificate + ".crt\nkeyfile " + d +
           certificate + ".key\n" + listener + "listener " + std::to_string(plain_) +
           " 127.0.0.1\nallow_anonymous true\n";
  }
  std::string Tls(bool client) const {
    const auto d = dir_.string() + "/";
    std::string t = "tls_ca = \"" + d + "ca.crt\"\n";
    if (client) t += "tls_cert = \"" + d + "client.crt\"\ntls_key = \"" + d + "client.key\"\n";
    return t;
  }
  // Runs the collector against the broker until two readings of the meter are at the broker
  // (a generous limit: under the sanitizers a TLS handshake takes a good part of a second).
  void ExpectReadingsArrive(TestBroker& broker, const std::string& mqtt) {
    sim::SimMeter a(Meter(1, 11111111, 7.25));
    sim::PtyMeterServer pty(a, 9600);
    Subscriber sub(plain_, "site/#", "test-tls");
    Collector collector(
        Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}}), mqtt));
    ASSERT_TRUE(sub.WaitFor([](const auto& m) { return StatesOf(m, "incomer").size() >= 2; }, 60s))
        << collector.Log();
    EXPECT_EQ(collector.Stop(), 0) << collector.Log();
    const auto j = StatesOf(sub.Messages(), "incomer").front();
    EXPECT_DOUBLE_EQ(j["values"]["energy_kWh"].get<double>(), 7.25);
  }
  std::uint16_t plain_ = 0;
};

TEST_F(PollTlsTest, PublishesOverTlsVerifyingTheBrokerWithUsernameAndPassword) {
  const auto passwords = dir_ / "passwords";
  ASSERT_EQ(
      RunProcess({"/usr/bin/mosquitto_passwd", "-b", "-c", passwords.string(), "velmar", "s3cret"},
                 10)
          .status,
      0);
  TestBroker broker(
      Broker("server", "allow_anonymous false\npassword_file " + passwords.string() + "\n"),
      "per_listener_settings true\n");
  broker.Start();
  ExpectReadingsArrive(broker, Tls(false) + "username = \"velmar\"\npassword = \"s3cret\"\n");
}

TEST_F(PollTlsTest, PublishesWithAClientCertificateTheBrokerRequires) {
  TestBroker broker(Broker("server", "require_certificate true\nallow_anonymous true\n"),
                    "per_listener_settings true\n");
  broker.Start();
  ExpectReadingsArrive(broker, Tls(true));
}

// A broker whose certificate names another host is refused: one clear line, exit status 1,
// nothing published.
TEST_F(PollTlsTest, ABrokerWhoseCertificateDoesNotMatchIsRefused) {
  TestBroker broker(Broker("other", "allow_anonymous true\n"), "per_listener_settings true\n");
  broker.Start();
  sim::SimMeter a(Meter(1, 11111111, 1.0));
  sim::PtyMeterServer pty(a, 9600);
  const auto config =
      Config(broker.Port(), Bus("basement", pty.DevicePath(), {{"incomer", 1}}), Tls(false));
  const ProcessResult r = RunProcess({VELMAR_CLI, "poll", config.string()}, 30);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Error: the broker 127.0.0.1:" + std::to_string(broker.Port()) +
                       " failed the TLS check"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("certificate verify failed"), std::string::npos) << r.err;
}

TEST_F(PollTest, ABadConfigurationNamesTheLineAndStartsNothing) {
  const auto path = dir_ / "bad.toml";
  std::ofstream(path) << "[mqtt]\nport = 1883\nprefx = \"site\"\n";
  const ProcessResult r = RunProcess({VELMAR_CLI, "poll", path.string()}, 10);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bad.toml:3: unknown key mqtt.prefx"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Nothing was started"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "spool"));
}

}  // namespace
}  // namespace velmar::testing
