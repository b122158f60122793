// Every public telegram of the corpus through the decoder in both decode modes, compared field
// by field with its expectation.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "codec/hex.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "decode/record_walker.hpp"
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
      const auto bytes = velmar::ParseHex(t["hex"].get<std::string>());
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

struct WalkOutcome {
  std::int16_t result = 0;
  std::size_t consumed = 0;
  velmar::OrvMeterData data;
  std::vector<std::string> notices;
};

WalkOutcome FreshWalk() {
  velmar::MeterData() = velmar::OrvMeterData{};
  velmar::MeterData().decodeState = velmar::kExpectDif;
  return {};
}

WalkOutcome ByteByByte(std::span<const std::uint8_t> area, std::uint8_t mode) {
  WalkOutcome out = FreshWalk();
  velmar::ScopedNoticeSink sink(velmar::MeterData(),
                                [&](const std::string& t) { out.notices.push_back(t); });
  for (; out.consumed < area.size(); ++out.consumed) {
    out.result = velmar::DecodeDataRecords(velmar::MeterData(), area[out.consumed], mode);
    if (out.result < 0) break;
  }
  out.data = velmar::MeterData();
  return out;
}

// The reply parser hands the walker a whole record area at once; a reply split anywhere (a
// field cut in two) must leave exactly what one byte at a time leaves.
WalkOutcome InTwoRuns(std::span<const std::uint8_t> area, std::size_t split, std::uint8_t mode) {
  WalkOutcome out = FreshWalk();
  velmar::ScopedNoticeSink sink(velmar::MeterData(),
                                [&](const std::string& t) { out.notices.push_back(t); });
  std::size_t taken = 0;
  out.result = velmar::DecodeRecordArea(velmar::MeterData(), area.first(split), mode, taken);
  out.consumed = taken;
  if (out.result == 0) {
    out.result = velmar::DecodeRecordArea(velmar::MeterData(), area.subspan(split), mode, taken);
    out.consumed += taken;
  }
  out.data = velmar::MeterData();
  return out;
}

TEST(PublicTelegrams, RecordAreaInRunsMatchesByteByByte) {
  std::ifstream in(VELMAR_TEST_DATA "/telegrams.jsonl");
  ASSERT_TRUE(in) << "missing test data";
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const json t = json::parse(line);
    const auto bytes = velmar::ParseHex(t["hex"].get<std::string>());
    ASSERT_TRUE(bytes);
    if (bytes->size() < 21) continue;
    const std::size_t end = std::min<std::size_t>(bytes->size(), (*bytes)[1] + 4u);
    const std::span<const std::uint8_t> area(bytes->data() + 19, end > 19 ? end - 19 : 0);
    for (const std::uint8_t mode : {0, 250}) {
      const WalkOutcome want = ByteByByte(area, mode);
      for (std::size_t split = 0; split <= area.size(); ++split) {
        const WalkOutcome got = InTwoRuns(area, split, mode);
        const std::string where = t["file"].get<std::string>() + " mode " + std::to_string(mode) +
                                  " split " + std::to_string(split);
        ASSERT_EQ(got.result, want.result) << where;
        ASSERT_EQ(got.consumed, want.consumed) << where;
        ASSERT_EQ(got.notices, want.notices) << where;
        ASSERT_TRUE(got.data == want.data) << where;
      }
    }
  }
}

}  // namespace
