// One read of one meter, shared by every host that reads meters (the command line, the desktop
// tool, the collector): by primary address through the control's own read, or by
// identification number through selection, with the reply kept for the standard record decoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "velmar/trace.hpp"
#include "velmar/velmar.hpp"

namespace velmar::tools {

struct MeterRead {
  int result = 0;                   // the read's result code: 0, or a LinkResult / ReadResult code
  bool noReply = false;             // nobody answered (result 0, Timeout true, status 99)
  bool byIdent = false;             // the address was an identification number
  std::vector<std::uint8_t> reply;  // the reply as received (empty without one)
};

// Reads the meter at `address`: "0".."255" through cmd_ReqUD2 (the text goes into the control's
// address field), an identification number of up to 8 digits (256 and up) by selecting it first.
// Either way this thread's values hold the meter's reply afterwards (or are cleared when nobody
// answered). Throws what the control throws (PortError when the port fails while waiting).
// At most about 10 s for a primary address, about 15 s for an identification number.
MeterRead ReadMeter(Velmar& control, EventLoop& events, const std::string& address,
                    const TraceCallback& trace = {});

// The reading as the JSON object `velmar read --json` prints: "result", then every value
// property of the control under its own name.
nlohmann::ordered_json ReadingJson(Velmar& control, int result);

}  // namespace velmar::tools
