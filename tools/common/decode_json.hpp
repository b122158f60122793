// Offline decoding of one received reply into the JSON object `velmar decode` prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmar::tools {

// Runs the control's reply check in `mode` on a state of its own (the thread's is untouched)
// and returns the result, message, decoder notices, header fields and every stored value.
nlohmann::ordered_json DecodeReply(std::vector<std::uint8_t> reply, std::uint8_t mode);

// One line of JSON. The control's texts are the meter's bytes, not necessarily UTF-8: bytes that
// are not valid UTF-8 become U+FFFD, so the line is valid JSON whatever the telegram held (a
// record's text is UTF-8 already).
std::string ToJsonLine(const nlohmann::ordered_json& j);

}  // namespace velmar::tools
