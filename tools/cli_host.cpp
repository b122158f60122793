#include "cli_host.hpp"

#include <unistd.h>

#include <charconv>
#include <iostream>

namespace velmar::tools {

namespace {

// M-Bus primary addresses 0-250, 253 (the address of a selected meter), 254 (whoever is on the
// line) and 255 (broadcast, nobody answers); from 256 up the number is a secondary address, the
// meter's eight-digit identification number. 251 and 252 are reserved.
std::string CheckAddress(const std::string& text) {
  long value = -1;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    return "address \"" + text + "\" is not a number";
  }
  if (value < 0 || value == 251 || value == 252 || value > 99999999) {
    return "address " + text +
           " is out of range: 0-250, 253, 254, 255, or an 8-digit identification number";
  }
  return {};
}

// A missing device is the commonest first mistake; say so before the control tries it.
void RequireDevice(const std::string& path) {
  if (::access(path.c_str(), F_OK) == 0) return;
  throw Error("no serial device " + path +
              ": plug in the M-Bus level converter and name it with --device PATH, "
              "or try --simulate for the built-in meter");
}

}  // namespace

void AddLineOptions(CLI::App& app, LineOptions& o, bool with_simulate) {
  app.add_option("--device", o.device, "Serial device of the M-Bus level converter (/dev/ttyUSB0)");
  app.add_option("--port", o.port, "Port number N, device /dev/ttyS{N-1} unless --device is given")
      ->check(CLI::Range(1, 32767));
  app.add_option("--speed", o.speed, "Baud rate (the line runs 8E1)")->check(CLI::PositiveNumber);
  app.add_flag("--rts", o.rts, "Raise RTS (some level converters need it for power)");
  app.add_option("--address", o.address,
                 "Meter address: 0-250 primary, 254 any single meter, 8-digit number secondary")
      ->default_str("254")
      ->check(CLI::Validator(CheckAddress, "ADDRESS"));
  app.add_flag("--keep-open", o.keepOpen, "Leave the port open after the command");
  app.add_flag("--quiet", o.quiet, "Do not print the control's error messages");
  app.add_flag("--trace", o.trace, "Print every frame sent (> HEX) and received (< HEX) on stderr");
  if (with_simulate) {
    app.add_flag("--simulate", o.simulate,
                 "Talk to a built-in simulated meter on a pseudo-terminal instead of a device");
  }
}

CliHost::CliHost(const LineOptions& options) : options_(options) {
  if (options.simulate) {
    meter_ = std::make_unique<sim::SimMeter>();
    server_ = std::make_unique<sim::PtyMeterServer>(*meter_, options.speed);
  }
  auto port = std::make_unique<posix::PosixSerialPort>(events_);
  posix::PosixSerialPort& serial = *port;
  const std::string device = server_ ? server_->DevicePath() : options.device;
  if (!device.empty()) port->SetDevicePath(static_cast<std::int16_t>(options.port), device);
  control_ =
      std::make_unique<Velmar>(HostServices{events_, messages_, container_}, std::move(port));
  Velmar& v = *control_;
  v.InitProperties();
  v.CommPort(Variant(static_cast<std::int16_t>(options.port)));
  v.CommSpeed(Variant(static_cast<std::int32_t>(options.speed)));
  v.RTSEnable(Variant(options.rts));
  v.keepPortopen(options.keepOpen);
  v.noErrorPopup(options.quiet);
  v.txt_Adress().SetText(options.address);
  RequireDevice(serial.DevicePath());
  if (options.trace) {
    v.SetTraceCallback([](TraceDirection dir, const std::string& text) {
      std::cerr << (dir == TraceDirection::kSent ? "> " : "< ") << text << '\n';
    });
  }
}

CliHost::~CliHost() {
  if (control_) control_->closePort();
}

std::optional<Variant> CliHost::Address() const {
  return Variant(options_.address);
}

int ExitForResult(int result) {
  return result == 0 ? kExitOk : kExitResultBase - result;
}

const char* ExitStatusHelp() {
  return "Exit status: 0 success; 1 error (port, argument, file); 2 usage error;\n"
         "3 no reply to a read; 10+N the command returned -N (see the README for each).";
}

}  // namespace velmar::tools
