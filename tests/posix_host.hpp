// A control on the posix platform around a port of the given type, with its message boxes
// recorded; and the count of this process's open descriptors, to catch a leaked one.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::testing {

// The port is made with the loop and `args`; the control gets first-creation defaults and
// closes its port after each command.
template <typename Port>
struct PosixHostOn {
  template <typename... Args>
  explicit PosixHostOn(Args&&... args) {
    auto owned = std::make_unique<Port>(events, std::forward<Args>(args)...);
    port = owned.get();
    control = std::make_unique<Velmar>(HostServices{events, messages, container}, std::move(owned));
    control->InitProperties();
    control->keepPortopen(false);
  }
  posix::PosixEventLoop events;
  virt::RecordingMessageBox messages;
  posix::ConsoleContainer container;
  Port* port = nullptr;
  std::unique_ptr<Velmar> control;
};

// A control on a serial device (a simulator's pseudo-terminal) at `baud`.
struct PosixHost : PosixHostOn<posix::PosixSerialPort> {
  PosixHost(const std::string& device, int baud) {
    port->SetDevicePath(1, device);
    control->CommSpeed(Variant(std::int32_t{baud}));
  }
};

inline int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n - 1;  // the directory stream itself
}

}  // namespace velmar::testing
