// Meter profiles: a profile file read with every fault named by file and line, the profiles in
// use (a bad file left out, a user's file over the package's, the more specific of two
// matching profiles), and what a profile makes of a published telegram, worked out by hand from
// the maker's document.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include "corpus_entry.hpp"
#include "profiles.hpp"
#include "velmar/error.hpp"
#include "velmar/hex.hpp"
#include "velmar/records.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kGood = R"(name = "test-water"
title = "A water meter"
source = "its data sheet"

[match]
manufacturer = "KAM"

[[fields]]
name = "total_m3"
label = "Total"
quantity = "volume"

[[flags]]
name = "leak"
meaning = "a leak"
source = "data sheet p. 3"
from = "status"
mask = 0x04
)";

// The good profile with one line replaced.
std::string With(const std::string& line, const std::string& replacement) {
  std::string text = kGood;
  const auto at = text.find(line);
  EXPECT_NE(at, std::string::npos) << line;
  return text.replace(at, line.size(), replacement);
}

std::string ErrorOf(const std::string& text) {
  try {
    ParseProfile(text, "p.toml");
  } catch (const ArgumentError& e) {
    return e.what();
  }
  return "";
}

TEST(ProfileFile, EachFaultIsNamedWithItsLine) {
  EXPECT_EQ(ErrorOf(kGood), "");
  EXPECT_EQ(
      ErrorOf(With("quantity = \"volume\"", "quantity = \"volumes\"")).rfind("p.toml:11: ", 0), 0u);
  EXPECT_NE(ErrorOf(With("quantity = \"volume\"", "quantity = \"volumes\"")).find("accepted: date"),
            std::string::npos);
  EXPECT_EQ(ErrorOf(With("mask = 0x04", "mask = 0x104")).rfind("p.toml:18: ", 0), 0u);
  EXPECT_EQ(ErrorOf(With("mask = 0x04", "mask = 0")).rfind("p.toml:18: ", 0), 0u);
  EXPECT_EQ(ErrorOf(With("name = \"leak\"", "name = \"total_m3\"")).rfind("p.toml:14: ", 0), 0u);
  EXPECT_NE(ErrorOf(With("name = \"leak\"", "name = \"total_m3\"")).find("used twice"),
            std::string::npos);
  EXPECT_EQ(ErrorOf(With("source = \"data sheet p. 3\"\n", "")).rfind("p.toml:13: ", 0), 0u);
  EXPECT_EQ(ErrorOf(With("from = \"status\"", "from = \"status\"\nbyte = 1")).rfind("p.toml:", 0),
            0u);
  EXPECT_EQ(ErrorOf(With("label = \"Total\"", "label = \"Total\"\nunits = \"m3\"")),
            "p.toml:11: unknown key fields.units");
  EXPECT_EQ(
      ErrorOf(With("manufacturer = \"KAM\"", "manufacturer = \"Kam\"")).rfind("p.toml:6: ", 0), 0u);
  EXPECT_EQ(ErrorOf(With("from = \"status\"", "from = \"record\"")).rfind("p.toml:", 0), 0u);
}

class ProfileFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmar-profiles-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    fs::create_directories(dir_ + "/package");
    fs::create_directories(dir_ + "/user");
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  ProfileSet Load() { return ProfileSet::Load({dir_ + "/package", dir_ + "/user"}); }
  std::string dir_;
};

TEST_F(ProfileFolders, ABadFileIsLeftOutAndTheUsersProfileReplacesThePackagesOfItsName) {
  Write("package/water.toml", kGood);
  Write("package/broken.toml", With("mask = 0x04", "mask = 0x400"));
  Write("user/water.toml", With("title = \"A water meter\"", "title = \"Mine\""));
  const ProfileSet set = Load();
  ASSERT_EQ(set.All().size(), 1u);
  EXPECT_EQ(set.All()[0].title, "Mine");
  ASSERT_EQ(set.Errors().size(), 1u);
  EXPECT_NE(set.Errors()[0].find("broken.toml:18: "), std::string::npos) << set.Errors()[0];
}

TEST_F(ProfileFolders, OfTwoMatchingProfilesTheMoreSpecificWins) {
  Write("package/any.toml", With("name = \"test-water\"", "name = \"any-kam\""));
  Write("package/v27.toml",
        With("manufacturer = \"KAM\"", "manufacturer = \"KAM\"\nversions = [27]"));
  const ProfileSet set = Load();
  TelegramHeader h;
  h.manufacturerCode = 0x2C2D;  // K, A, M: 11, 1 and 13, five bits each
  h.version = 27;
  std::vector<const Profile*> others;
  const Profile* p = set.Match(h, {}, &others);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->name, "test-water");
  ASSERT_EQ(others.size(), 1u);
  EXPECT_EQ(others[0]->name, "any-kam");
  h.version = 28;
  p = set.Match(h, {});
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->name, "any-kam");
  h.manufacturerCode = 0x0442;  // A, B, B
  EXPECT_EQ(set.Match(h, {}), nullptr);
}

// A profile case's telegram, wired or wireless, decoded; its records refer into this object.
struct CaseTelegram {
  explicit CaseTelegram(const nlohmann::json& e) : wireless(e["kind"] == "wireless") {
    if (wireless) {
      testing::DecodeWireless(e, decoder, radio);
    } else {
      DecodeTelegram(*ParseHex(e["hex"].get<std::string>()), wired);
    }
  }
  bool Read() const { return wireless ? radio.status == Status::kOk : wired.result == 0; }
  const DecodedTelegram& Decoded() const { return wireless ? radio.decoded : wired; }

  bool wireless;
  WirelessDecoder decoder;
  WirelessTelegram radio;
  DecodedTelegram wired;
};

// Every profile the package installs, on published telegrams of its meter from the
// conformance corpus (tests/data/profile-cases.jsonl): the telegram matches that profile, and
// the profile gives exactly the fields and flags the case lists, each value as its source
// published it or as worked out by hand from the telegram and the maker's document.
TEST(ProfileOnATelegram, EveryInstalledProfileReadsItsMetersPublishedTelegrams) {
  const ProfileSet set = ProfileSet::Load({VELMAR_PROFILES_DIR});
  ASSERT_TRUE(set.Errors().empty()) << set.Errors()[0];
  const auto corpus = testing::Corpus();
  std::ifstream in(std::string(VELMAR_TEST_DATA) + "/profile-cases.jsonl");
  std::set<std::string> tried;
  for (std::string line; std::getline(in, line);) {
    const auto c = nlohmann::json::parse(line);
    const std::string id = c["telegram"];
    SCOPED_TRACE(id);
    const CaseTelegram telegram(testing::Entry(corpus, id));
    ASSERT_TRUE(telegram.Read()) << telegram.radio.error;
    const DecodedTelegram& t = telegram.Decoded();
    const Profile* p = set.Match(t.header, t.records);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name, c["profile"]);
    nlohmann::ordered_json j;
    AddProfileJson(ApplyProfile(*p, t.header, t.records, t.manufacturerData), j);
    ASSERT_EQ(j["fields"].size(), c["fields"].size()) << j["fields"].dump();
    // Published to so many places: the case says how near the value must be.
    const double tolerance = c.value("tolerance", 1e-9);
    for (const auto& [name, want] : c["fields"].items()) {
      ASSERT_TRUE(j["fields"].contains(name)) << name << " in " << j["fields"].dump();
      if (want.is_number()) {
        EXPECT_NEAR(j["fields"][name].get<double>(), want.get<double>(),
                    tolerance * (1 + std::abs(want.get<double>())))
            << name;
      } else {
        EXPECT_EQ(j["fields"][name].dump(), want.dump()) << name;
      }
    }
    EXPECT_EQ(nlohmann::json::parse(j["flags"].dump()), c.value("flags", nlohmann::json::object()));
    tried.insert(c["profile"].get<std::string>());
  }
  for (const Profile& p : set.All()) {
    EXPECT_TRUE(tried.count(p.name)) << p.name << " is tried on no published telegram";
  }
  EXPECT_GE(tried.size(), 1u);
}

// The fields a telegram holds, in the profile's order, each from the first record of its
// quantity, storage and function, in a reading used again from telegram to telegram. Worked out
// from the bytes: heat meter (kamheat-1) 04 06 CE860000 energy 34510 kWh, 02 5D A411 return
// 45.16 °C, 04 14 11680300 volume 2232.49 m³, no date and no pressure; water meter (Itron BM+m)
// 04 13 31D40000 54.321 m³, 44 13 00000000 0 m³ at storage 1, 04 6D 1D0D9811 2012-01-24 13:29.
TEST(ProfileOnATelegram, FieldsComeInTheProfilesOrderFromTheirFirstRecords) {
  const std::string text = std::string(kGood).substr(0, std::string(kGood).find("[[fields]]")) +
                           R"([[fields]]
name = "pressure_bar"
label = "p"
quantity = "pressure"
[[fields]]
name = "return_c"
label = "r"
quantity = "return_temperature"
[[fields]]
name = "when"
label = "w"
quantity = "date"
[[fields]]
name = "energy_kwh"
label = "e"
quantity = "energy"
[[fields]]
name = "total_m3"
label = "t"
quantity = "volume"
[[fields]]
name = "target_m3"
label = "s1"
quantity = "volume"
storage = 1
)";
  DecodedTelegram heat, water;
  ASSERT_EQ(DecodeTelegram(*ParseHex("68464668084A72447744772D2C3404060000000406CE86000004FF0734440"
                                     "20004FF08F8CE0100041411680300043B0F02000002593C19025DA41104"
                                     "FF220000000004A5FF21C7D02700D916"),
                           heat),
            0);
  ASSERT_EQ(DecodeTelegram(*ParseHex("683C3C680808727803491177040E16290000000C78780349110413"
                                     "31D40000426C0000441300000000046D1D0D98110227000009FD0E020"
                                     "9FD0F060F00008F13E816"),
                           water),
            0);
  const auto fields = [](const ProfileReading& r) {
    nlohmann::ordered_json j;
    AddProfileJson(r, j);
    return j["fields"].dump();
  };
  const std::string heatFields = R"({"return_c":45.16,"energy_kwh":34510.0,"total_m3":2232.49})";
  const std::string waterFields =
      R"({"when":"2012-01-24T13:29:00","total_m3":54.321,"target_m3":0.0})";
  const Profile p = ParseProfile(text, "p.toml");
  ProfileReading r;
  ApplyProfile(p, heat.header, heat.records, {}, r);
  EXPECT_EQ(fields(r), heatFields);
  ApplyProfile(p, water.header, water.records, {}, r);
  EXPECT_EQ(fields(r), waterFields);
  ApplyProfile(p, heat.header, heat.records, {}, r);
  EXPECT_EQ(fields(r), heatFields);
  ApplyProfile(p, heat.header, {}, {}, r);  // a telegram without records names nothing
  EXPECT_EQ(fields(r), "{}");
}

// A meter's next telegram of the same layout goes by where the profile found its fields in the
// last one; it must read exactly as if read afresh, whatever its values: changed, unreadable (a
// BCD digit it cannot hold), a header without a status byte, a record fewer. Tried on every
// published telegram of the profile cases.
TEST(ProfileOnATelegram, AMetersNextTelegramOfTheSameLayoutReadsAsIfReadAfresh) {
  const ProfileSet set = ProfileSet::Load({VELMAR_PROFILES_DIR});
  const auto corpus = testing::Corpus();
  std::ifstream in(std::string(VELMAR_TEST_DATA) + "/profile-cases.jsonl");
  constexpr std::uint32_t kLayout = 0x1B34D;  // any number two telegrams share
  const auto json = [](const ProfileReading& r) {
    nlohmann::ordered_json j;
    AddProfileJson(r, j);
    return j.dump();
  };
  int tried = 0;
  for (std::string line; std::getline(in, line);) {
    const std::string id = nlohmann::json::parse(line)["telegram"];
    SCOPED_TRACE(id);
    const CaseTelegram telegram(testing::Entry(corpus, id));
    const DecodedTelegram& t = telegram.Decoded();
    ProfileReading kept;  // the meter's, from telegram to telegram
    const auto same = [&](const TelegramHeader& h, const std::vector<DataRecord>& records,
                          std::uint32_t layout) {
      ReadByProfile(set, h, records, t.manufacturerData, kept, layout);
      EXPECT_EQ(json(kept), json(ReadByProfile(set, h, records, t.manufacturerData)));
    };
    const std::vector<DataRecord> records(t.records.begin(), t.records.end());
    same(t.header, records, kLayout);
    same(t.header, records, kLayout);
    for (std::size_t k = 0; k < records.size(); ++k) {
      SCOPED_TRACE(k);
      std::vector<DataRecord> changed = records;
      changed[k].value = changed[k].value * 3 + 1;
      same(t.header, changed, kLayout);
      changed[k].kind = ValueKind::kBytes;
      same(t.header, changed, kLayout);
      same(t.header, records, kLayout);
      // The plan made while this record did not read; the next telegram's reads.
      same(t.header, changed, kLayout + 1);
      same(t.header, records, kLayout + 1);
    }
    TelegramHeader silent = t.header;
    silent.hasStatus = false;
    same(t.header, records, kLayout);
    same(silent, records, kLayout);
    if (!records.empty()) same(t.header, {records.begin(), records.end() - 1}, kLayout);
    ++tried;
  }
  EXPECT_GE(tried, 25);
}

// A water meter that sends its volume twice (a user's PLO meter, wmbusmeters issue 1170: 0C 13
// and 04 13, both 800 m³ at storage 0): the field is the first. When the first did not read in
// the telegram the profile last saw, the next telegram's first still wins.
TEST(ProfileOnATelegram, AFieldIsTheFirstRecordThatReadsNotTheOneThatReadLastTime) {
  ProfileSet set;
  set.Add(ParseProfile(With("manufacturer = \"KAM\"", "manufacturer = \"PLO\""), "p.toml"));
  WirelessDecoder decoder;
  WirelessTelegram t;
  testing::DecodeWireless(testing::Entry(testing::Corpus(), "issue-thread/wmbusmeters-1170"),
                          decoder, t);
  ASSERT_EQ(t.status, Status::kOk) << t.error;
  std::vector<DataRecord> records(t.decoded.records.begin(), t.decoded.records.end());
  ASSERT_EQ(records[0].quantity, "Volume");
  ASSERT_EQ(records[1].quantity, "Volume");
  records[0].value = 801;  // told apart from the second
  std::vector<DataRecord> unread = records;
  unread[0].kind = ValueKind::kBytes;
  ProfileReading kept;
  const auto total = [&](const std::vector<DataRecord>& r) {
    ReadByProfile(set, t.decoded.header, r, {}, kept, 0x12345);
    return kept.fields.empty() ? -1.0 : kept.fields[0].value.get<double>();
  };
  EXPECT_EQ(total(unread), 800);
  EXPECT_EQ(total(records), 801);
}

// A flag whose byte the telegram does not hold is absent, never clear.
TEST(ProfileOnATelegram, AFlagWithoutItsByteIsAbsentNotClear) {
  Profile p = ParseProfile(
      With("from = \"status\"\nmask = 0x04", "from = \"maker\"\nbyte = 2\nmask = 0x04"), "p.toml");
  TelegramHeader h;
  const std::vector<std::uint8_t> two = {0xFF, 0xFF};
  EXPECT_TRUE(ApplyProfile(p, h, {}, two).flags.empty());
  const std::vector<std::uint8_t> three = {0x00, 0x00, 0x04};
  const ProfileReading r = ApplyProfile(p, h, {}, three);
  ASSERT_EQ(r.flags.size(), 1u);
  EXPECT_TRUE(r.flags[0].set);
  h.hasStatus = false;
  p = ParseProfile(kGood, "p.toml");
  EXPECT_TRUE(ApplyProfile(p, h, {}, {}).flags.empty());
}

}  // namespace
}  // namespace velmar::tools
