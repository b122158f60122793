// Finding the meters of a bus on the virtual line: a primary scan and a secondary search over 30
// simulated meters whose identification numbers share prefixes, collisions, a meter that never
// answers, and reading each found meter by its identification number.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "line_peers.hpp"
#include "link/link_state.hpp"
#include "velmar/error.hpp"
#include "velmar/records.hpp"
#include "velmar/scan.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar {
namespace {

// Thirty meters at primary addresses 1-30 whose numbers share long prefixes: 1234567x, 123456xy,
// 12345xyz, so the search must narrow through several digits; and a mute meter at 31.
struct Bus {
  explicit Bus(int count = 30) {
    for (int i = 0; i < count; ++i) {
      sim::MeterConfig c;
      c.primaryAddress = static_cast<std::uint8_t>(i + 1);
      c.identNumber = i < 10 ? 12345670 + i : i < 20 ? 12345600 + 3 * (i - 10) : 12345000 + 31 * i;
      c.responseDelayMs = 5 + i % 7;  // meters answer at their own pace
      owned.push_back(std::make_unique<sim::SimMeter>(c));
    }
    sim::MeterConfig mute;
    mute.primaryAddress = 31;
    mute.identNumber = 12345671 + 1000;
    mute.mute = true;
    owned.push_back(std::make_unique<sim::SimMeter>(mute));
    for (auto& m : owned) meters.push_back(m.get());
    peer = std::make_unique<sim::VirtualMeterPeer>(meters);
    port = std::make_unique<virt::VirtualSerialPort>(loop, peer.get());
    port->SetSettings("2400,e,8,1");
    scanner = std::make_unique<BusScanner>(loop, *port);
  }
  std::set<std::uint32_t> Answering() const {
    std::set<std::uint32_t> ids;
    for (const auto& m : owned) {
      if (!m->config().mute) ids.insert(static_cast<std::uint32_t>(m->config().identNumber));
    }
    return ids;
  }

  virt::VirtualEventLoop loop;
  std::vector<std::unique_ptr<sim::SimMeter>> owned;
  std::vector<sim::SimMeter*> meters;
  std::unique_ptr<sim::VirtualMeterPeer> peer;
  std::unique_ptr<virt::VirtualSerialPort> port;
  std::unique_ptr<BusScanner> scanner;
};

TEST(BusScan, SecondarySearchFindsEveryAnsweringMeterExactlyOnce) {
  Bus bus;
  std::vector<std::uint32_t> reported;
  bus.scanner->SetFoundCallback([&](const FoundMeter& m) { reported.push_back(m.identNumber); });
  const auto found = bus.scanner->SearchSecondary();
  std::multiset<std::uint32_t> ids;
  for (const FoundMeter& m : found) {
    EXPECT_TRUE(m.readable);
    EXPECT_EQ(std::string(m.manufacturer.data()), "ORV");
    EXPECT_EQ(m.medium, 2);
    ids.insert(m.identNumber);
  }
  EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()), bus.Answering());
  EXPECT_EQ(ids.size(), 30u);  // each once; the mute meter never
  EXPECT_EQ(reported.size(), 30u);
  // The probes follow the meters, not the ten million numbers.
  EXPECT_LT(bus.scanner->Probes(), 30 * 15);
  EXPECT_FALSE(bus.port->PortOpen());
}

TEST(BusScan, PrimaryScanFindsEveryAddressAndReadsIt) {
  Bus bus;
  const auto found = bus.scanner->ScanPrimary(0, 40);
  ASSERT_EQ(found.size(), 30u);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].primaryAddress, static_cast<int>(i) + 1);
    EXPECT_EQ(found[i].identNumber, static_cast<std::uint32_t>(bus.owned[i]->config().identNumber));
  }
  EXPECT_EQ(bus.scanner->Probes(), 41 + 30);  // a link reset per address, a read per meter
}

TEST(BusScan, TwoMetersAtOneAddressCollide) {
  Bus bus(2);
  bus.owned[1]->config().primaryAddress = 1;
  const auto found = bus.scanner->ScanPrimary(1, 2);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].primaryAddress, 1);
  EXPECT_FALSE(found[0].readable);
}

// A probe listens 330 bit times plus 50 ms (187.5 ms at 2400 baud, 188 on the millisecond
// timer) after its frame; a scan of silent addresses costs just that.
TEST(BusScan, ASilentAddressCostsItsFrameAndTheProbeWindow) {
  Bus bus(0);
  EXPECT_EQ(bus.scanner->ProbeWindowMs(), 188);
  const virt::Nanos start = bus.loop.Now();
  EXPECT_TRUE(bus.scanner->ScanPrimary(0, 9).empty());
  const virt::Nanos per_address = (bus.loop.Now() - start - 2 * virt::Ms(50)) / 10;
  EXPECT_EQ(per_address, 5 * bus.port->CharacterTime() + virt::Ms(188));
  EXPECT_NEAR(bus.scanner->FloorSeconds(), 10 * (5 * 11.0 / 2400 + 0.1875), 1e-9);
}

TEST(BusScan, EveryFoundMeterReadsByItsIdentificationNumber) {
  Bus bus;
  for (const FoundMeter& m : bus.scanner->SearchSecondary("123456FF")) {
    const auto reply = bus.scanner->ReadByIdent(m.identNumber);
    ASSERT_TRUE(reply.has_value()) << m.identNumber;
    DecodedTelegram t;
    ASSERT_EQ(DecodeTelegram(*reply, t), 0);
    EXPECT_EQ(t.header.identNumber, m.identNumber);
  }
  EXPECT_FALSE(bus.scanner->ReadByIdent(99999999).has_value());
  EXPECT_FALSE(bus.scanner->ReadByIdent(12346671).has_value());  // the mute meter
}

TEST(BusScan, PatternsAndRangesAreChecked) {
  Bus bus(1);
  const auto found = bus.scanner->SearchSecondary("1234567F");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].identNumber, 12345670u);
  for (const char* bad : {"1234567", "123456789", "1234567G", ""}) {
    EXPECT_THROW(bus.scanner->SearchSecondary(bad), ArgumentError) << bad;
  }
  EXPECT_THROW(bus.scanner->ScanPrimary(0, 251), ArgumentError);
  EXPECT_THROW(bus.scanner->ScanPrimary(5, 4), ArgumentError);
}

}  // namespace
}  // namespace velmar
