// What one Velmar instance owns: its host services, child components, instance state, the
// transport and the meter commands built on them.
#pragma once

#include <memory>

#include "commands/meter_commands.hpp"
#include "control/instance_state.hpp"
#include "transport/transport.hpp"
#include "velmar/velmar.hpp"

namespace velmar {

struct Velmar::Impl {
  Impl(HostServices h, std::unique_ptr<SerialPort> p, std::unique_ptr<TextField> field)
      : host(h),
        port(std::move(p)),
        txt_Adress(field ? std::move(field) : std::make_unique<SimpleTextField>("254")),
        transport(state, *port, host.events),
        commands(state, transport, host.messages, *txt_Adress) {}

  HostServices host;
  std::unique_ptr<SerialPort> port;
  std::unique_ptr<TextField> txt_Adress;
  InstanceState state;
  Transport transport;
  MeterCommands commands;
};

}  // namespace velmar
