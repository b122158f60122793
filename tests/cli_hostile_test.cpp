// The velmar tool under hostile use: signals in the middle of a wait, bytes that are not text,
// passwords a meter cannot hold, FIFOs where files belong, floods of garbage, and collector
// configurations that look right but cannot work. Each case was found by trying it and fails
// with the fault it is for.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli_support.hpp"
#include "process.hpp"

namespace velmar::testing {
namespace {

std::string Temp(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("velmar-hostile-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Whether `text` is valid UTF-8 with no C0 (but newline), DEL or C1 control in it.
bool CleanText(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
      ++i;
      continue;
    }
    const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > text.size()) return false;
    std::uint32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp >= 0x80 && cp <= 0x9F) return false;
    i += n;
  }
  return true;
}

// A pseudo-terminal whose far end nobody answers: a meter that is silent.
struct SilentLine {
  SilentLine() {
    char name[64];
    termios tio{};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    device = name;
    tcgetattr(slave, &tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tio.c_lflag |= ICANON | ECHO;
    tcsetattr(slave, TCSANOW, &tio);
  }
  ~SilentLine() {
    ::close(master);
    ::close(slave);
  }
  // Waits until the master side sees a byte: the command is sending, so it is in its wait.
  bool WaitForTraffic() const {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return false;
    char buf[256];
    return ::read(master, buf, sizeof buf) > 0;
  }
  int master = -1;
  int slave = -1;
  std::string device;
};

// SIGINT, SIGTERM and SIGHUP in the middle of a read and of a tariff write: the process ends at
// once with 128 + the signal, saying so in one line, and the device has its settings back (it
// was 38400 baud with line editing, the command ran it 2400 8E1 raw).
TEST(Hostile, SignalsGiveTheDeviceItsSettingsBack) {
  const std::string table = Temp("table.bin");
  std::ofstream(table) << "\x01\x06\x00";
  const std::vector<std::vector<std::string>> commands = {
      {"read", "--timeout", "60000", "--retries", "0"},
      {"intervals", "write", table, "--password", "00000000"}};
  for (const auto& command : commands) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
      SilentLine line;
      ASSERT_FALSE(line.device.empty());
      std::vector<std::string> argv = {VELMAR_CLI};
      argv.insert(argv.end(), command.begin(), command.end());
      for (const char* a : {"--device", line.device.c_str()}) argv.push_back(a);
      BackgroundProcess velmar(argv, false, true);
      ASSERT_TRUE(line.WaitForTraffic()) << command[0];
      const auto started = std::chrono::steady_clock::now();
      EXPECT_EQ(velmar.Stop(signal, 5000), 128 + signal) << command[0] << " " << signal;
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
      const std::string said = velmar.ReadLine(1000);
      EXPECT_NE(said.find("interrupted by SIG"), std::string::npos) << said;
      termios after{};
      ASSERT_EQ(tcgetattr(line.slave, &after), 0);
      EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B38400)) << command[0] << " " << signal;
      EXPECT_TRUE(after.c_lflag & ICANON) << command[0] << " " << signal;
    }
  }
  std::filesystem::remove(table);
}

// A scan stopped by a signal while it waits on a silent address (a minute's time-out): it ends
// at once with 128 + the signal, the meter it found before is printed and counted, and the
// device has its settings back.
TEST(Hostile, ASignalEndsAScanInTheMiddleOfAProbeWithWhatItFound) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    BackgroundProcess bus({VELMAR_CLI, "simulate", "--meters", "1", "--id", "40000000"});
    const std::string device = bus.ReadLine();
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
    BackgroundProcess scan({VELMAR_CLI, "scan", "--range", "1-250", "--timeout", "60000", "--json",
                            "--device", device},
                           false, true);
    const std::string first = scan.ReadLine(10000);
    EXPECT_NE(first.find("\"identNumber\":40000000"), std::string::npos) << first;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(scan.Stop(signal, 5000), 128 + signal) << signal;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    std::string said;
    for (std::string line; !(line = scan.ReadLine(1000)).empty();) said += line + "\n";
    EXPECT_NE(said.find("1 meter found before the scan was stopped"), std::string::npos) << said;
    EXPECT_NE(said.find("interrupted by SIG"), std::string::npos) << said;
    EXPECT_EQ(bus.Interrupt(), 0);
  }
}

// What is echoed of a bad value is text: at most 20 characters, none split, no control
// characters or broken UTF-8 reaching the terminal.
TEST(Hostile, BadValuesAreEchoedAsCleanText) {
  const std::vector<std::string> values = {
      std::string("\xC2\x9B") + "31m" + std::string(30, 'x'),  // C1 control sequence introducer
      "\xFF\xFE\xFD not utf-8",
      std::string(30, '\xC3'),  // lead bytes without their tails
      Repeat("\xC3\xA4", 22),   // 22 characters of two bytes
      "a\x1B[2Jb",
  };
  for (const std::string& v : values) {
    const ProcessResult r = Velmar({"read", "--address", v});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(CleanText(r.err)) << r.err;
  }
  // Values the argument parser checks itself are echoed on one line as well.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"listen", "--device", "-", "--receiver", "rt\nl\x1B[2J"},
        std::vector<std::string>{"listen", "--device", "-", "--count", "1\n2"}}) {
    const ProcessResult r = Velmar(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(LineCount(r.err), 2u) << r.err;  // the message and where help is
    EXPECT_TRUE(CleanText(r.err)) << r.err;
  }
  // Cut after 20 characters, not after 20 bytes (which would split the tenth character).
  const ProcessResult cut = Velmar({"read", "--address", values[3]});
  EXPECT_NE(cut.err.find("\"" + Repeat("\xC3\xA4", 20) + "...\""), std::string::npos) << cut.err;
}

// A meter password holds 1 to 8 printable ASCII characters; everything else is refused with
// one line before a port is opened.
TEST(Hostile, PasswordsAreWhatAMeterCanHold) {
  struct Case {
    std::string password;
    std::string says;
  };
  const std::vector<Case> refused = {{"", "empty password"},
                                     {"\xC3\xA4\xC3\xA4\xC3\xA4", "printable ASCII"},
                                     {"pass\nword", "printable ASCII"},
                                     {"123456789", "9 characters"}};
  for (const Case& c : refused) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"password", c.password},
          std::vector<std::string>{"lock", "1", "--password", c.password},
          std::vector<std::string>{"change-password", "1234", "--password", c.password}}) {
      std::vector<std::string> with = args;
      for (const char* a : {"--device", "/dev/null", "--trace"}) with.push_back(a);
      const ProcessResult r = Velmar(with);
      EXPECT_EQ(r.status, 2) << args[0] << " \"" << c.password << "\": " << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("> "), std::string::npos) << "a frame went out";
    }
  }
  // Eight printable characters pass the check: what fails then is the missing device.
  const ProcessResult ok = Velmar({"password", "Ab3 $-_~", "--device", Temp("no-such-device")});
  EXPECT_EQ(ok.status, 1) << ok.err;
  EXPECT_NE(ok.err.find("no serial device"), std::string::npos) << ok.err;
}

// A FIFO where a file belongs (nobody at its other end) is refused at once, before anything
// is sent, instead of hanging for ever.
TEST(Hostile, FifosAreRefusedNotWaitedOn) {
  const std::string fifo = Temp("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::vector<std::string>> cases = {
      {"intervals", "write", fifo, "--device", "/dev/null", "--trace"},
      {"intervals", "read", fifo, "--device", "/dev/null", "--trace"},
      {"poll", "--check", fifo},
      {"simulate", "--config", fifo}};
  for (const auto& args : cases) {
    const ProcessResult r = RunProcess(
        [&] {
          std::vector<std::string> argv = {VELMAR_CLI};
          argv.insert(argv.end(), args.begin(), args.end());
          return argv;
        }(),
        10);
    EXPECT_TRUE(r.status == 1 || r.status == 2) << args[0] << " " << args[1] << ": " << r.status;
    EXPECT_NE(r.err.find("FIFO"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("> "), std::string::npos) << "a frame went out";
  }
  std::filesystem::remove(fifo);
}

// decode counts lines, not telegrams, in what it says; and a flood of garbage gets a bounded
// report, not one line of error per line of input.
TEST(Hostile, DecodeCountsLinesAndStopsAFlood) {
  const std::string input = Temp("decode.txt");
  {
    std::ofstream out(input);
    out << "\n\n\n" << std::string(5000, 'A') << "\n";
  }
  ProcessResult r = RunProcess({"/bin/sh", "-c", std::string(VELMAR_CLI) + " decode < " + input});
  EXPECT_NE(r.err.find("line 4 is longer"), std::string::npos) << r.err;
  {
    std::ofstream out(input);
    for (int i = 0; i < 100000; ++i) out << "not hex at all\n";
  }
  r = RunProcess({"/bin/sh", "-c", std::string(VELMAR_CLI) + " decode < " + input});
  EXPECT_EQ(r.status, 1);
  EXPECT_LE(LineCount(r.err), 101u);
  EXPECT_NE(r.err.find("100 telegrams could not be decoded"), std::string::npos);
  std::filesystem::remove(input);
}

TEST(Hostile, EmptyDeviceAndNegativeFaultsAreUsageErrors) {
  ProcessResult r = Velmar({"read", "--device", ""});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("empty device"), std::string::npos) << r.err;
  r = Velmar({"simulate", "--fault", "delay:-5"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("0 to 60000"), std::string::npos) << r.err;
}

// A gateway that refuses the connection is one line naming it, from the bus commands and from
// the control's commands alike.
TEST(Hostile, ARefusedGatewayIsOneLine) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"read"}, std::vector<std::string>{"password", "1234"},
        std::vector<std::string>{"scan", "--range", "1-2"},
        std::vector<std::string>{"intervals", "read"},
        std::vector<std::string>{"lock", "1", "--password", "1234"}}) {
    std::vector<std::string> with = args;
    for (const char* a : {"--device", "tcp://127.0.0.1:1"}) with.push_back(a);
    const ProcessResult r = Velmar(with);
    EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
    EXPECT_EQ(LineCount(r.err), 1u) << args[0] << ": " << r.err;
    EXPECT_NE(r.err.find("127.0.0.1:1"), std::string::npos) << r.err;
  }
}

// Configurations that pass a glance but cannot work: two buses on one device (also through a
// second name of it), a meter at 253 or 255; and 8 digits are an identification number.
TEST(Hostile, CollectorConfigurationsThatCannotWork) {
  const std::string dir = Temp("poll");
  std::filesystem::create_directories(dir);
  const std::string link = dir + "/converter";
  std::filesystem::create_symlink("/dev/null", link);
  auto check = [&](const std::string& buses) {
    const std::string path = dir + "/poll.toml";
    std::ofstream(path) << "[mqtt]\nhost = \"127.0.0.1\"\n" << buses;
    return Velmar({"poll", "--check", path});
  };
  auto bus = [](const std::string& name, const std::string& device, const std::string& address) {
    return "[[bus]]\nname = \"" + name + "\"\ndevice = \"" + device +
           "\"\n[[bus.meter]]\nname = \"m" + name + "\"\naddress = \"" + address + "\"\n";
  };
  ProcessResult r = check(bus("a", "/dev/null", "1") + bus("b", "/dev/null", "2"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the device of bus a"), std::string::npos) << r.err;
  r = check(bus("a", "/dev/null", "1") + bus("b", link, "2"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the device of bus a"), std::string::npos) << r.err;
  for (const char* address : {"253", "255"}) {
    r = check(bus("a", "/dev/null", address));
    EXPECT_EQ(r.status, 2) << address;
    EXPECT_NE(r.err.find("names no single meter"), std::string::npos) << r.err;
  }
  // "00000005" is an identification number: no clash with primary address 5.
  r = check(bus("a", "/dev/null", "5") +
            "[[bus.meter]]\nname = \"ident\"\naddress = \"00000005\"\n");
  EXPECT_EQ(r.status, 0) << r.err;
  std::filesystem::remove_all(dir);
}

// A file holding the broker password or meter keys that every user can read is named with the
// chmod that closes it; one that every user can write is refused, since anyone could then send
// the collector's readings elsewhere. The group may read: that is how a service user gets it.
TEST(Hostile, SecretsOthersCanReadAreNamedAndFilesOthersCanWriteAreRefused) {
  const std::string dir = Temp("modes");
  std::filesystem::create_directories(dir);
  const std::string config = dir + "/poll.toml";
  const std::string keys = dir + "/keys.toml";
  std::ofstream(config) << "[mqtt]\nhost = \"127.0.0.1\"\npassword = \"s3cret\"\n[[bus]]\nname = "
                           "\"a\"\ndevice = \"/dev/null\"\n[[bus.meter]]\nname = \"m\"\n"
                           "address = \"1\"\n";
  std::ofstream(keys) << "[[meter]]\nid = \"12345678\"\nkey = "
                         "\"000102030405060708090A0B0C0D0E0F\"\n";
  const auto run = [&](const std::string& path, mode_t mode) {
    ::chmod(path.c_str(), mode);
    return path == config ? Velmar({"poll", "--check", config})
                          : Velmar({"decode", "--wireless", "--keys", keys, "2e44"});
  };
  for (const std::string& path : {config, keys}) {
    ProcessResult r = run(path, 0644);
    EXPECT_NE(r.err.find("warning: " + path), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("chmod 600 " + path), std::string::npos) << r.err;
    r = run(path, 0640);
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    r = run(path, 0666);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(path + " is writable by every user"), std::string::npos) << r.err;
  }
  // Without a secret a readable configuration is ordinary.
  std::ofstream(config) << "[mqtt]\nhost = \"127.0.0.1\"\n[[bus]]\nname = \"a\"\ndevice = "
                           "\"/dev/null\"\n[[bus.meter]]\nname = \"m\"\naddress = \"1\"\n";
  const ProcessResult plain = run(config, 0644);
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.err, "");
  std::filesystem::remove_all(dir);
}

// A device name is echoed whole, so it can be copied, with bytes that are not text as \xHH.
TEST(Hostile, ADeviceNameThatIsNotTextIsEchoedEscaped) {
  const ProcessResult r = Velmar({"read", "--device", "/dev/tty\xFF\x1B[2J-converter"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("/dev/tty\\xFF\\x1B[2J-converter"), std::string::npos) << r.err;
  EXPECT_TRUE(CleanText(r.err)) << r.err;
}

}  // namespace
}  // namespace velmar::testing
