#include "radio_source.hpp"

#include <sstream>

#include "rtl433_lines.hpp"

namespace velmar::tools {

const std::vector<std::string>& ReceiverNames() {
  static const std::vector<std::string> names = {"im871a", "amb8465", "cul", "rtl433", "hex"};
  return names;
}

std::string ReceiverNamesText() {
  const auto& names = ReceiverNames();
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return text;
}

bool IsRtl433(const std::string& receiver) {
  return receiver == "rtl433";
}

std::vector<std::string> Rtl433Command(const std::string& device, RadioMode mode) {
  std::vector<std::string> words;
  std::istringstream in(device);
  for (std::string w; in >> w;) words.push_back(w);
  if (words.size() > 1) return words;
  if (words.empty()) words.push_back("rtl_433");
  // rtl_433's decoder 104 reads modes C and T, 105 mode S, each at its own frequency.
  const bool s = mode == RadioMode::kS1;
  for (const char* a : {"-F", "json", "-f", s ? "868.3M" : "868.95M", "-s", s ? "1000k" : "1200k",
                        "-R", s ? "105" : "104"}) {
    words.emplace_back(a);
  }
  return words;
}

RadioSource MakeRadioSource(posix::PosixEventLoop& events, const std::string& receiver,
                            const std::string& device, RadioMode mode, FrameCrcs hexLines,
                            std::function<void(const std::string&)> errorLine) {
  RadioSource source;
  if (IsRtl433(receiver)) {
    auto port = std::make_unique<posix::PosixProcessPort>(events, Rtl433Command(device, mode));
    port->OnErrorLine(std::move(errorLine));
    source.receiver = std::make_unique<RadioReceiver>(
        events, *port, std::make_unique<Rtl433Lines>(), "9600,n,8,1", "rtl_433");
    source.port = std::move(port);
    return source;
  }
  source.port = posix::PortForDevice(events, device);
  source.receiver =
      std::make_unique<RadioReceiver>(events, *source.port, *ReceiverByName(receiver), hexLines);
  return source;
}

}  // namespace velmar::tools
