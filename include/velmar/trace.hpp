// Frame tracing: the control hands every frame it sends and every reply it receives to a
// callback the host installs, as the same hex text its logs keep.
#pragma once

#include <functional>
#include <string>

namespace velmar {

// Direction of a traced frame: sent to the meter, or received from it. Received text is the
// reply's hex digits, or one of the markers "<TimeOut>" (nothing came) and "<Overflow>" (the
// reply never fell silent).
enum class TraceDirection { kSent, kReceived };
using TraceCallback = std::function<void(TraceDirection, const std::string& text)>;

}  // namespace velmar
