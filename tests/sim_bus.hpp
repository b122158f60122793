// Simulated meters on a virtual line with a bus master on it: what the bus and scan tests share.
#pragma once

#include <memory>
#include <vector>

#include "line_peers.hpp"
#include "velmar/bus.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::testing {

struct SimBus {
  explicit SimBus(std::vector<sim::MeterConfig> configs, BusOptions options = {},
                  const char* settings = "2400,e,8,1") {
    for (auto& c : configs) owned.push_back(std::make_unique<sim::SimMeter>(c));
    for (auto& m : owned) meters.push_back(m.get());
    peer = std::make_unique<sim::VirtualMeterPeer>(meters);
    port = std::make_unique<virt::VirtualSerialPort>(loop, peer.get());
    port->SetSettings(settings);
    port->RecordLine(true);
    bus = std::make_unique<Bus>(loop, *port, options);
  }
  // One meter of this maker at primary address 1, identification number 12345678.
  static std::vector<sim::MeterConfig> One(sim::MeterConfig c = {}) { return {c}; }

  sim::SimMeter& meter(std::size_t i = 0) { return *owned[i]; }
  // The bytes the master sent, and the frames it sent as hex, in order.
  const std::vector<std::uint8_t>& Sent() const { return port->Transmitted(); }

  virt::VirtualEventLoop loop;
  std::vector<std::unique_ptr<sim::SimMeter>> owned;
  std::vector<sim::SimMeter*> meters;
  std::unique_ptr<sim::VirtualMeterPeer> peer;
  std::unique_ptr<virt::VirtualSerialPort> port;
  std::unique_ptr<Bus> bus;
};

}  // namespace velmar::testing
