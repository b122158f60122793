// A telegram heard from a wireless meter as the same message a wired read gives: "time",
// "result" (0, or -12 enciphered without a key, -13 a key that does not open it or a MAC that
// does not hold, -14 a damaged telegram or records that do not hold together, -15 a security
// mode or layer not read, -16 a compact frame whose format is not yet known), "status" (the
// result in words: "ok", "no key", "wrong key", "authentication failed", ...), "error" on failure,
// "compact" for a compact frame, "identNumber", "manufacturer", "version", "medium",
// "mediumName", "rssi" (dBm, where the receiver gives it), "mode" (where known), then on success
// "values" and "records" (and for security mode 7 "messageCounter" and "authenticated").
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "plain_values.hpp"
#include "radio_result.hpp"
#include "velmar/radio.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {

// The message for `t`, decoded from `heard` at `when`. `j` may already hold keys that go first
// (the collector's "meter" and "bus"). `values`: the telegram's plain values when the caller
// has worked them out already (null: worked out here).
void RadioMessage(const WirelessTelegram& t, const HeardTelegram& heard,
                  std::chrono::system_clock::time_point when, nlohmann::ordered_json& j,
                  const std::vector<PlainValue>* values = nullptr);

}  // namespace velmar::tools
