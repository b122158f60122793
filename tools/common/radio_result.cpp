#include "radio_result.hpp"

namespace velmar::tools {

std::string RadioError(const WirelessTelegram& t) {
  return t.error.empty() ? t.decoded.error : t.error;
}

Status RadioStatus(const WirelessTelegram& t) {
  // A frame that held but whose records do not (cut short on the way to a stick that
  // removed the CRCs that would have told) is not a reading.
  if (t.status == Status::kOk) return t.decoded.status;
  return t.status;
}

std::int16_t RadioResult(const WirelessTelegram& t) {
  return StatusCode(RadioStatus(t));
}

std::string_view RadioStatusText(const WirelessTelegram& t) {
  return StatusText(RadioStatus(t));
}

}  // namespace velmar::tools
