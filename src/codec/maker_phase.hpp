// How this maker's electricity meters name a phase: a VIF extension byte after a voltage,
// current or power record. Both the control's own record walk and the record decoder for any
// meter read it from here.
#pragma once

#include <cstdint>

namespace velmar::codec {

// The phase (1-3) a phase byte names, 0 for a byte that names none. 0x01-0x03 are phases 1-3;
// older firmware sends 0x05 for phase 1 and 0x06 for phase 3.
constexpr std::uint8_t MakerPhase(std::uint8_t b) {
  switch (b) {
    case 0x01:
    case 0x05:
      return 1;
    case 0x02:
      return 2;
    case 0x03:
    case 0x06:
      return 3;
    default:
      return 0;
  }
}

}  // namespace velmar::codec
