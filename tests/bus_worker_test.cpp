// The collector's bus worker on the virtual platform: its loop and port come from a factory,
// so what it publishes for a bus of several meters is checked without a device, a broker or
// real time. A meter that fails publishes only its own result, never another meter's values.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <nlohmann/json.hpp>

#include "bus_worker.hpp"
#include "line_peers.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::tools {
namespace {

struct Published {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<std::string, nlohmann::json>> messages;

  std::string Add(const std::string& topic, const std::string& payload) {
    std::lock_guard lock(mutex);
    messages.emplace_back(topic, nlohmann::json::parse(payload));
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
  sim::SimMeter good(Meter(1, 11111111, 1.5));
  sim::MeterConfig mute_config = Meter(2, 22222222, 2.5);
  mute_config.mute = true;
  sim::SimMeter mute(mute_config);
  sim::MeterConfig other = Meter(3, 33333333, 3.5);
  other.telegrams = 2;
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
  EXPECT_EQ(m1["MeterID"], 11111111);
  EXPECT_EQ(m1["TransformerRatio"], 10);
  EXPECT_DOUBLE_EQ(m1["ActiveEnergyTotal"].get<double>(), 1.5);

  const auto& [t2, m2] = out.messages[1];
  EXPECT_EQ(t2, "site/mute/state");
  EXPECT_EQ(m2["Timeout"], true);
  EXPECT_EQ(m2["error"], "no reply");
  for (const char* key : {"MeterID", "TransformerRatio", "ActiveEnergyTotal", "errorFlags",
                          "protocolVersion", "records"}) {
    EXPECT_FALSE(m2.contains(key)) << key;
  }

  const auto& [t3, m3] = out.messages[2];
  EXPECT_EQ(t3, "site/two/state");
  EXPECT_EQ(m3["MeterID"], 33333333);
  EXPECT_EQ(m3["telegrams"], 2);
  EXPECT_EQ(m3["TransformerRatio"], 30);  // from the second telegram
}

}  // namespace
}  // namespace velmar::tools
