// The instance state of one control, in its documented order.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velmar {

struct InstanceState {
  bool Timeout = false;
  bool noErrorPopup = false;
  std::array<std::string, 3> sentLog;
  std::array<std::string, 3> replyLog;
  bool waitAborted = false;
  bool waitElapsed = false;
  std::int16_t timeoutTicks = 0;
  bool keepPortopen = false;
  bool firstTelegramOnly = false;
};

}  // namespace velmar
