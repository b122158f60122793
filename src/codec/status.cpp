#include "velmar/status.hpp"

namespace velmar {

std::string_view StatusText(Status status) {
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kNoReply:
      return "no reply";
    case Status::kDamagedReply:
      return "damaged reply";
    case Status::kChecksum:
      return "checksum error";
    case Status::kCollision:
      return "collision";
    case Status::kNotAcknowledged:
      return "not acknowledged";
    case Status::kUnexpectedReply:
      return "unexpected reply";
    case Status::kBadAddress:
      return "address not usable for this operation";
    case Status::kBadArgument:
      return "value not accepted";
    case Status::kPortError:
      return "port error";
    case Status::kNoKey:
      return "no key";
    case Status::kWrongKey:
      return "wrong key";
    case Status::kAuthenticationFailed:
      return "authentication failed";
    case Status::kModeNotSupported:
      return "mode not supported";
    case Status::kDamagedFrame:
      return "damaged frame";
    case Status::kFormatNotYetKnown:
      return "compact frame, format not yet known";
    case Status::kUnreadableRecords:
      return "unreadable records";
  }
  return "unknown status";
}

std::int16_t StatusCode(Status status, std::int16_t linkResult) {
  switch (status) {
    case Status::kOk:
      return 0;
    case Status::kPortError:
      return -1;  // as the control's "could not open the port"
    case Status::kChecksum:
      return linkResult != 0 ? linkResult : -4;
    case Status::kDamagedReply:
    case Status::kNotAcknowledged:
    case Status::kUnexpectedReply:
    case Status::kBadAddress:
    case Status::kBadArgument:
      return linkResult != 0 ? linkResult : -3;
    case Status::kNoReply:
      return -10;
    case Status::kCollision:
      return -11;
    case Status::kNoKey:
      return -12;
    case Status::kWrongKey:
    case Status::kAuthenticationFailed:
      return -13;
    case Status::kDamagedFrame:
    case Status::kUnreadableRecords:
      return -14;
    case Status::kModeNotSupported:
      return -15;
    case Status::kFormatNotYetKnown:
      return -16;
  }
  return -3;
}

}  // namespace velmar
