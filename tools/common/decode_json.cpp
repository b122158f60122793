#include "decode_json.hpp"

#include <variant>

#include "velmar/checked_reply.hpp"
#include "velmar/results.hpp"

namespace velmar::tools {

std::string ToJsonLine(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json DecodeReply(std::vector<std::uint8_t> reply, std::uint8_t mode) {
  const CheckedReply checked = CheckReply(reply, mode);
  nlohmann::ordered_json j;
  j["result"] = checked.result;
  j["message"] = checked.result == 0 ? std::string() : MbusErrorText(checked.result);
  j["notices"] = checked.notices;
  for (const StoredField& f : checked.fields) {
    std::visit([&](const auto& value) { j[std::string(f.name)] = value; }, f.value);
  }
  return j;
}

}  // namespace velmar::tools
