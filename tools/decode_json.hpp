// Offline decoding of one received reply into the JSON object `velmar decode` prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmar::tools {

// Starts from a freshly zeroed per-thread state, runs the RSP_UD check in `mode` and returns the
// result, message, decoder notices, header fields and every field of the meter data store.
nlohmann::ordered_json DecodeReply(std::vector<std::uint8_t> reply, std::uint8_t mode);

}  // namespace velmar::tools
