// Meter profiles: a profile file read with every fault named by file and line, the profiles in
// use (a bad file left out, a user's file over the package's, the more specific of two
// matching profiles), and what a profile makes of a published telegram, worked out by hand from
// the maker's document.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "profiles.hpp"
#include "velmar/error.hpp"
#include "velmar/hex.hpp"
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

// A MULTICAL 21 telegram published with its key (wmbusmeters, simulations/serial_aes.msg at
// 4dedd71), read with the profile the package installs. From the maker's technical description
// (5512-897, 11.4, p. 50): the info register's low byte 0x71 has info code bits 0001: DRY only.
TEST(ProfileOnATelegram, MulticalTwentyOneByItsOwnNames) {
  const std::string dir = VELMAR_PROFILES_DIR;
  const ProfileSet set = ProfileSet::Load({dir});
  ASSERT_TRUE(set.Errors().empty()) << set.Errors()[0];
  const auto bytes = *ParseHex(
      "2A442D2C998734761B168D2091D37CAC21E1D68CDAFFCD3DC452BD802913FF7B1706CA9E355D6C2701CC24");
  MeterKey key{};
  const auto k = *ParseHex("28F64A24988064A079AA2C807D6102AE");
  std::copy(k.begin(), k.end(), key.begin());
  WirelessDecoder decoder;
  WirelessTelegram t;
  decoder.Decode(bytes, t, &key, FrameCrcs::kRemoved);
  ASSERT_EQ(t.status, Status::kOk) << t.error;
  const Profile* p = set.Match(t.decoded.header, t.decoded.records);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->name, "kamstrup-multical21");
  const ProfileReading r =
      ApplyProfile(*p, t.decoded.header, t.decoded.records, t.decoded.manufacturerData);
  nlohmann::ordered_json j;
  AddProfileJson(r, j);
  EXPECT_EQ(j["profile"], "kamstrup-multical21");
  EXPECT_DOUBLE_EQ(j["fields"]["total_m3"].get<double>(), 6.408);
  EXPECT_DOUBLE_EQ(j["fields"]["target_m3"].get<double>(), 6.408);
  EXPECT_DOUBLE_EQ(j["fields"]["min_external_temperature_c"].get<double>(), 19.0);
  EXPECT_EQ(j["flags"], nlohmann::ordered_json::parse(
                            R"({"dry":true,"reverse":false,"leak":false,"burst":false})"));
  EXPECT_EQ(j["alarms"], nlohmann::ordered_json::array({"dry"}));
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
