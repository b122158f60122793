// A control wired to a simulated meter on the virtual line, in virtual time.
#pragma once

#include <memory>

#include "decode/meter_data.hpp"
#include "line_peers.hpp"
#include "link/link_state.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::testing {

struct VirtualBench {
  explicit VirtualBench(sim::MeterConfig config = {}) : meter(std::move(config)), peer(meter) {
    LinkState() = MbusLinkState{};
    MeterData() = OrvMeterData{};
    auto owned = std::make_unique<virt::VirtualSerialPort>(loop, &peer);
    port = owned.get();
    control = std::make_unique<Velmar>(HostServices{loop, messages, container}, std::move(owned));
    control->InitProperties();
    control->keepPortopen(false);
  }

  virt::Nanos Elapsed(virt::Nanos since) const { return loop.Now() - since; }

  virt::VirtualEventLoop loop;
  virt::RecordingMessageBox messages;
  virt::RecordingContainer container;
  sim::SimMeter meter;
  sim::VirtualMeterPeer peer;
  virt::VirtualSerialPort* port = nullptr;
  std::unique_ptr<Velmar> control;
};

}  // namespace velmar::testing
