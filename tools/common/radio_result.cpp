#include "radio_result.hpp"

#include "meter_read.hpp"

namespace velmar::tools {

std::string RadioError(const WirelessTelegram& t) {
  return t.error.empty() ? t.decoded.error : t.error;
}

std::int16_t RadioResult(const WirelessTelegram& t) {
  switch (t.status) {
    case WirelessStatus::kOk:
      return t.decoded.error.empty() ? 0 : ReadCode::kUnreadable;
    case WirelessStatus::kNoKey:
      return ReadCode::kEncrypted;
    case WirelessStatus::kWrongKey:
    case WirelessStatus::kAuthenticationFailed:
      return ReadCode::kWrongKey;
    case WirelessStatus::kModeNotSupported:
      return ReadCode::kNotSupported;
    case WirelessStatus::kFormatNotYetKnown:
      return ReadCode::kFormatUnknown;
    case WirelessStatus::kDamagedFrame:
    case WirelessStatus::kUnreadableRecords:
      break;
  }
  return ReadCode::kUnreadable;
}

std::string_view RadioStatusText(const WirelessTelegram& t) {
  if (t.status == WirelessStatus::kOk && !t.decoded.error.empty()) {
    return WirelessStatusText(WirelessStatus::kUnreadableRecords);
  }
  return WirelessStatusText(t.status);
}

}  // namespace velmar::tools
