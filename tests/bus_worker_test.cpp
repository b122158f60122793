// The collector's bus worker on the virtual platform: its loop and port come from a factory,
// so what it publishes for a bus of several meters is checked without a device, a broker or
// real time. A meter that fails publishes only its own result, never another meter's values.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include <nlohmann/json.hpp>

#include "bus_worker.hpp"
#include "line_peers.hpp"
#include "reading_message.hpp"
#include "velmar/error.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::tools {
namespace {

struct Published {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<std::string, nlohmann::ordered_json>> messages;

  std::string Add(const std::string& topic, const std::string& payload) {
    std::lock_guard lock(mutex);
    messages.emplace_back(topic, nlohmann::ordered_json::parse(payload));
    arrived.notify_all();
    return "kept";
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(20),
                            [&] { return messages.size() >= count; });
  }
};

sim::MeterConfig Meter(std::uint8_t address, std::int32_t ident, double kwh) {
  sim::MeterConfig c;
  c.primaryAddress = address;
  c.identNumber = ident;
  c.energyTotalKwh = kwh;
  c.transformerRatio = address * 10;
  return c;
}

TEST(BusWorker, EachReadingCarriesOnlyItsOwnMetersValues) {
  sim::MeterConfig good_config = Meter(1, 11111111, 1.5);
  good_config.status = 0x04 | 0x02;  // power low, and an application error
  sim::SimMeter good(good_config);
  sim::MeterConfig mute_config = Meter(2, 22222222, 2.5);
  mute_config.mute = true;
  sim::SimMeter mute(mute_config);
  sim::MeterConfig other = Meter(3, 33333333, 3.5);
  other.telegrams = 2;
  other.status = 0x03;  // an abnormal condition, which is no application error
  sim::SimMeter two_telegrams(other);
  sim::VirtualMeterPeer peer({&good, &mute, &two_telegrams});
  auto factory = [&](const BusEntry&) {
    auto loop = std::make_unique<virt::VirtualEventLoop>();
    auto port = std::make_unique<virt::VirtualSerialPort>(*loop, &peer);
    port->SetSettings("2400,e,8,1");
    return BusPlatform{std::move(loop), std::move(port)};
  };
  BusEntry bus;
  bus.name = "b";
  bus.device = "virtual";
  bus.meters = {{"good", "1", 3600, 0}, {"mute", "2", 3600, 0}, {"two", "33333333", 3600, 0}};
  Published out;
  PollLog log(false);
  BusWorker worker(
      bus, "site", [&](const auto& t, const auto& p) { return out.Add(t, p); }, log, factory);
  worker.Start();
  ASSERT_TRUE(out.WaitFor(3));
  worker.RequestStop();
  worker.Join();

  ASSERT_EQ(out.messages.size(), 3u);
  const auto& [t1, m1] = out.messages[0];
  EXPECT_EQ(t1, "site/good/state");
  EXPECT_EQ(m1["result"], 0);
  EXPECT_FALSE(m1.contains("error"));
  EXPECT_EQ(m1["identNumber"], "11111111");
  EXPECT_EQ(m1["manufacturer"], "ORV");
  EXPECT_EQ(m1["mediumName"], "Electricity");
  EXPECT_EQ(m1["control"]["TransformerRatio"], 10);
  EXPECT_DOUBLE_EQ(m1["values"]["energy_kWh"].get<double>(), 1.5);
  EXPECT_DOUBLE_EQ(m1["control"]["ActiveEnergyTotal"].get<double>(), 1.5);
  std::vector<std::string> keys;
  for (const auto& [key, value] : m1.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "meter", "bus", "time", "result", "status", "lastGood", "identNumber",
                      "manufacturer", "version", "medium", "mediumName", "accessNumber",
                      "statusByte", "statusFlags", "telegrams", "values", "control", "records"}));
  // The status byte's flags (EN 13757-3: bits 0-1 01 busy, 10 an application error, 11 an
  // abnormal condition; bit 2 power low).
  EXPECT_EQ(m1["status"], "ok");
  EXPECT_EQ(m1["lastGood"], m1["time"]);
  EXPECT_EQ(m1["statusFlags"]["power_low"], true);
  EXPECT_EQ(m1["statusFlags"]["application_error"], true);
  EXPECT_EQ(m1["statusFlags"]["application_busy"], false);
  EXPECT_EQ(m1["statusFlags"]["abnormal_condition"], false);
  EXPECT_EQ(m1["statusFlags"]["permanent_error"], false);

  // Nothing answered: the result says so, and nothing of the meter read before it is there.
  const auto& [t2, m2] = out.messages[1];
  EXPECT_EQ(t2, "site/mute/state");
  EXPECT_EQ(m2["result"], -10);
  EXPECT_EQ(m2["error"], "no reply");
  keys.clear();
  for (const auto& [key, value] : m2.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"meter", "bus", "time", "result", "status", "error"}));
  EXPECT_EQ(m2["status"], "no reply");

  // The reading's time is now, by the test's own clock (a shape check would pass a wrong month).
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M", &utc);
  const std::string stamp = m1["time"];
  EXPECT_EQ(stamp.substr(0, 13), std::string(expected).substr(0, 13)) << stamp;  // to the hour
  EXPECT_EQ(stamp.size(), 24u) << stamp;

  const auto& [t3, m3] = out.messages[2];
  EXPECT_EQ(t3, "site/two/state");
  EXPECT_EQ(m3["identNumber"], "33333333");
  EXPECT_EQ(m3["telegrams"], 2);
  EXPECT_EQ(m3["statusFlags"]["abnormal_condition"], true);
  EXPECT_EQ(m3["statusFlags"]["application_error"], false);
  EXPECT_EQ(m3["statusFlags"]["power_low"], false);
  EXPECT_EQ(m3["control"]["TransformerRatio"], 30);                     // from the second telegram
  EXPECT_DOUBLE_EQ(m3["values"]["voltage_L2_V"].get<double>(), 229.8);  // the third
}

// A failed read says when the meter last read well, which is not now: a dashboard shows how
// old the last value is from it.
TEST(ReadingMessage, AFailedReadNamesTheLastGoodReadNotThisOne) {
  using namespace std::chrono;
  const MeterEntry meter{"hall", "5"};
  const system_clock::time_point good = sys_days{2026y / 12 / 7} + 9h + 30min;
  const system_clock::time_point now = good + 2h + 500ms;
  MeterRead failed;
  failed.status = Status::kNoReply;
  failed.error = "no reply";
  const auto j = ReadingMessage(meter, "bus", now, failed, good);
  EXPECT_EQ(j["time"], "2026-12-07T11:30:00.500Z");
  EXPECT_EQ(j["lastGood"], "2026-12-07T09:30:00.000Z");
  EXPECT_FALSE(j.contains("values"));
  // A meter that never read well has no last good read at all.
  EXPECT_FALSE(ReadingMessage(meter, "bus", now, failed, std::nullopt).contains("lastGood"));
}

// A port that fails to open while the test says so, as an unplugged adapter does.
class FlakyPort : public virt::VirtualSerialPort {
 public:
  FlakyPort(virt::VirtualEventLoop& loop, virt::LinePeer* peer, std::atomic<bool>& unplugged)
      : VirtualSerialPort(loop, peer), unplugged_(unplugged) {}
  void SetPortOpen(bool open) override {
    if (open && unplugged_) throw PortError("the adapter is unplugged");
    VirtualSerialPort::SetPortOpen(open);
  }
  void Output(std::span<const std::uint8_t> data) override {
    if (unplugged_) throw PortError("the adapter is gone");
    VirtualSerialPort::Output(data);
  }

 private:
  std::atomic<bool>& unplugged_;
};

// After a bus comes back its back-off starts again: a second outage is retried after 1 s, not
// after the doubled wait the first outage had reached.
TEST(BusWorker, ASecondOutageIsRetriedAfterOneSecondAgain) {
  sim::SimMeter meter(Meter(1, 11111111, 1.5));
  sim::VirtualMeterPeer peer(meter);
  std::atomic<bool> unplugged{true};
  auto factory = [&](const BusEntry&) {
    auto loop = std::make_unique<virt::VirtualEventLoop>();
    auto port = std::make_unique<FlakyPort>(*loop, &peer, unplugged);
    return BusPlatform{std::move(loop), std::move(port)};
  };
  BusEntry bus;
  bus.name = "b";
  bus.device = "virtual";
  bus.meters = {{"m", "1", 1, 0}};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;
  PollLog log(false, [&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
    changed.notify_all();
  });
  auto wait_for = [&](const std::string& text, std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] {
      return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
               return l.find(text) != std::string::npos;
             })) >= count;
    });
  };
  BusWorker worker(
      bus, "site", [](const auto&, const auto&) { return std::string(); }, log, factory);
  // What the collector is told besides the log: the meters unavailable the moment the port is
  // lost (their last values are no longer current), the port lost and working again.
  std::vector<std::string> told;
  worker.OnAvailability([&](const MeterEntry& m, bool up) {
    std::lock_guard lock(mutex);
    told.push_back(m.name + (up ? " online" : " offline"));
  });
  worker.OnLink([&](const std::string& name, bool up, const std::string& why) {
    std::lock_guard lock(mutex);
    told.push_back(name + (up ? " working" : " lost: " + why));
  });
  worker.Start();
  ASSERT_TRUE(wait_for("unavailable", 1));
  unplugged = false;
  ASSERT_TRUE(wait_for("is back", 1));
  unplugged = true;
  ASSERT_TRUE(wait_for("unavailable", 2));
  worker.RequestStop();
  worker.Join();
  std::lock_guard lock(mutex);
  EXPECT_EQ(told,
            (std::vector<std::string>{"b lost: the adapter is unplugged", "m offline", "b working",
                                      "b lost: the adapter is gone", "m offline"}));
  std::vector<std::string> lost;
  for (const auto& l : lines) {
    if (l.find("unavailable") != std::string::npos) lost.push_back(l);
  }
  ASSERT_EQ(lost.size(), 2u);
  EXPECT_NE(lost[1].find("trying again in 1 s"), std::string::npos) << lost[1];
}

}  // namespace
}  // namespace velmar::tools
