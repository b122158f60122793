// Where a host's wireless telegrams come from, by the receiver's name: a stick or hex lines on
// a serial device or tcp://HOST:PORT (the library's receivers), or rtl_433, a program Velmar
// runs and whose JSON lines it reads. One list of names for every option and file that takes
// one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velmar/posix_platform.hpp"
#include "velmar/radio.hpp"

namespace velmar::tools {

// "im871a", "amb8465", "cul", "rtl433", "hex".
const std::vector<std::string>& ReceiverNames();
// "im871a, amb8465, cul, rtl433 or hex", for messages.
std::string ReceiverNamesText();
bool IsRtl433(const std::string& receiver);

// The rtl_433 command for `device`: a program name or path alone gets the arguments that make
// it decode wireless M-Bus in `mode` and print JSON (T1 and C1: 868.95 MHz, S1: 868.3 MHz); a
// text with blanks is the whole command, run as given (split at blanks, no shell).
std::vector<std::string> Rtl433Command(const std::string& device, RadioMode mode);

struct RadioSource {
  std::unique_ptr<SerialPortBase> port;
  std::unique_ptr<RadioReceiver> receiver;
};

// The port and receiver for `receiver` on `device`, closed (RadioReceiver::Start opens it).
// `hexLines` says how plain hex lines come; `errorLine` receives what rtl_433 writes to its
// standard error. Throws ArgumentError for a device text that cannot be one.
RadioSource MakeRadioSource(posix::PosixEventLoop& events, const std::string& receiver,
                            const std::string& device, RadioMode mode, FrameCrcs hexLines,
                            std::function<void(const std::string&)> errorLine = {});

}  // namespace velmar::tools
