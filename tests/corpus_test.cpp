// Every public telegram of the corpus through the decoder in both decode modes, compared field
// by field with its expectation.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <string>

#include "decode_json.hpp"

namespace {

using nlohmann::json;

void ExpectSame(const json& want, const json& got, const std::string& where) {
  if (want.is_array()) {
    ASSERT_TRUE(got.is_array()) << where;
    ASSERT_EQ(want.size(), got.size()) << where;
    for (std::size_t i = 0; i < want.size(); ++i) {
      ExpectSame(want[i], got[i], where + "[" + std::to_string(i) + "]");
    }
  } else if (want.is_number() && got.is_number()) {
    const double w = want.get<double>(), g = got.get<double>();
    EXPECT_LE(std::fabs(w - g), 1e-9 * std::max(1.0, std::fabs(w)))
        << where << " want " << w << " got " << g;
  } else {
    EXPECT_EQ(want, got) << where;
  }
}

TEST(PublicTelegrams, DecodeAsExpectedInBothModes) {
  std::ifstream in(VELMAR_TEST_DATA "/telegrams.jsonl");
  ASSERT_TRUE(in) << "missing test data";
  int cases = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const json t = json::parse(line);
    for (const json& c : t["cases"]) {
      const int mode = c["mode"];
      const auto bytes = velmar::tools::ParseHex(t["hex"]);
      ASSERT_TRUE(bytes) << t["file"];
      const json got = velmar::tools::DecodeReply(*bytes, static_cast<std::uint8_t>(mode));
      const json& want = c["expect"];
      std::set<std::string> open;
      for (const auto& k : c["unspecified"]) open.insert(k.get<std::string>());
      for (auto it = want.begin(); it != want.end(); ++it) {
        const std::string where =
            t["file"].get<std::string>() + " mode " + std::to_string(mode) + " " + it.key();
        ASSERT_TRUE(got.contains(it.key())) << where;
        if (open.count(it.key())) {
          if (it.key() == "result") {
            EXPECT_LT(got["result"].get<int>(), 0) << where;
          }
          continue;
        }
        ExpectSame(it.value(), got[it.key()], where);
      }
      ++cases;
    }
  }
  EXPECT_EQ(cases, 126);
}

}  // namespace
