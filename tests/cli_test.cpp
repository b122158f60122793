// The velmar executable as a user meets it: argument errors, exit statuses, and whole command
// sequences against `velmar simulate` running as a second process on a pseudo-terminal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.hpp"

namespace velmar::testing {
namespace {

using nlohmann::json;

struct UsageCase {
  std::vector<std::string> args;
  std::string mentions;  // what the one line must name
};

TEST(CommandLine, UsageErrorsExitTwoWithOneLineAndNoTrace) {
  const std::vector<UsageCase> cases = {
      {{}, "subcommand"},
      {{"frobnicate"}, "frobnicate"},
      {{"read", "--bogus"}, "--bogus"},
      {{"read", "--speed"}, "--speed"},
      {{"read", "--speed", "fast"}, "--speed"},
      {{"read", "--address", "300x"}, "address"},
      {{"read", "--address", "251"}, "0-250"},
      {{"read", "--address", "123456789"}, "identification number of 8 digits"},
      {{"read", "--address", "0000042"}, "identification number of 8 digits"},
      {{"read", "--timeout", "0"}, "1 to 60000"},
      {{"read", "--timeout", "60001"}, "1 to 60000"},
      {{"set-address", "251", "--address", "1"}, "0-250"},
      {{"set-speed", "1000", "--address", "1"}, "38400"},
      {{"set-speed", "57600", "--address", "1"}, "38400"},
      {{"reset", "--application", "256", "--address", "1"}, "0-255"},
      {{"send", "10 5B F"}, "hexadecimal"},
      {{"scan", "--range", "5-7junk"}, "range"},
      {{"scan", "--range", "7-5"}, "range"},
      {{"scan", "--secondary", "--range", "1-5"}, "--range"},
      {{"lock", "3", "--address", "12345678"}, "out of range"},
      {{"password"}, "PASSWORD"},
      {{"lock", "300", "--password", "1"}, "MODE"},
      {{"set-time"}, "TIME"},
      {{"intervals"}, "subcommand"},
      {{"simulate", "--fault", "smoke"}, "smoke"},
      {{"simulate", "--fault", "delay:soon"}, "soon"},
      {{"simulate", "--tcp", "70000"}, "--tcp"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--trace");  // would show any frame sent; usage errors send none
    if (args.size() == 1) args.clear();
    const ProcessResult r = Velmar(args);
    const std::string where = args.empty() ? "(no arguments)" : args[0] + " ...";
    EXPECT_EQ(r.status, 2) << where << "\n" << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << where << "\n" << r.err;
    EXPECT_EQ(r.err.find("> "), std::string::npos) << where;
    EXPECT_EQ(r.err.find("terminate"), std::string::npos) << where;
  }
}

TEST(CommandLine, HelpNamesTheExitStatuses) {
  const ProcessResult top = Velmar({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("Exit status"), std::string::npos);
  for (const char* sub : {"read", "password", "set-time", "lock", "decode", "simulate", "config"}) {
    const ProcessResult r = Velmar({sub, "--help"});
    EXPECT_EQ(r.status, 0) << sub;
    EXPECT_NE(r.out.find("--"), std::string::npos) << sub;
    EXPECT_NE(r.out.find("Exit status"), std::string::npos) << sub;  // not "see the README"
  }
}

TEST(CommandLine, MissingDeviceIsOneErrorLineAndStatusOne) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"read", "--device", "/dev/no-such-converter", "--trace"},
        std::vector<std::string>{"set-time", "now", "--password", "0", "--device",
                                 "/dev/no-such-converter", "--trace"}}) {
    const ProcessResult r = Velmar(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("/dev/no-such-converter"), std::string::npos);
  }
}

// An RSP_UD from meter 12345678 with one record, 1000 Wh, as hex with a correct checksum.
std::string OneRecordTelegram() {
  const std::vector<unsigned> body = {0x08, 0x05, 0x72, 0x78, 0x56, 0x34, 0x12,
                                      0x56, 0x3E, 0x02, 0x02, 0x01, 0x14, 0x00,
                                      0x00, 0x04, 0x03, 0xE8, 0x03, 0x00, 0x00};
  unsigned sum = 0;
  for (unsigned b : body) sum += b;
  std::vector<unsigned> frame = {0x68, static_cast<unsigned>(body.size()),
                                 static_cast<unsigned>(body.size()), 0x68};
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(sum & 0xFF);
  frame.push_back(0x16);
  std::string hex;
  char buf[4];
  for (unsigned b : frame) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    hex += buf;
  }
  return hex;
}

// The keys the README documents for read --json, in its order.
std::vector<std::string> DocumentedJsonKeys() {
  std::ifstream readme(VELMAR_README);
  const std::string text((std::istreambuf_iterator<char>(readme)),
                         std::istreambuf_iterator<char>());
  const std::string heading = "### JSON keys of `velmar read --json`";
  const auto at = text.find(heading);
  if (at == std::string::npos) return {};
  const auto section =
      text.substr(at + heading.size(), text.find("\n#", at + 1) - at - heading.size());
  std::vector<std::string> keys;
  for (std::size_t open = section.find('`'); open != std::string::npos;) {
    const std::size_t close = section.find('`', open + 1);
    if (close == std::string::npos) break;
    keys.push_back(section.substr(open + 1, close - open - 1));
    open = section.find('`', close + 1);
  }
  return keys;
}

// The exit statuses the help's table names, each seen on a command that ends that way.
TEST(CommandLine, TheHelpsExitStatusesAreWhatCommandsEndWith) {
  const std::string help = Velmar({"--help"}).out;
  const auto table = help.find("Exit status:");
  ASSERT_NE(table, std::string::npos) << help;
  std::set<int> documented;
  std::istringstream lines(help.substr(table));
  for (std::string line; std::getline(lines, line);) {
    int code = -1;
    if (std::sscanf(line.c_str(), "  %d ", &code) == 1 && line.size() > 6 &&
        line.compare(2, 1, " ") != 0) {
      documented.insert(code);
    }
  }
  const std::vector<std::pair<int, std::vector<std::string>>> cases = {
      {0, {"read", "--simulate"}},
      {1, {"read", "--device", "/dev/velmar-no-such-device"}},
      {2, {"read", "--no-such-option"}},
      {3, {"read", "--simulate", "--address", "9", "--retries", "0"}},
  };
  for (const auto& [code, args] : cases) {
    EXPECT_TRUE(documented.count(code)) << code << " is not in the help:\n" << help;
    const ProcessResult r = Velmar(args);
    EXPECT_EQ(r.status, code) << args[1] << "\n" << r.err;
  }
}

TEST(CommandLine, ReadJsonHasExactlyTheDocumentedKeysInOrder) {
  const ProcessResult r = Velmar({"read", "--simulate", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> keys;
  const auto parsed = nlohmann::ordered_json::parse(r.out);
  for (auto it = parsed.begin(); it != parsed.end(); ++it) keys.push_back(it.key());
  const std::vector<std::string> documented = DocumentedJsonKeys();
  ASSERT_FALSE(documented.empty()) << "README has no JSON key list";
  EXPECT_EQ(keys, documented);
}

// The standard decoder's JSON, with one telegram typed as separate byte arguments.
TEST(CommandLine, DecodeRecordsPrintsHeaderAndRecordList) {
  std::vector<std::string> args = {"decode", "--records"};
  const std::string telegram = OneRecordTelegram();
  for (std::size_t at = 0; at + 2 <= telegram.size(); at += 3)
    args.push_back(telegram.substr(at, 2));
  const ProcessResult r = Velmar(args);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(LineCount(r.out), 1u) << r.out;
  const auto j = nlohmann::ordered_json::parse(r.out);
  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"result", "header", "records", "manufacturerData",
                                            "moreRecords"}));
  EXPECT_EQ(j["header"]["identNumber"], "12345678");
  EXPECT_EQ(j["header"]["manufacturer"], "ORV");
  EXPECT_EQ(j["header"]["mediumName"], "Electricity");
  ASSERT_EQ(j["records"].size(), 1u);
  const auto& rec = j["records"][0];
  EXPECT_EQ(rec["function"], "instantaneous");
  EXPECT_EQ(rec["quantity"], "Energy");
  EXPECT_EQ(rec["unit"], "Wh");
  EXPECT_EQ(rec["value"], 1000);
  EXPECT_EQ(rec["storage"], 0);
  EXPECT_EQ(rec["tariff"], 0);
  EXPECT_EQ(rec["subunit"], 0);
}

// Wireless telegrams without their CRCs, one per argument: a good one with its link layer and
// values, a cut one with its result and reason (exit status 1), and the others still decoded.
TEST(CommandLine, DecodeWirelessReadsEachTelegramAndSaysWhyOneFails) {
  const std::string good =
      "1C44A2051111111101377278563412"
      "2D2C3404070000000406CE860000";
  const ProcessResult r =
      Velmar({"decode", "--wireless", "--no-crc", good, good.substr(0, 40), good});
  ASSERT_EQ(r.status, 1) << r.err;
  std::vector<json> lines;
  for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(json::parse(r.out.substr(at, end - at)));
  }
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0]["format"], "without CRCs");
  EXPECT_EQ(lines[0]["link"]["identNumber"], "11111111");
  EXPECT_EQ(lines[0]["header"]["identNumber"], "12345678");
  EXPECT_EQ(lines[0]["header"]["manufacturer"], "KAM");
  EXPECT_EQ(lines[0]["values"]["energy_kWh"], 34510);
  EXPECT_EQ(lines[0]["result"], 0);
  EXPECT_EQ(lines[1]["result"], -14);
  EXPECT_EQ(lines[1]["status"], "damaged frame");
  EXPECT_NE(lines[1]["error"].get<std::string>().find("shorter than its L field"),
            std::string::npos);
  EXPECT_EQ(lines[2]["values"]["energy_kWh"], 34510);
  // Without --no-crc the same telegram is taken as sent on the air: L + 1 bytes whose format B
  // CRC fails is damaged.
  EXPECT_EQ(Velmar({"decode", "--wireless", good}).status, 1);
}

// A heat meter's compact frame (wmbusmeters test data, kamheat; its session number's
// encryption bits cleared, as the source published it deciphered) is read with the format the
// full frame on an earlier line showed; before it, it is not yet known. The keys file is the
// one listen takes.
TEST(CommandLine, DecodeWirelessLearnsCompactFormatsFromEarlierLines) {
  const std::string full =
      "56442D2C99480571340C8D2019708C8302C88F780406AF7D000004FF076556020004FF08D7E701000414CC7A05"
      "00043B0000000002598F0C025D920D04FF2200000000026CDF214406AF7D00004414CC7A0500426CC121";
  const std::string compact =
      "3F442D2C99480571340C8D201B728C8302BE3D794DB3E88DAF7D000065560200D7E70100CC7A050000000000"
      "810C930D00000000DF21AF7D0000CC7A0500C121";
  const ProcessResult before = Velmar({"decode", "--wireless", "--no-crc", compact, full});
  EXPECT_EQ(before.status, 1);
  const ProcessResult after = Velmar({"decode", "--wireless", "--no-crc", full, compact});
  ASSERT_EQ(after.status, 0) << after.out << after.err;
  std::vector<json> lines;
  for (std::size_t at = 0, end; (end = after.out.find('\n', at)) != std::string::npos;
       at = end + 1) {
    lines.push_back(json::parse(after.out.substr(at, end - at)));
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["compact"], true);
  EXPECT_EQ(lines[1]["values"]["flow_temperature_C"], 32.01) << lines[1];
  EXPECT_NE(before.out.find("\"status\":\"compact frame, format not yet known\""),
            std::string::npos);

  // Keys from a keys file: the published mode 5 example of a radio module's manual.
  const std::string keys = ::testing::TempDir() + "/decode-keys.toml";
  std::ofstream(keys)
      << "[[meter]]\nid = \"12345678\"\nkey = \"000102030405060708090A0B0C0D0E0F\"\n";
  const ProcessResult keyed =
      Velmar({"decode", "--wireless", "--no-crc", "--keys", keys,
              "1E44A2057856341200037A350010051E34C77CFE6C59B154B663297FE6C3F7"});
  EXPECT_EQ(keyed.status, 0) << keyed.out << keyed.err;
  EXPECT_NE(keyed.out.find("ENC TEST"), std::string::npos) << keyed.out;
}

TEST(CommandLine, DecodeKeepsGoingPastABadLine) {
  const std::string telegram = OneRecordTelegram();
  const ProcessResult r = Velmar({"decode", telegram, "not hex", telegram});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(LineCount(r.out), 2u) << r.out;
  EXPECT_EQ(LineCount(r.err), 1u) << r.err;
  const json first = json::parse(r.out.substr(0, r.out.find('\n')));
  EXPECT_EQ(first["result"], 0);
  EXPECT_EQ(first["identNumber"], 12345678);
  EXPECT_EQ(first["activeEnergyTotal"], 1.0);  // 1000 Wh
}

TEST_F(AgainstSimulator, ReadPrintsEveryValueAsJson) {
  const json j = ReadJson();
  EXPECT_EQ(j["result"], 0);
  EXPECT_EQ(j["Timeout"], false);
  EXPECT_EQ(j["MeterID"], 31415926);
  EXPECT_EQ(j["Manufacturer"], "ORV");
  EXPECT_EQ(j["ActiveEnergyTotal"], 12345.67);
  ASSERT_EQ(j["ActiveEnergy"].size(), 6u);
  EXPECT_EQ(j["ActiveEnergy"][1], 8000.25);
  EXPECT_EQ(j["TransformerRatio"], 50);
  EXPECT_EQ(j["MeterTime"], "14:30:00");
  ASSERT_EQ(j["getRelayState"].size(), 6u);
  EXPECT_EQ(j["getRelayState"][0], 1);
  EXPECT_EQ(j["getRelayState"][1], 0);
}

TEST_F(AgainstSimulator, ReadWithRecordsAddsTheStandardRecordList) {
  const ProcessResult r = Run({"read", "--json", "--records"});
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["MeterID"], 31415926);
  ASSERT_GT(j["records"].size(), 20u);
  EXPECT_EQ(j["records"][0]["quantity"], "Energy");
  EXPECT_EQ(j["records"][0]["value"], 12345670.0);  // the total register, in Wh
  EXPECT_EQ(j["records"][1]["tariff"], 1);
}

TEST_F(AgainstSimulator, PasswordThenClockIsReadBack) {
  EXPECT_EQ(Run({"password", "00000000"}).status, 0);
  const ProcessResult set = Run({"set-time", "101500241226", "--password", "00000000", "--trace"});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_NE(set.err.find("> "), std::string::npos);  // the frames went out
  const json j = ReadJson();
  EXPECT_EQ(j["MeterDate"], "261224");
  EXPECT_EQ(j["MeterTime"], "10:15:00");
}

TEST_F(AgainstSimulator, WrongPasswordFailsWithItsCode) {
  const ProcessResult r = Run({"set-time", "101500241226", "--password", "99999999"});
  EXPECT_EQ(r.status, 13) << r.err;  // givePassword: no reply
  EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
  EXPECT_EQ(ReadJson()["MeterTime"], "14:30:00");  // the clock is untouched
}

TEST_F(AgainstSimulator, SavedSettingsServeLaterCommandsAndOptionsStillWin) {
  const ProcessResult saved = Velmar({"config", "--device", device_, "--speed", "9600"});
  ASSERT_EQ(saved.status, 0) << saved.err;
  EXPECT_NE(saved.out.find(device_), std::string::npos) << saved.out;
  EXPECT_NE(Velmar({"config"}).out.find("speed 9600"), std::string::npos);
  const ProcessResult read = Velmar({"read", "--json"});  // no device on the command line
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(json::parse(read.out)["MeterID"], 31415926);
  const ProcessResult other = Velmar({"read", "--device", "/dev/no-such-converter"});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("/dev/no-such-converter"), std::string::npos) << other.err;
  const ProcessResult bad = Velmar({"config", "--speed", "2401"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(Velmar({"config"}).out.find("speed 9600"), std::string::npos);  // nothing written
}

TEST_F(AgainstSimulator, IntervalTableRoundTripsThroughTwoProcesses) {
  const std::vector<std::uint8_t> table = {0x01, 0x06, 0x00, 0x02, 0x16, 0x00, 0x03, 0x07,
                                           0x30, 0x01, 0x22, 0x15, 0x04, 0x01, 0x00, 0x02};
  const auto in = TempFile("table.bin"), out = TempFile("back.bin");
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(table.data()), static_cast<long>(table.size()));
  const ProcessResult w = Run({"intervals", "write", in.string(), "--password", "00000000"});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");  // progress only on a terminal
  ASSERT_EQ(Run({"intervals", "read", out.string()}).status, 0);
  std::ifstream back(out, std::ios::binary);
  const std::vector<std::uint8_t> got((std::istreambuf_iterator<char>(back)),
                                      std::istreambuf_iterator<char>());
  EXPECT_EQ(got, table);
  const ProcessResult hex = Run({"intervals", "read"});
  EXPECT_EQ(hex.out, "01060002160003073001221504010002\n");
  std::filesystem::remove(in);
  std::filesystem::remove(out);
}

TEST_F(AgainstSimulator, BadTableFilesAreRefusedBeforeAnythingIsSent) {
  const auto big = TempFile("big.bin");
  std::ofstream(big, std::ios::binary) << std::string(303, '\x01');
  for (const std::string& file : {big.string(), TempFile("absent.bin").string()}) {
    const ProcessResult r = Run({"intervals", "write", file, "--password", "00000000", "--trace"});
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.find("> "), std::string::npos) << r.err;
  }
  std::filesystem::remove(big);
}

TEST(SimulatorOverTcp, AnswersRawFramesOnLoopback) {
  BackgroundProcess simulator({VELMAR_CLI, "simulate", "--tcp", "0", "--speed", "9600"});
  const std::string where = simulator.ReadLine();
  ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(where.substr(10))));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::uint8_t snd_nke[] = {0x10, 0x40, 0xFE, 0x3E, 0x16};
  ASSERT_EQ(::send(fd, snd_nke, sizeof snd_nke, 0), 5);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  std::uint8_t reply = 0;
  EXPECT_EQ(::recv(fd, &reply, 1, 0), 1);
  EXPECT_EQ(reply, 0xE5);
  ::close(fd);
  EXPECT_EQ(simulator.Interrupt(), 0);
}

// The same meter through a gateway (tcp://) and through a serial line gives the same reading.
TEST(SimulatorOverTcp, ReadThroughAGatewayEqualsReadThroughASerialLine) {
  BackgroundProcess tcp({VELMAR_CLI, "simulate", "--tcp", "0", "--speed", "9600"});
  BackgroundProcess pty({VELMAR_CLI, "simulate", "--speed", "9600"});
  const std::string where = tcp.ReadLine(), device = pty.ReadLine();
  ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
  const ProcessResult over_tcp = Velmar({"read", "--json", "--device", "tcp://" + where});
  const ProcessResult over_pty = Velmar({"read", "--json", "--device", device, "--speed", "9600"});
  ASSERT_EQ(over_tcp.status, 0) << over_tcp.err;
  ASSERT_EQ(over_pty.status, 0) << over_pty.err;
  EXPECT_EQ(over_tcp.out, over_pty.out);
  const ProcessResult refused = Velmar({"read", "--device", "tcp://127.0.0.1:1"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Error: cannot connect to gateway 127.0.0.1:1"), std::string::npos)
      << refused.err;
  EXPECT_EQ(Velmar({"read", "--device", "tcp://127.0.0.1:0x1"}).status, 2);
  EXPECT_EQ(tcp.Interrupt(), 0);
  EXPECT_EQ(pty.Interrupt(), 0);
}

// A simulated bus on a pseudo-terminal: its meters answer at their own speed only (the bus's,
// 2400 unless said), so a master at another speed hears nothing; --id numbers the meters from
// it up.
TEST(Scan, SimulatedMetersAnswerAtTheirOwnSpeedAndTakeTheirNumbersFromId) {
  BackgroundProcess bus({VELMAR_CLI, "simulate", "--meters", "2", "--id", "40000000"});
  const std::string device = bus.ReadLine();
  const ProcessResult wrong_speed =
      Velmar({"read", "--device", device, "--address", "1", "--speed", "9600", "--retries", "0"});
  EXPECT_EQ(wrong_speed.status, 3) << wrong_speed.err;
  const ProcessResult found =
      Velmar({"scan", "--primary", "--range", "1-2", "--json", "--device", device});
  ASSERT_EQ(found.status, 0) << found.err;
  std::vector<std::uint32_t> ids;
  for (std::size_t at = 0, nl; (nl = found.out.find('\n', at)) != std::string::npos; at = nl + 1) {
    ids.push_back(json::parse(found.out.substr(at, nl - at))["identNumber"]);
  }
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{40000000, 40000001}));
  EXPECT_EQ(bus.Interrupt(), 0);
  EXPECT_EQ(Velmar({"simulate", "--meters", "3", "--id", "99999998"}).status, 2);
}

// A bus of five simulated meters behind a gateway: both scans find them, and a meter is read by
// its identification number.
TEST(Scan, FindsTheMetersOfABusAndReadsOneByItsNumber) {
  BackgroundProcess bus({VELMAR_CLI, "simulate", "--tcp", "0", "--speed", "9600", "--meters", "5"});
  const std::string gateway = "tcp://" + bus.ReadLine();
  const ProcessResult secondary = Velmar({"scan", "--secondary", "--pattern", "123456FF", "--json",
                                          "--device", gateway, "--speed", "9600"});
  ASSERT_EQ(secondary.status, 0) << secondary.err;
  std::vector<std::uint32_t> ids;
  for (std::size_t at = 0, nl; (nl = secondary.out.find('\n', at)) != std::string::npos;
       at = nl + 1) {
    const json m = json::parse(secondary.out.substr(at, nl - at));
    EXPECT_EQ(m["manufacturer"], "ORV");
    ids.push_back(m["identNumber"]);
  }
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{12345600, 12345603, 12345606, 12345609, 12345612}));
  const ProcessResult primary = Velmar(
      {"scan", "--primary", "--range", "3-7", "--json", "--device", gateway, "--speed", "9600"});
  ASSERT_EQ(primary.status, 0) << primary.err;
  EXPECT_EQ(LineCount(primary.out), 3u) << primary.out;  // addresses 3, 4 and 5
  const ProcessResult read = Velmar({"read", "--address", "12345609", "--json", "--trace",
                                     "--device", gateway, "--speed", "9600"});
  ASSERT_EQ(read.status, 0) << read.err;
  // Every frame both ways: the reset, the selection and its acknowledge, the request, the data.
  for (const char* frame : {"> 1040FD3D16", "> 680B0B6853FD52", "< E5", "> 107BFD7816", "< 68"}) {
    EXPECT_NE(read.err.find(frame), std::string::npos) << frame << "\n" << read.err;
  }
  EXPECT_EQ(json::parse(read.out)["MeterID"], 12345609);
  EXPECT_EQ(json::parse(read.out)["PrimaryAddress"], 4);
  const ProcessResult absent =
      Velmar({"read", "--address", "87654321", "--device", gateway, "--speed", "9600"});
  EXPECT_EQ(absent.status, 3);
  EXPECT_NE(absent.err.find("87654321"), std::string::npos) << absent.err;
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"scan", "--range", "0-300"},
        std::vector<std::string>{"scan", "--secondary", "--pattern", "1234"},
        std::vector<std::string>{"scan", "--primary", "--secondary"}}) {
    EXPECT_EQ(Velmar(bad).status, 2) << bad[1];
  }
  EXPECT_EQ(bus.Interrupt(), 0);
}

// A gateway that passes the meters' bytes on in bursts of 6 with 150 ms between them (a pause
// a hundred characters long, within the byte time-out): both scans find exactly the meters
// there, with their own numbers, and none that is not.
TEST(Scan, ThroughAGatewayThatDeliversInBurstsFindsExactlyTheMetersThere) {
  BackgroundProcess bus({VELMAR_CLI, "simulate", "--tcp", "0", "--speed", "9600", "--meters", "2",
                         "--burst", "6:150"});
  const std::string gateway = "tcp://" + bus.ReadLine();
  // Each found meter as "primary address/identification number" (-1: found by its number).
  const auto found = [](const ProcessResult& r) {
    std::vector<std::string> meters;
    for (std::size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1) {
      const json m = json::parse(r.out.substr(at, nl - at));
      meters.push_back(m["primaryAddress"].dump() + "/" + m["identNumber"].dump());
    }
    return meters;
  };
  const ProcessResult primary = Velmar(
      {"scan", "--primary", "--range", "1-3", "--json", "--device", gateway, "--speed", "9600"});
  ASSERT_EQ(primary.status, 0) << primary.err;
  EXPECT_EQ(found(primary), (std::vector<std::string>{"1/12345600", "2/12345603"}));
  const ProcessResult secondary = Velmar({"scan", "--secondary", "--pattern", "123456FF", "--json",
                                          "--device", gateway, "--speed", "9600"});
  ASSERT_EQ(secondary.status, 0) << secondary.err;
  EXPECT_EQ(found(secondary), (std::vector<std::string>{"-1/12345600", "-1/12345603"}));
  EXPECT_EQ(bus.Interrupt(), 0);
}

// The bus master's commands against a simulated bus through a gateway: a scan shows every
// frame both ways, a new primary address is taken (and one already in use refused), resets
// and raw frames are answered.
TEST(BusCommands, AddressResetAndRawFramesThroughAGateway) {
  BackgroundProcess bus({VELMAR_CLI, "simulate", "--tcp", "0", "--speed", "9600", "--meters", "5"});
  const std::vector<std::string> line = {"--device", "tcp://" + bus.ReadLine(), "--speed", "9600"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), line.begin(), line.end());
    return Velmar(args);
  };
  const ProcessResult scan = run({"scan", "--range", "2-3", "--trace"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.err.find("> 1040024216"), std::string::npos) << scan.err;
  EXPECT_NE(scan.err.find("< E5"), std::string::npos) << scan.err;
  EXPECT_NE(scan.err.find("< 68"), std::string::npos) << scan.err;

  const ProcessResult taken = run({"set-address", "4", "--address", "3"});
  EXPECT_EQ(taken.status, 1) << taken.err;
  EXPECT_NE(taken.err.find("already answers at primary address 4"), std::string::npos);
  const ProcessResult moved = run({"set-address", "40", "--address", "3"});
  ASSERT_EQ(moved.status, 0) << moved.err;
  const ProcessResult at40 = run({"read", "--address", "40", "--json"});
  ASSERT_EQ(at40.status, 0) << at40.err;
  EXPECT_EQ(json::parse(at40.out)["MeterID"], 12345606);
  EXPECT_EQ(run({"read", "--address", "3", "--retries", "0"}).status, 3);
  ASSERT_EQ(run({"set-address", "250", "--address", "40"}).status, 0);  // the highest there is
  EXPECT_EQ(json::parse(run({"read", "--address", "250", "--json"}).out)["MeterID"], 12345606);

  EXPECT_EQ(run({"reset", "--address", "4"}).status, 0);
  EXPECT_EQ(run({"reset", "--application", "--address", "4"}).status, 0);
  EXPECT_EQ(run({"reset", "--application", "7", "--address", "00000042"}).status, 3);
  const ProcessResult raw = run({"send", "10 5B 04 5F 16"});
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out.substr(0, 2), "68");
  EXPECT_NE(raw.out.find("\"identNumber\":\"12345609\""), std::string::npos) << raw.out;
  EXPECT_EQ(bus.Interrupt(), 0);
}

// A meter switched to 9600 baud answers there and no longer at 2400.
TEST(BusCommands, SetSpeedOnAPseudoTerminal) {
  BackgroundProcess meter({VELMAR_CLI, "simulate", "--speed", "2400"});
  const std::string device = meter.ReadLine();
  const ProcessResult switched =
      Velmar({"set-speed", "9600", "--address", "1", "--device", device, "--speed", "2400"});
  ASSERT_EQ(switched.status, 0) << switched.err;
  EXPECT_EQ(Velmar({"read", "--device", device, "--speed", "9600"}).status, 0);
  EXPECT_EQ(Velmar({"read", "--device", device, "--speed", "2400", "--retries", "0"}).status, 3);
  EXPECT_EQ(meter.Interrupt(), 0);
}

// A command that returns -N exits with 10 + N exactly.
TEST(CommandLine, ResultsBecomeTheirExactExitStatus) {
  {
    // SND_NKE answered as usual, then a checksum fault in the reply to REQ_UD2: -4.
    BackgroundProcess meter(
        {VELMAR_CLI, "simulate", "--speed", "9600", "--fault", "none", "--fault", "checksum"});
    const std::string device = meter.ReadLine();
    const ProcessResult r =
        Velmar({"read", "--device", device, "--speed", "9600", "--retries", "0"});
    EXPECT_EQ(r.status, 14) << r.err;
    EXPECT_NE(r.err.find("Checksum error"), std::string::npos) << r.err;
    EXPECT_EQ(meter.Interrupt(), 0);
  }
  {
    // By default the request goes again, and the meter's second answer is sound.
    BackgroundProcess meter(
        {VELMAR_CLI, "simulate", "--speed", "9600", "--fault", "none", "--fault", "checksum"});
    const std::string device = meter.ReadLine();
    const ProcessResult r = Velmar({"read", "--device", device, "--speed", "9600", "--trace"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::size_t requests = 0;
    for (std::size_t at = r.err.find("> 107B"); at != std::string::npos;
         at = r.err.find("> 107B", at + 1)) {
      ++requests;
    }
    EXPECT_EQ(requests, 2u) << r.err;
    EXPECT_EQ(meter.Interrupt(), 0);
  }
  {
    // The first block's confirmation carries status 5: -5.
    BackgroundProcess meter(
        {VELMAR_CLI, "simulate", "--speed", "9600", "--fault", "confirm-status:5"});
    const std::string device = meter.ReadLine();
    const std::string table = "/tmp/velmar-exit-status-" + std::to_string(::getpid()) + ".bin";
    std::ofstream(table, std::ios::binary) << std::string("\x01\x02", 2);
    const ProcessResult r = Velmar({"intervals", "write", table, "--password", "00000000",
                                    "--device", device, "--speed", "9600"});
    EXPECT_EQ(r.status, 15) << r.err;
    std::filesystem::remove(table);
    EXPECT_EQ(meter.Interrupt(), 0);
  }
}

TEST(MainJob, ReadAgainstTheBuiltInSimulator) {
  const ProcessResult r = Velmar({"read", "--simulate", "--speed", "9600"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("12345678"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ORV"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace velmar::testing
