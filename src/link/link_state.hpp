// Link state of the M-Bus master: the fixed header of the last RSP_UD, the two frame-count
// bits and the counters of the reply walk. One copy per thread, shared by every control on it,
// so one thread per bus reads many buses without locks.
#pragma once

#include <cstdint>

namespace velmar {

struct MbusLinkState {
  std::uint8_t primaryAddress = 0;
  std::int32_t identNumber = 0;
  std::int16_t manufacturerCode = 0;
  std::uint8_t versionByte = 0;
  std::uint8_t statusByte = 0;
  bool fcbSndUd = false;
  bool fcbReqUd2 = false;
  std::int32_t bytesToDecode = 0;
  std::int16_t runningChecksum = 0;
};

// This thread's link state.
MbusLinkState& LinkState();

}  // namespace velmar
