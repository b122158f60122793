// velmar config: the port settings every later command starts from, saved the way a host
// container saves a control (WriteProperties into a property set) plus the device path.
#include <iostream>

#include "cli_host.hpp"
#include "commands.hpp"
#include "input_checks.hpp"

namespace velmar::tools {
namespace {

struct ConfigOptions {
  std::string device;
  int port = 1;
  int speed = 2400;
  bool rts = false;
};

std::string Describe(Velmar& v, const std::string& device) {
  return "device " + (device.empty() ? "(none: /dev/ttyS{port-1})" : device) + ", port " +
         v.CommPort().ToText() + ", speed" + v.CommSpeed().ToText() + ", RTS " +
         (v.RTSEnable().ToBool() ? "raised" : "low");
}

}  // namespace

Runner AddConfig(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "config",
      "Save the port settings (device, port, speed, RTS) that every later command starts from; "
      "options on a command line still win. Without options, show what is saved.");
  auto o = std::make_shared<ConfigOptions>();
  auto* device =
      cmd->add_option("--device", o->device,
                      "Serial device, or tcp://HOST:PORT of a gateway, to use from now on")
          ->check(DeviceCheck());
  auto* port = cmd->add_option("--port", o->port, "Port number N (/dev/ttyS{N-1} without a device)")
                   ->check(CLI::Range(1, 32767));
  auto* speed =
      cmd->add_option("--speed", o->speed, "Baud rate (the line runs 8E1)")
          ->check(CLI::Validator([](const std::string& t) { return CheckSpeed(t); }, "BAUD"));
  auto* rts = cmd->add_flag("--rts,!--no-rts", o->rts, "Raise RTS (or keep it low)");
  cmd->footer("Saved in " + SettingsPath() + " (XDG_CONFIG_HOME moves it).\n" + ExitStatusHelp());
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    posix::PosixEventLoop events;
    posix::ConsoleMessageBox messages;
    posix::ConsoleContainer container;
    Velmar v(HostServices{events, messages, container},
             std::make_unique<posix::PosixSerialPort>(events));
    v.InitProperties();
    posix::FilePropertySet saved(SettingsPath());
    std::string path;
    if (saved.Exists()) {
      v.ReadProperties(saved);
      path = saved.Read(kDeviceEntry, Variant("")).ToText();
    }
    const bool change = device->count() + port->count() + speed->count() + rts->count() > 0;
    if (!change) {
      std::cout << (saved.Exists() ? "Saved: " : "Nothing saved yet; defaults: ")
                << Describe(v, path) << '\n';
      return kExitOk;
    }
    // Every value is applied (and so checked) before anything is written.
    if (port->count() > 0) {
      v.CommPort(Variant(static_cast<std::int16_t>(o->port)));
      path.clear();
    }
    if (speed->count() > 0) v.CommSpeed(Variant(static_cast<std::int32_t>(o->speed)));
    if (rts->count() > 0) v.RTSEnable(Variant(o->rts));
    if (device->count() > 0) path = o->device;
    v.WriteProperties(saved);
    saved.Write(kDeviceEntry, Variant(path), Variant(""));
    std::cout << "Saved to " << SettingsPath() << ": " << Describe(v, path) << '\n';
    return kExitOk;
  };
}

}  // namespace velmar::tools
