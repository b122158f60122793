// Hostile and mistaken input to the velmar executable: every case gets one clear answer and a
// documented exit status, nothing reaches a meter that should not, nothing read from a meter is
// lost, and the simulator stops when told whatever it is doing.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_support.hpp"
#include "process.hpp"

namespace velmar::testing {
namespace {

struct BadInput {
  std::vector<std::string> args;
  int status;
  std::string says;  // what the message must contain
};

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("velmar-bad-input-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

// None of these needs a meter: each is refused before a port is opened. --trace would show any
// frame that went out anyway.
TEST(BadInput, EachIsRefusedWithItsStatusAndNothingIsSent) {
  const std::string empty = TempPath("empty.bin");
  std::ofstream(empty).close();
  const std::string huge(100 * 1024, '7');
  const std::vector<BadInput> cases = {
      {{"set-time", "12000"}, 2, "not 12 digits"},
      {{"set-time", "1200001212ab"}, 2, "not 12 digits"},
      {{"set-time", "999999010126"}, 2, "hour 99"},
      {{"set-time", "120099010126"}, 2, "second 99"},
      {{"set-time", "120000320126"}, 2, "day 32"},
      {{"set-time", "120000290225"}, 2, "day 29"},  // 2025 is no leap year
      {{"set-time", "120000011326", "--std"}, 2, "month 13"},
      {{"set-time",
        "\xEF\xBC\x91\xEF\xBC\x92"
        "0000010126"},
       2,
       "not 12 digits"},  // fullwidth
      {{"set-time", "120000010126", "--password", "123456789"}, 2, "at most 8"},
      {{"password", "123456789"}, 2, "at most 8"},
      {{"change-password", "abcdefghi"}, 2, "at most 8"},
      {{"read", "--speed", "abc"}, 2, "300 to 921600"},
      {{"read", "--speed", huge}, 2, "300 to 921600"},
      {{"read", "--address", "123456789"}, 2, "identification number of 8 digits"},
      {{"lock", "3", "--address", "12345678"}, 2, "0-250"},
      {{"intervals", "write", "/dev/zero"}, 1, "character device"},
      {{"intervals", "write", "/tmp"}, 1, "is a folder"},
      {{"intervals", "write", empty}, 1, "--empty"},
      {{"intervals", "write", TempPath("absent.bin")}, 1, "No such file"},
  };
  for (const BadInput& c : cases) {
    std::vector<std::string> args = c.args;
    for (const char* a : {"--device", "/dev/null", "--trace"}) args.push_back(a);
    const ProcessResult r = Velmar(args);
    const std::string shown = c.args[0] + " " + c.args[1].substr(0, 20);
    EXPECT_EQ(r.status, c.status) << shown << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << shown << ": " << r.err;
    EXPECT_EQ(r.err.find("> "), std::string::npos) << shown << ": a frame went out";
    EXPECT_LT(r.err.size(), 400u) << shown << ": the message echoes too much";
    if (c.status == 1) {
      EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    }
  }
  std::filesystem::remove(empty);
}

// Mistakes that once passed: a folder as decode's standard input (read as "no telegrams", exit
// 0), a rate that is not a number (nan passes every range), a broker host of blanks (accepted,
// then tried for ever).
TEST(BadInput, MistakesThatLookedFineAreNamed) {
  const ProcessResult folder =
      RunProcess({"/bin/sh", "-c", std::string(VELMAR_CLI) + " decode < /tmp"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("standard input cannot be read"), std::string::npos) << folder.err;
  const ProcessResult nan = Velmar({"simulate", "--receiver", "hex", "--rate", "nan"});
  EXPECT_EQ(nan.status, 2);
  EXPECT_NE(nan.err.find("0.1 to 1000"), std::string::npos) << nan.err;
  const std::string config = TempPath("blank-host.toml");
  std::ofstream(config) << "[mqtt]\nhost = \"  \"\n[[bus]]\nname = \"a\"\ndevice = "
                           "\"/dev/null\"\n[[bus.meter]]\nname = \"m\"\naddress = \"1\"\n";
  const ProcessResult blank = Velmar({"poll", "--check", config});
  EXPECT_EQ(blank.status, 2);
  EXPECT_NE(blank.err.find(":2: mqtt.host is empty"), std::string::npos) << blank.err;
  std::filesystem::remove(config);
}

// A published MULTICAL 21 telegram and its key (wmbusmeters, simulations/serial_aes.msg).
constexpr const char* kMultical21 =
    "2A442D2C998734761B168D2091D37CAC21E1D68CDAFFCD3DC452BD802913FF7B1706CA9E355D6C2701CC24";
constexpr const char* kMultical21Key = "28F64A24988064A079AA2C807D6102AE";

// A profile a user wrote is checked with each fault's line, a user's own profile folder is
// used beside the package's, and a decoded telegram carries its profile's fields and alarms.
TEST(BadInput, AProfileIsCheckedLineByLineAndUsedByItsName) {
  const std::string dir = TempPath("profiles");
  std::filesystem::create_directories(dir + "/velmar/profiles");
  const std::string bad = dir + "/velmar/profiles/bad.toml";
  std::ofstream(bad) << "name = \"bad\"\ntitle = \"t\"\nsource = \"s\"\n[match]\n"
                        "manufacturer = \"KAM\"\n[[fields]]\nname = \"x\"\nlabel = \"X\"\n"
                        "quantity = \"wetness\"\n";
  const ProcessResult check = Velmar({"profiles", "check", bad});
  EXPECT_EQ(check.status, 2);
  EXPECT_NE(check.err.find(bad + ":9: unknown quantity \"wetness\""), std::string::npos)
      << check.err;
  const std::string env = "XDG_CONFIG_HOME=" + dir + " " + VELMAR_CLI;
  const ProcessResult list = RunProcess({"/bin/sh", "-c", env + " profiles list"});
  EXPECT_EQ(list.status, 1);  // the bad one is named and left out; the others are listed
  EXPECT_NE(list.out.find("kamstrup-multical21"), std::string::npos) << list.out;
  EXPECT_NE(list.err.find("bad.toml:9:"), std::string::npos) << list.err;

  const ProcessResult tried =
      Velmar({"profiles", "check", "--wireless", "--no-crc", "--key", kMultical21Key,
              std::string(VELMAR_SOURCE_DIR) + "/profiles/kamstrup-multical21.toml", kMultical21});
  EXPECT_EQ(tried.status, 0) << tried.err;
  EXPECT_NE(tried.out.find("dry                          set"), std::string::npos) << tried.out;
  EXPECT_NE(tried.out.find("leak                         clear"), std::string::npos);

  const ProcessResult decoded =
      Velmar({"decode", "--wireless", "--no-crc", "--key", kMultical21Key, kMultical21});
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  const auto j = nlohmann::json::parse(decoded.out);
  EXPECT_EQ(j["profile"], "kamstrup-multical21");
  EXPECT_EQ(j["fields"]["total_m3"], 6.408);
  EXPECT_EQ(j["alarms"], nlohmann::json::array({"dry"}));
  std::filesystem::remove_all(dir);
}

// The second telegram's text record holds bytes that are not UTF-8.
constexpr const char* kNotUtf8 = "6815156808017278563412524a0202000000000dfd0e02fffe4616";
constexpr const char* kGood =
    "68 15 15 68 08 05 72 78 56 34 12 56 3e 02 02 01 14 00 00 04 03 e8 03 00 00 6c 16";

TEST(BadInput, DecodePrintsValidJsonForAnyBytesAndKeepsGoing) {
  const ProcessResult r = Velmar({"decode", kGood, kNotUtf8, "zz", kGood});
  EXPECT_EQ(r.status, 1);  // the line that is not hex
  std::vector<nlohmann::json> lines;
  std::size_t at = 0;
  for (std::size_t nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1) {
    lines.push_back(nlohmann::json::parse(r.out.substr(at, nl - at)));  // throws if invalid
  }
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[1]["firmwareVersion"], "\xEF\xBF\xBD\xEF\xBF\xBD");  // two U+FFFD
  EXPECT_EQ(lines[2]["identNumber"], 12345678);
  EXPECT_EQ(LineCount(r.err), 1u) << r.err;
}

// A telegram is printed as soon as its line arrives, before standard input ends.
TEST(BadInput, DecodeAnswersEachLineAsItArrives) {
  BackgroundProcess decode({VELMAR_CLI, "decode"}, true);
  const std::string line = std::string(kGood) + "\n";
  ASSERT_EQ(::write(decode.Input(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const std::string out = decode.ReadLine();
  ASSERT_FALSE(out.empty()) << "no answer while input stays open";
  EXPECT_EQ(nlohmann::json::parse(out)["identNumber"], 12345678);
}

TEST(BadInput, DecodeStopsAtALineLongerThanAnyTelegram) {
  const ProcessResult r = RunProcess(
      {"/bin/sh", "-c",
       std::string("head -c 100000 /dev/zero | tr '\\\\0' 7 | ") + VELMAR_CLI + " decode"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("longer than 4096"), std::string::npos) << r.err;
  EXPECT_LT(r.err.size(), 400u);
}

TEST_F(AgainstSimulator, ATableThatCannotBeWrittenStaysOnStdout) {
  for (const std::string& file : {std::string("/dev/full"), TempPath("missing-folder/back.bin")}) {
    const ProcessResult r = Run({"intervals", "read", file});
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_EQ(r.out, "0106000216\n") << file;  // the simulated meter's table, as hex
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(TempPath("missing-folder")));
  // A folder can never take the table: refused before the meter is asked.
  const ProcessResult folder = Run({"intervals", "read", "/tmp", "--trace"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("is a folder"), std::string::npos) << folder.err;
  EXPECT_EQ(folder.err.find("> "), std::string::npos) << "a frame went out";
}

TEST_F(AgainstSimulator, ADeviceHeldByAnotherProgramIsNamed) {
  const int holder = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const ProcessResult r = Run({"read"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: " + device_ + " is in use by another program"), std::string::npos)
      << r.err;
  ::close(holder);
  EXPECT_EQ(Run({"read"}).status, 0);
}

TEST_F(AgainstSimulator, TheTerminalGetsItsSettingsBackOnClose) {
  const int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(fd, &before), 0);
  cfsetospeed(&before, B1200);
  before.c_lflag |= ECHO;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
  ASSERT_EQ(Run({"read"}).status, 0);  // runs the line raw at 9600 meanwhile
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B1200));
  EXPECT_TRUE(after.c_lflag & ECHO);
  ::close(fd);
}

// A request whose answer is a minute away: the simulator still stops at once.
TEST(BadInput, SimulatorStopsWhileAnAnswerIsPending) {
  BackgroundProcess simulator({VELMAR_CLI, "simulate", "--fault", "delay:60000"});
  const std::string device = simulator.ReadLine();
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::uint8_t snd_nke[] = {0x10, 0x40, 0xFE, 0x3E, 0x16};
  ASSERT_EQ(::write(fd, snd_nke, sizeof snd_nke), 5);
  ::tcdrain(fd);
  EXPECT_EQ(simulator.Interrupt(5000), 0);  // -1 would mean it was still waiting
  ::close(fd);
}

TEST(BadInput, SimulatorConfigIsCheckedWhenLoaded) {
  const std::string file = TempPath("meter.conf");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"id = 1\ndatetime = abcdefghijkl\n", ":2: datetime"},
      {"datetime = 261305143000\n", "month 13"},
      {"manufacturer = orv\n", "three letters"},
      {"delay = -5\n", "0-60000"},
      {"password = 123456789\n", "1 to 8"},
      {"speed = 2400\n", "unknown key \"speed\""},
      {"telegram = 68 05 05 68 08 01 72 16\n", ":1: telegram: not a long frame"},
      {"telegram = 68zz\n", "not a long frame in hex"},
      {std::string(70 * 1024, '#'), "64 KiB"},
  };
  for (const auto& [text, says] : cases) {
    std::ofstream(file) << text;
    const ProcessResult r = Velmar({"simulate", "--config", file});
    EXPECT_EQ(r.status, 1) << says;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "a simulator started";
  }
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace velmar::testing
