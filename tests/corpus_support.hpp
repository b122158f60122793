// The public telegrams of tests/data/telegrams.jsonl by their label.
#pragma once

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "velmar/hex.hpp"

namespace velmar::testing {

inline std::vector<std::uint8_t> PublicTelegram(const std::string& label) {
  std::ifstream corpus(std::string(VELMAR_TEST_DATA) + "/telegrams.jsonl");
  for (std::string line; std::getline(corpus, line);) {
    const auto t = nlohmann::json::parse(line);
    if (t["file"] == label) return *ParseHex(t["hex"].get<std::string>());
  }
  throw std::runtime_error(label + " is not in the corpus");
}

}  // namespace velmar::testing
