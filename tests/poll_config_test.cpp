// The collector's configuration file and its spool, without a broker: every mistake a person
// makes in the file is named with its line, and the spool keeps order and its bound.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "faulty_vfs.hpp"
#include "poll_config.hpp"
#include "poll_discovery.hpp"
#include "spool.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

const char* kGood = R"([mqtt]
host = "127.0.0.1"
port = 1883
prefix = "site"
spool = "/tmp/velmar-spool"
[[bus]]
name = "basement"
device = "/dev/ttyUSB0"
speed = 2400
[[bus.meter]]
name = "incomer"
address = "5"
interval = 60
[[bus.meter]]
name = "heat"
address = 12345678
[[bus]]
name = "roof"
device = "tcp://192.0.2.10:10001"
rts = true
[[bus.meter]]
name = "solar"
address = "254"
)";

TEST(PollConfig, TheExampleFileReadsAsWritten) {
  const PollConfig c = ParsePollConfig(kGood, "poll.toml");
  EXPECT_EQ(c.mqtt.prefix, "site");
  EXPECT_EQ(c.mqtt.port, 1883);
  ASSERT_EQ(c.buses.size(), 2u);
  EXPECT_EQ(c.buses[0].device, "/dev/ttyUSB0");
  ASSERT_EQ(c.buses[0].meters.size(), 2u);
  EXPECT_EQ(c.buses[0].meters[0].address, "5");
  EXPECT_EQ(c.buses[0].meters[0].interval, 60);
  EXPECT_EQ(c.buses[0].meters[1].address, "12345678");
  EXPECT_EQ(c.buses[0].meters[1].interval, 60);  // the default
  EXPECT_TRUE(c.buses[1].rts);
  EXPECT_EQ(c.buses[1].speed, 2400);
}

// Each mistake: the text that replaces a piece of the good file, and what the message must say.
struct Mistake {
  const char* from;
  const char* to;
  const char* message;
};

TEST(PollConfig, EveryMistakeIsNamedWithItsLine) {
  const Mistake mistakes[] = {
      {"prefix = \"site\"", "prefx = \"site\"", "poll.toml:4: unknown key mqtt.prefx"},
      {"interval = 60", "interval = 60\ncolour = 1",
       "poll.toml:14: unknown key bus[0].meter[0].colour"},
      {"name = \"heat\"", "name = \"incomer\"", "poll.toml:14: a second meter named incomer"},
      {"name = \"roof\"", "name = \"basement\"", "a second bus named basement"},
      {"address = \"5\"", "address = \"300000000\"", "poll.toml:12: bus[0].meter[0].address"},
      {"address = \"5\"", "address = \"251\"", "poll.toml:12:"},
      {"address = \"254\"", "address = true", "address must be a number or a text"},
      {"interval = 60", "interval = 0", "poll.toml:13: bus[0].meter[0].interval is 0; accepted: 1"},
      {"port = 1883", "port = 70000", "poll.toml:3: mqtt.port is 70000"},
      {"speed = 2400", "speed = \"fast\"", "bus[0].speed must be a whole number"},
      {"device = \"tcp://192.0.2.10:10001\"", "device = \"tcp://192.0.2.10\"", "bus[1].device"},
      {"device = \"tcp://192.0.2.10:10001\"", "device = \"tcp://192.0.2.10:e\\n\\u001b[2J\"",
       "gateway \"tcp://192.0.2.10:e??...\" is not"},
      {"name = \"incomer\"", "name = \"in/comer\"", "is not a name"},
      {"prefix = \"site\"", "prefix = \"site/#\"", "not a topic prefix"},
      {"[[bus.meter]]\nname = \"solar\"\naddress = \"254\"\n", "", "bus roof has no meters"},
      {"port = 1883", "port = = 1883", "poll.toml:3:"},
      {"interval = 60", "interval = n", "poll.toml:13: Error while parsing"},
      {"address = \"254\"", "address = \"5\"\n[extra]\nx = 1", "unknown key extra"},
      {"spool = \"/tmp/velmar-spool\"", "tls_cert = \"c.pem\"",
       "tls_cert and mqtt.tls_key go together"},
      {"spool = \"/tmp/velmar-spool\"", "tls_ca = \"/nonexistent/ca.pem\"",
       "poll.toml:5: mqtt.tls_ca: /nonexistent/ca.pem does not exist"},
      {"spool = \"/tmp/velmar-spool\"", "tls_ca = \"/tmp\"", "mqtt.tls_ca: /tmp is a folder"},
      {"spool = \"/tmp/velmar-spool\"", "tls_insecure = true", "need mqtt.tls_ca"},
      {"name = \"heat\"", "name = \"Incomer\"",
       "poll.toml:14: meters incomer and Incomer both become the id incomer"},
  };
  for (const Mistake& m : mistakes) {
    std::string text = kGood;
    const auto at = text.find(m.from);
    ASSERT_NE(at, std::string::npos) << m.from;
    text.replace(at, std::string(m.from).size(), m.to);
    try {
      ParsePollConfig(text, "poll.toml");
      ADD_FAILURE() << "accepted: " << m.to;
    } catch (const ArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(m.message), std::string::npos)
          << "for " << m.to << ": " << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line: " << e.what();
    }
  }
}

TEST(PollConfig, TwoMetersAtOnePrimaryAddressOfABusAreRefused) {
  std::string text = kGood;
  text.replace(text.find("address = 12345678"), 18, "address = 5");
  EXPECT_THROW(ParsePollConfig(text, "poll.toml"), ArgumentError);
  EXPECT_THROW(ParsePollConfig("[mqtt]\nport = 1\n", "poll.toml"), ArgumentError);  // no bus
}

// A radio beside the buses: what it reads as, and each mistake in its section named with its
// line (receivers, modes, identification numbers, keys, names shared with the buses).
TEST(PollConfig, RadiosReadAsWrittenAndTheirMistakesAreNamed) {
  const std::string radio =
      "[[radio]]\nname = \"yard\"\ndevice = \"/dev/ttyUSB1\"\nreceiver = \"im871a\"\n"
      "mode = \"c1\"\n[[radio.meter]]\nname = \"water\"\nid = \"70000001\"\n"
      "key = \"000102030405060708090A0B0C0D0E0F\"\ninterval = 900\n";
  const PollConfig c = ParsePollConfig(std::string(kGood) + radio, "poll.toml");
  ASSERT_EQ(c.radios.size(), 1u);
  EXPECT_EQ(c.radios[0].receiver, "im871a");
  EXPECT_EQ(c.radios[0].mode, "c1");
  ASSERT_EQ(c.radios[0].meters.size(), 1u);
  EXPECT_EQ(c.radios[0].meters[0].meter.address, "70000001");
  EXPECT_EQ(c.radios[0].meters[0].meter.interval, 900);
  EXPECT_EQ(ParsePollConfig(radio, "poll.toml").buses.size(), 0u);  // radios alone will do
  const Mistake mistakes[] = {
      {"receiver = \"im871a\"", "receiver = \"rtl\"",
       "poll.toml:4: radio[0].receiver \"rtl\" is not a receiver: im871a, amb8465, cul, rtl433 or "
       "hex"},
      {"mode = \"c1\"", "mode = \"n1\"", "poll.toml:5: radio[0].mode \"n1\" is not t1, c1 or s1"},
      {"id = \"70000001\"", "id = \"7000001\"", "poll.toml:8: radio[0].meter[0].id"},
      {"key = \"000102030405060708090A0B0C0D0E0F\"", "key = \"00\"",
       "poll.toml:9: radio[0].meter[0].key is not a key: give 32 hex digits"},
      {"name = \"water\"", "name = \"incomer\"", "poll.toml:29: a second meter named incomer"},
      {"name = \"yard\"", "name = \"roof\"", "poll.toml:24: a second radio named roof"},
      {"/dev/ttyUSB1", "/dev/ttyUSB0", "radio yard is on /dev/ttyUSB0, the device of bus basement"},
      {"interval = 900", "interval = 900\nid = \"70000002\"", "poll.toml:"},
  };
  for (const Mistake& m : mistakes) {
    std::string text = radio;
    const auto at = text.find(m.from);
    ASSERT_NE(at, std::string::npos) << m.from;
    text.replace(at, std::string(m.from).size(), m.to);
    const std::string whole = std::string(m.to).find("incomer") != std::string::npos ||
                                      std::string(m.to).find("roof") != std::string::npos ||
                                      std::string(m.to).find("USB0") != std::string::npos
                                  ? std::string(kGood) + text
                                  : text;
    try {
      ParsePollConfig(whole, "poll.toml");
      ADD_FAILURE() << "accepted: " << m.to;
    } catch (const ArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(m.message), std::string::npos)
          << "for " << m.to << ": " << e.what();
    }
  }
}

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmar-spool-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(SpoolTest, KeepsOrderAcrossARestartAndDropsTheOldestAtItsBound) {
  {
    Spool spool(dir_, 5);
    for (int i = 1; i <= 7; ++i) {
      const Spool::Kept kept = spool.Push("t", std::to_string(i));
      EXPECT_EQ(kept.dropped, i > 5 ? 1 : 0) << i;
      EXPECT_EQ(kept.where, Spool::Where::kDisk) << i;
    }
    EXPECT_EQ(spool.Size(), 5);
  }
  Spool again(dir_, 5);
  EXPECT_EQ(again.Size(), 5);
  auto entries = again.After(0, 10);
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries.front().payload, "3");
  EXPECT_EQ(entries.back().payload, "7");
  again.Remove(entries[0].id);
  entries = again.After(entries[1].id, 10);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries.front().payload, "5");
  EXPECT_EQ(again.Size(), 4);
}

// The payloads offered, after checking that each reading is offered once and in the order
// it was taken (ids only grow).
std::vector<std::string> Payloads(const std::vector<Spool::Entry>& entries) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(entries[i - 1].id, entries[i].id)
          << entries[i].payload << " offered after " << entries[i - 1].payload;
    }
    out.push_back(entries[i].payload);
  }
  return out;
}

// The disk under the spool fills and empties again: readings wait in memory in their order and
// are offered from there, an acknowledged reading whose delete the disk refuses is not offered
// again, one note says the disk refuses and one that it takes writes again, and once it does
// the readings that waited are on disk (a restart finds them).
TEST_F(SpoolTest, AFullDiskKeepsReadingsInMemoryUntilSpaceReturns) {
  std::vector<std::string> notes;
  {
    Spool spool(
        dir_, 100, [&](const std::string& n) { notes.push_back(n); }, testing::FaultyVfsName());
    for (const char* p : {"1", "2", "3"}) EXPECT_EQ(spool.Push("t", p).where, Spool::Where::kDisk);
    testing::SetDiskFull(true);
    for (const char* p : {"4", "5", "6"}) {
      EXPECT_EQ(spool.Push("t", p).where, Spool::Where::kMemory) << p;
    }
    EXPECT_EQ(notes.size(), 1u);
    auto all = spool.After(0, 10);
    EXPECT_EQ(Payloads(all), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
    spool.Remove(all[0].id);  // on disk: the delete is refused and tried again later
    spool.Remove(all[4].id);  // in memory
    EXPECT_EQ(Payloads(spool.After(0, 10)), (std::vector<std::string>{"2", "3", "4", "6"}));
    EXPECT_EQ(spool.Size(), 4);
    EXPECT_EQ(spool.InMemory(), 2);
    // Memory emptied by acknowledgements is no sign that the disk takes writes again.
    const auto waiting = spool.After(0, 10);
    spool.Remove(waiting[2].id);
    spool.Remove(waiting[3].id);
    EXPECT_EQ(spool.Push("t", "6b").where, Spool::Where::kMemory);
    EXPECT_EQ(notes.size(), 1u);
    spool.Remove(spool.After(0, 10).back().id);
    testing::SetDiskFull(false);
    EXPECT_EQ(spool.Push("t", "7").where, Spool::Where::kDisk);
    EXPECT_EQ(spool.InMemory(), 0);
    EXPECT_EQ(Payloads(spool.After(0, 10)), (std::vector<std::string>{"2", "3", "7"}));
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("refuses"), std::string::npos) << notes[0];
    EXPECT_NE(notes[1].find("again"), std::string::npos) << notes[1];
  }
  Spool again(dir_, 100);
  EXPECT_EQ(Payloads(again.After(0, 10)), (std::vector<std::string>{"2", "3", "7"}));
}

// Readings that waited in memory reach the disk in the order they were taken, and are offered
// in that order and once, from memory and when the disk takes them again.
TEST_F(SpoolTest, ReadingsFromMemoryReachTheDiskInOrder) {
  {
    Spool spool(dir_, 100, {}, testing::FaultyVfsName());
    spool.Push("t", "0");
    testing::SetDiskFull(true);
    for (const char* p : {"a", "b", "c"}) spool.Push("t", p);
    const auto waiting = spool.After(0, 10);
    ASSERT_EQ(Payloads(waiting), (std::vector<std::string>{"0", "a", "b", "c"}));
    // Past a reading (on disk, in memory): never that reading again.
    EXPECT_EQ(Payloads(spool.After(waiting[0].id, 10)), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(Payloads(spool.After(waiting[2].id, 10)), (std::vector<std::string>{"c"}));
    EXPECT_TRUE(spool.After(waiting[3].id, 10).empty());
    testing::SetDiskFull(false);
    spool.Push("t", "d");
    EXPECT_EQ(spool.InMemory(), 0);
    EXPECT_EQ(Payloads(spool.After(0, 10)), (std::vector<std::string>{"0", "a", "b", "c", "d"}));
    EXPECT_EQ(Payloads(spool.After(waiting[1].id, 10)), (std::vector<std::string>{"b", "c", "d"}));
  }
  Spool again(dir_, 100);
  EXPECT_EQ(Payloads(again.After(0, 10)), (std::vector<std::string>{"0", "a", "b", "c", "d"}));
}

// A big reading the disk has no room for waits in memory; a small one after it that the disk
// would still take waits behind it, or it would be published first.
TEST_F(SpoolTest, ASmallReadingNeverOvertakesABigOneWaitingInMemory) {
  Spool spool(dir_, 1'000'000, {}, testing::FaultyVfsName());
  spool.Push("t", "0");
  long long used = 0;
  for (const auto& f : std::filesystem::directory_iterator(dir_)) {
    if (f.is_regular_file()) used += static_cast<long long>(f.file_size());
  }
  testing::SetDiskSize(used + 16384);  // room for a small reading, not for 64 KiB
  EXPECT_EQ(spool.Push("t", std::string(65536, 'b')).where, Spool::Where::kMemory);
  spool.Push("t", "s");
  testing::SetDiskSize(-1);
  std::vector<std::string> order;
  for (const auto& e : spool.After(0, 10)) order.push_back(e.payload.substr(0, 1));
  EXPECT_EQ(order, (std::vector<std::string>{"0", "b", "s"}));
}

TEST_F(SpoolTest, MemoryIsBoundedWhileTheDiskRefuses) {
  Spool spool(dir_, 1'000'000, {}, testing::FaultyVfsName());
  testing::SetDiskFull(true);
  int dropped = 0;
  for (std::int64_t i = 0; i <= Spool::kMemoryLimit; ++i) dropped += spool.Push("t", "x").dropped;
  testing::SetDiskFull(false);
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(spool.InMemory(), Spool::kMemoryLimit);
}

// On a small disk the write-ahead log must not keep the space its database needs: readings
// stay on disk until the database itself fills the disk, not the database and the log.
TEST_F(SpoolTest, OnASmallDiskTheLogGivesItsSpaceToTheReadings) {
  constexpr long long kDisk = 1 << 20;
  Spool spool(dir_, 1'000'000, {}, testing::FaultyVfsName());
  testing::SetDiskSize(kDisk);
  int on_disk = 0;
  for (int i = 0; i < 2000; ++i) {
    on_disk += spool.Push("t", std::string(300, 'r')).where == Spool::Where::kDisk;
  }
  testing::SetDiskSize(-1);
  EXPECT_EQ(on_disk, 2000);  // about 700 KiB of readings on a 1 MiB disk
  long long used = 0;
  for (const auto& f : std::filesystem::directory_iterator(dir_)) {
    if (f.path().filename().string().rfind("readings.sqlite3", 0) == 0) {
      used += static_cast<long long>(f.file_size());
    }
  }
  EXPECT_LE(used, kDisk);
}

// Compact frame formats a radio meter showed survive a restart beside the readings; a meter
// that changes its format under the same signature keeps only the newer one.
TEST_F(SpoolTest, KeepsCompactFrameFormatsAcrossARestart) {
  const CompactFormats::Meter meter{0x2D, 0x2C, 0x99, 0x48, 0x05, 0x71, 0x34, 0x0C};
  {
    Spool spool(dir_, 10);
    EXPECT_TRUE(spool.KeepFormat({meter, 0xB34D, {0x04, 0x06, 0x04, 0x14}}));
    EXPECT_TRUE(spool.KeepFormat({meter, 0xB34D, {0x04, 0x06}}));
    EXPECT_TRUE(spool.KeepFormat({meter, 0x1234, {0x02, 0x59}}));
    spool.Push("t", "a reading");
  }
  Spool again(dir_, 10);
  const auto formats = again.Formats();
  ASSERT_EQ(formats.size(), 2u);
  for (const auto& f : formats) {
    EXPECT_EQ(f.meter, meter);
    EXPECT_EQ(f.difvif, f.signature == 0xB34D ? std::vector<std::uint8_t>({0x04, 0x06})
                                              : std::vector<std::uint8_t>({0x02, 0x59}));
  }
  EXPECT_EQ(again.Size(), 1);
}

TEST_F(SpoolTest, AFolderThatCannotBeMadeIsNamed) {
  EXPECT_THROW(Spool("/proc/velmar-spool", 10), Error);
}

}  // namespace
}  // namespace velmar::tools
