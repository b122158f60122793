// A control on the posix platform, wired to a serial device (a simulator's pseudo-terminal), with
// its message boxes recorded.
#pragma once

#include <memory>
#include <string>

#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::testing {

struct PosixHost {
  PosixHost(const std::string& device, int baud) {
    auto owned = std::make_unique<posix::PosixSerialPort>(events);
    owned->SetDevicePath(1, device);
    port = owned.get();
    control = std::make_unique<Velmar>(HostServices{events, messages, container}, std::move(owned));
    control->InitProperties();
    control->CommSpeed(Variant(std::int32_t{baud}));
    control->keepPortopen(false);
  }
  posix::PosixEventLoop events;
  virt::RecordingMessageBox messages;
  posix::ConsoleContainer container;
  posix::PosixSerialPort* port = nullptr;
  std::unique_ptr<Velmar> control;
};

}  // namespace velmar::testing
