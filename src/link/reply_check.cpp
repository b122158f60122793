#include "link/reply_check.hpp"

#include <algorithm>

#include "codec/messages.hpp"

namespace velmar {
namespace {

bool IsAck(std::uint8_t b) {
  return b == 0xE5 || b == 0xF9;
}

}  // namespace

std::int16_t CheckAck(std::span<const std::uint8_t> reply, std::int16_t count) {
  if (count < 1 || count > 9) return LinkResult::kStructureError;
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), reply.size());
  return std::any_of(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(n), IsAck)
             ? LinkResult::kOk
             : LinkResult::kStructureError;
}

std::string MbusErrorText(std::int16_t code) {
  switch (code) {
    case LinkResult::kWrongStartByte:
      return std::string(text::kWrongStartByte);
    case LinkResult::kWrongStopByte:
      return std::string(text::kWrongStopByte);
    case LinkResult::kStructureError:
      return std::string(text::kStructureError);
    case LinkResult::kChecksumError:
      return std::string(text::kChecksumError);
    case LinkResult::kUndecodedData:
      return std::string(text::kUndecodedData);
    case LinkResult::kWrongLength:
      return std::string(text::kWrongLength);
    case LinkResult::kWrongBlockType:
      return std::string(text::kWrongBlockType);
    default:
      return std::string(text::kUnknownLinkError);
  }
}

}  // namespace velmar
