// velmar listen against a simulated receiver stick in a second process, through the real posix
// port (a pseudo-terminal, or TCP): every receiver's framing, the meters' keys from a file,
// plain, mode 5 and mode 7 meters read, a meter under another key and damaged telegrams said
// as such; and the bad input a user gives it.
#include <fstream>
#include <map>

#include "cli_support.hpp"

namespace velmar::testing {
namespace {

using json = nlohmann::json;

constexpr const char* kKey = "000102030405060708090A0B0C0D0E0F";

class ListenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmar-listen-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const auto path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }
  // The keys of the simulated meters 70000002-70000004 (the fourth sends under another key).
  std::string Keys() {
    std::string text;
    for (const char* id : {"70000002", "70000003", "70000004"}) {
      text += "[[meter]]\nid = \"" + std::string(id) + "\"\nkey = \"" + kKey + "\"\n";
    }
    return Write("keys.toml", text);
  }
  static std::vector<json> Lines(const std::string& out) {
    std::vector<json> lines;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(json::parse(out.substr(at, end - at)));
    }
    return lines;
  }

  std::filesystem::path dir_;
};

// Fourteen telegrams from four meters (two rounds and more): what each meter's protection gives
// with the keys file, the same through every receiver.
TEST_F(ListenTest, EveryReceiverDeliversTheFleetDecodedWithItsKeys) {
  const std::string keys = Keys();
  for (const char* receiver : {"im871a", "amb8465", "cul", "hex"}) {
    SCOPED_TRACE(receiver);
    BackgroundProcess stick({VELMAR_CLI, "simulate", "--receiver", receiver, "--wireless-meters",
                             "4", "--rate", "200"});
    const std::string device = stick.ReadLine();
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
    const ProcessResult r = Velmar({"listen", "--receiver", receiver, "--device", device, "--keys",
                                    keys, "--json", "--count", "14"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, json> last;  // the last good or failed message of each meter
    int damaged = 0;
    for (const json& j : Lines(r.out)) {
      if (j["result"] == -14) {
        ++damaged;
        continue;
      }
      last[j["identNumber"].get<std::string>()] = j;
      // A stick says the mode it was started in; bare hex lines name none.
      if (std::string(receiver) == "hex") {
        EXPECT_FALSE(j.contains("mode")) << j;
      } else {
        EXPECT_EQ(j["mode"], "T1");
      }
      EXPECT_EQ(j.contains("rssi"),
                std::string(receiver) == "amb8465" || std::string(receiver) == "cul")
          << j;
    }
    EXPECT_GE(damaged, 1) << r.out;
    ASSERT_EQ(last.size(), 4u) << r.out;
    EXPECT_EQ(last["70000001"]["result"], 0);
    EXPECT_GT(last["70000001"]["values"]["volume_m3"].get<double>(), 1.0);
    EXPECT_EQ(last["70000002"]["result"], 0);
    EXPECT_GT(last["70000002"]["values"]["energy_kWh"].get<double>(), 2000.0);
    EXPECT_EQ(last["70000003"]["authenticated"], true);
    EXPECT_GT(last["70000003"]["values"]["volume_m3"].get<double>(), 3.0);
    EXPECT_EQ(last["70000004"]["result"], -13);
    EXPECT_EQ(last["70000004"]["error"], "decryption failed: wrong key?");
    EXPECT_FALSE(last["70000004"].contains("values"));
    EXPECT_EQ(stick.Interrupt(), 0);
  }
}

// rtl_433 run by velmar: here the simulated one, its whole command given as --device. Its
// lines carry no RSSI in dBm and no damaged frame (rtl_433 drops a frame whose CRCs fail); a
// program that keeps ending is started again after a pause that doubles, its complaints shown.
TEST_F(ListenTest, Rtl433IsRunReadAndStartedAgainWhenItEnds) {
  const std::string command =
      std::string(VELMAR_CLI) + " simulate --receiver rtl433 --wireless-meters 4 --rate 200";
  const ProcessResult r = Velmar({"listen", "--receiver", "rtl433", "--device", command, "--keys",
                                  Keys(), "--json", "--count", "8"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, json> last;
  for (const json& j : Lines(r.out)) {
    EXPECT_EQ(j["mode"], "T1") << j;
    EXPECT_FALSE(j.contains("rssi")) << j;
    last[j["identNumber"].get<std::string>()] = j;
  }
  ASSERT_EQ(last.size(), 4u) << r.out;
  EXPECT_EQ(last["70000002"]["result"], 0) << last["70000002"];
  EXPECT_EQ(last["70000004"]["result"], -13);
  EXPECT_NE(r.err.find("rtl_433: rtl_433 (simulated): 4 wireless meters"), std::string::npos)
      << r.err;
  const ProcessResult failing =
      Velmar({"listen", "--receiver", "rtl433", "--device", "false", "--seconds", "4"});
  EXPECT_EQ(failing.status, 0) << failing.err;
  EXPECT_NE(failing.err.find("it exited with status"), std::string::npos) << failing.err;
  EXPECT_NE(failing.err.find("starting it again in 1 s"), std::string::npos) << failing.err;
  EXPECT_NE(failing.err.find("starting it again in 2 s"), std::string::npos) << failing.err;
}

// Without keys the enciphered meters say so; --id picks meters; a stick on TCP works as well.
TEST_F(ListenTest, WithoutKeysOverTcpAndPickedById) {
  BackgroundProcess stick({VELMAR_CLI, "simulate", "--receiver", "amb8465", "--wireless-meters",
                           "4", "--rate", "200", "--tcp", "0"});
  const std::string where = stick.ReadLine();
  ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
  const ProcessResult r = Velmar({"listen", "--receiver", "amb8465", "--device", "tcp://" + where,
                                  "--id", "7000000*", "--count", "6"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(LineCount(r.out), 6u) << r.out;
  EXPECT_NE(r.out.find("encrypted (mode 7), no key for this meter"), std::string::npos) << r.out;
  const ProcessResult picked =
      Velmar({"listen", "--receiver", "amb8465", "--device", "tcp://" + where, "--id", "70000001",
              "--json", "--count", "2"});
  ASSERT_EQ(picked.status, 0) << picked.err;
  for (const json& j : Lines(picked.out)) {
    if (j["result"] != -14) {
      EXPECT_EQ(j["identNumber"], "70000001");
    }
  }
  EXPECT_EQ(stick.Interrupt(), 0);
}

// A plain telegram cut short on its way (a stick checks the CRCs it removes, a line of hex may
// not) whose L field was made to fit: its last record runs past the end. It is unreadable, as
// the table and the JSON say, never a good reading with its values missing.
TEST_F(ListenTest, ATelegramWhoseRecordsRunPastItsEndIsUnreadable) {
  const std::string cut = "1144AC580100007001077A050000000413E8\n";
  const ProcessResult json =
      Velmar({"listen", "--device", Write("cut.hex", cut), "--json", "--no-crc"});
  ASSERT_EQ(json.status, 0) << json.err;
  const auto lines = Lines(json.out);
  ASSERT_EQ(lines.size(), 1u) << json.out;
  EXPECT_EQ(lines[0]["result"], -14);
  EXPECT_EQ(lines[0]["error"], "record 1 at byte 0: the data field runs past the telegram");
  EXPECT_FALSE(lines[0].contains("values")) << lines[0];
  const ProcessResult table = Velmar({"listen", "--device", Write("cut.hex", cut), "--no-crc"});
  EXPECT_NE(table.out.find("70000001  VEL  Water"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("the data field runs past the telegram"), std::string::npos)
      << table.out;
}

// Hex lines from a file: garbage lines are told one by one up to ten, then counted; the
// telegrams around them are read, also one in a software radio's line.
TEST_F(ListenTest, GarbageInHexInputIsCountedAndTheStreamGoesOn) {
  const std::string good = "1E44A2057856341200037A350000002F2F007C085453455420434E452F2F2F\n";
  std::string text = good;
  for (int i = 0; i < 15; ++i) text += "garbage " + std::to_string(i) + "\n";
  text += "# a comment\n\n" + good;
  // As a software radio prints it: mode, flags, time, levels, id, then the telegram as 0x...
  text += "T1;1;1;2026-12-06 10:00:00.000;23;24;12345678;0x" + good;
  const ProcessResult r = Velmar({"listen", "--device", Write("in.hex", text), "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(LineCount(r.out), 3u) << r.out;
  const auto lines = Lines(r.out);
  EXPECT_FALSE(lines[0].contains("mode"));
  EXPECT_EQ(lines[2]["mode"], "T1");  // the software radio's line names it
  EXPECT_EQ(lines[2]["identNumber"], "12345678");
  EXPECT_EQ(LineCount(r.err), 11u) << r.err;
  EXPECT_NE(r.err.find("Skipped: line 2 is not hex"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Skipped 15 frames or lines in all"), std::string::npos) << r.err;
}

TEST_F(ListenTest, BadInputIsRefusedWithOneLineAndNothingHeard) {
  struct Case {
    std::string keys;
    std::string says;
  };
  const std::string key = std::string("key = \"") + kKey + "\"\n";
  const Case cases[] = {
      {"[[meter]]\nid = \"70000002\"\nkey = \"0001\"\n", "keys.toml:1: meter[0].key is not a key"},
      {"[[meter]]\nid = \"7000\"\n" + key, "meter[0].id \"7000\" is not an identification"},
      {"[[meter]]\nid = \"7000\\n\\u001b[2J\"\n" + key, "meter[0].id \"7000??[2J\" is not"},
      {"[[meter]]\nid = \"70000002\"\n" + key + "[[meter]]\nid = \"70000002\"\n" + key,
       "meter 70000002 is given a key twice"},
      {"[[meter]]\nid = \"70000002\"\n" + key + "name = 3\n", "unknown key meter[0].name"},
  };
  for (const Case& c : cases) {
    const ProcessResult r =
        Velmar({"listen", "--device", "-", "--keys", Write("keys.toml", c.keys)});
    EXPECT_EQ(r.status, 2) << c.keys;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
  }
  const ProcessResult receiver = Velmar({"listen", "--device", "-", "--receiver", "rtlsdr"});
  EXPECT_EQ(receiver.status, 2);
  EXPECT_NE(receiver.err.find("im871a"), std::string::npos) << receiver.err;
  // A program receiver that is not there cannot be started again either.
  const ProcessResult missing =
      Velmar({"listen", "--device", "velmar-no-rtl-433", "--receiver", "rtl433"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot start velmar-no-rtl-433: No such file or directory"),
            std::string::npos)
      << missing.err;
  EXPECT_EQ(LineCount(missing.err), 1u) << missing.err;
  // A wired meter's line is no stick: it never confirms the link mode.
  BackgroundProcess wired({VELMAR_CLI, "simulate", "--speed", "9600"});
  const std::string device = wired.ReadLine();
  const ProcessResult silent = Velmar({"listen", "--receiver", "im871a", "--device", device});
  EXPECT_EQ(silent.status, 1);
  EXPECT_NE(silent.err.find("Error: " + device +
                            ": the receiver did not confirm link mode T1 within 2000 ms"),
            std::string::npos)
      << silent.err;
  EXPECT_EQ(wired.Interrupt(), 0);
}

}  // namespace
}  // namespace velmar::testing
