// What one Velmar instance owns: its host services, child components, the transport and the
// meter commands built on them.
#pragma once

#include <memory>

#include "commands/meter_commands.hpp"
#include "transport/transport.hpp"
#include "velmar/velmar.hpp"

namespace velmar {

struct Velmar::Impl {
  Impl(HostServices h, std::unique_ptr<SerialPort> p, std::unique_ptr<TextField> field)
      : host(h),
        port(std::move(p)),
        txt_Adress(field ? std::move(field) : std::make_unique<SimpleTextField>("254")),
        transport(*port, host.events),
        commands(transport, host.messages, *txt_Adress) {}

  HostServices host;
  std::unique_ptr<SerialPort> port;
  std::unique_ptr<TextField> txt_Adress;
  Transport transport;
  MeterCommands commands;
};

}  // namespace velmar
