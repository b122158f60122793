// A telegram heard from a wireless meter as the same message a wired read gives: "time",
// "result" (0, or -12 enciphered without a key, -13 a key that does not open it, -14 a telegram
// that cannot be read), "error" on failure, "identNumber", "manufacturer", "version", "medium",
// "mediumName", "rssi" (dBm, where the receiver gives it), "mode" (where known), then on success
// "values" and "records" (and for security mode 7 "messageCounter" and "authenticated").
#pragma once

#include <chrono>
#include <optional>

#include <nlohmann/json.hpp>

#include "velmar/radio.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {

// Why `t` cannot be published, "" when it can: its frame or security layer's failure, or
// records that do not hold together (a telegram cut short on its way: a stick delivers it
// without the CRCs that would have told). Never throws beyond std::bad_alloc.
std::string RadioError(const WirelessTelegram& t);
// The result code of a decoded telegram (see above).
std::int16_t RadioResult(const WirelessTelegram& t);

// The message for `t`, decoded from `heard` at `when`. `j` may already hold keys that go first
// (the collector's "meter" and "bus").
void RadioMessage(const WirelessTelegram& t, const HeardTelegram& heard,
                  std::chrono::system_clock::time_point when, nlohmann::ordered_json& j);

}  // namespace velmar::tools
