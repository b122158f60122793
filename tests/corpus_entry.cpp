#include "corpus_entry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "velmar/hex.hpp"

namespace velmar::testing {
namespace {

// The source published the enciphered part deciphered: the bits that say it is enciphered (the
// extended link layer's session number, the configuration word's mode) are cleared before
// decoding, as the meter would have sent them had it not enciphered.
void MarkDeciphered(std::vector<std::uint8_t>& b) {
  for (std::size_t at = 10; at < b.size();) {
    switch (b[at]) {
      case 0x8C:
        at += 3;
        continue;
      case 0x8D:
        b[at + 6] &= 0x1F;
        at += 9;
        continue;
      case 0x90:
        at += 2u + b[at + 1];
        continue;
      case 0x7A:
        b[at + 4] &= 0xE0;
        return;
      case 0x72:
        b[at + 12] &= 0xE0;
        return;
      default:
        return;
    }
  }
}

}  // namespace

std::vector<nlohmann::json> Corpus() {
  std::ifstream in(std::string(VELMAR_TEST_DATA) + "/conformance.jsonl");
  std::vector<nlohmann::json> entries;
  for (std::string line; std::getline(in, line);) entries.push_back(nlohmann::json::parse(line));
  return entries;
}

const nlohmann::json& Entry(const std::vector<nlohmann::json>& corpus, const std::string& id) {
  static const nlohmann::json kNone = nlohmann::json::object();
  const auto at = std::find_if(corpus.begin(), corpus.end(),
                               [&](const nlohmann::json& e) { return e["id"] == id; });
  if (at != corpus.end()) return *at;
  ADD_FAILURE() << "no corpus entry " << id;
  return kNone;
}

void DecodeWireless(const nlohmann::json& e, WirelessDecoder& decoder, WirelessTelegram& t) {
  auto bytes = *ParseHex(e["hex"].get<std::string>());
  if (e.value("deciphered", false)) MarkDeciphered(bytes);
  MeterKey key{};
  const bool keyed = e.contains("key");
  if (keyed) {
    const auto k = *ParseHex(e["key"].get<std::string>());
    std::copy(k.begin(), k.end(), key.begin());
  }
  const FrameCrcs crcs =
      e.value("crc", "") == "removed" ? FrameCrcs::kRemoved : FrameCrcs::kPresent;
  decoder.Decode(bytes, t, keyed ? &key : nullptr, crcs);
}

}  // namespace velmar::testing
