// The conformance corpus (tests/data/conformance.jsonl) as tests read it: its entries, and an
// entry's telegram decoded the way its source published it (with its key, its CRCs removed or
// not, its enciphered part already deciphered or not).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "velmar/wmbus.hpp"

namespace velmar::testing {

// Every entry, in file order.
std::vector<nlohmann::json> Corpus();

// The entry with this id; fails the test (and returns an empty object) when there is none.
const nlohmann::json& Entry(const std::vector<nlohmann::json>& corpus, const std::string& id);

// Decodes a wireless entry's telegram with `decoder` into `t`.
void DecodeWireless(const nlohmann::json& entry, WirelessDecoder& decoder, WirelessTelegram& t);

}  // namespace velmar::testing
