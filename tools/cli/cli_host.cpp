#include "cli_host.hpp"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <iostream>

#include "input_checks.hpp"
#include "velmar/text.hpp"

namespace velmar::tools {

namespace {

// A converter fed from RTS: its supply is up well within this after the line is raised.
constexpr int kRtsSettleMs = 50;

// A missing device is the commonest first mistake; say so before the control tries it.
void RequireDevice(const std::string& path) {
  if (::access(path.c_str(), F_OK) == 0) return;
  throw Error("no serial device " + ShownName(path) +
              ": plug in the M-Bus level converter and name it with --device PATH, "
              "or try --simulate for the built-in meter");
}

}  // namespace

CLI::Validator DeviceCheck() {
  return CLI::Validator(
      [](const std::string& t) {
        if (t.empty()) {
          return std::string(
              "an empty device name: give a serial device path (/dev/ttyUSB0) or "
              "tcp://HOST:PORT");
        }
        std::string host;
        std::uint16_t port = 0;
        try {
          posix::ParseGatewayAddress(t, host, port);
          return std::string();
        } catch (const ArgumentError& e) {
          return std::string(e.what());
        }
      },
      "DEVICE");
}

void AddLineOptions(CLI::App& app, LineOptions& o, bool with_simulate, bool ident_address) {
  // Several subcommands share one LineOptions; each marks what its own command line gave.
  app.add_option("--device", o.device,
                 "Serial device of the M-Bus level converter (/dev/ttyUSB0), or a transparent "
                 "M-Bus to Ethernet gateway as tcp://HOST:PORT (its own line settings apply; "
                 "--speed and --rts are kept but not sent to it)")
      ->check(DeviceCheck())
      ->each([&o](const std::string&) { o.deviceGiven = true; });
  app.add_option("--port", o.port, "Port number N, device /dev/ttyS{N-1} unless --device is given")
      ->check(CLI::Range(1, 32767))
      ->each([&o](const std::string&) { o.portGiven = true; });
  app.add_option("--speed", o.speed, "Baud rate (the line runs 8E1); default 2400")
      ->check(CLI::Validator([](const std::string& t) { return CheckSpeed(t); }, "BAUD"))
      ->each([&o](const std::string&) { o.speedGiven = true; });
  app.add_flag_callback(
      "--rts", [&o] { o.rts = o.rtsGiven = true; },
      "Raise RTS (some level converters need it for power)");
  app.add_option("--address", o.address,
                 "Meter address: 0-250 primary, 254 the one meter on the line (default)")
      ->default_str("254")
      ->check(CLI::Validator(
          [ident_address](const std::string& t) {
            return ident_address ? CheckReadAddress(t) : CheckAddress(t);
          },
          "ADDRESS"));
  app.footer(ExitStatusHelp());
  app.add_flag("--keep-open", o.keepOpen, "Leave the port open after the command");
  app.add_flag("--quiet", o.quiet, "Do not print the control's error messages");
  app.add_flag("--trace", o.trace, "Print every frame sent (> HEX) and received (< HEX) on stderr");
  if (with_simulate) {
    app.add_flag("--simulate", o.simulate,
                 "Talk to a built-in simulated meter on a pseudo-terminal instead of a device");
  }
}

void AddBusOptions(CLI::App& app, LineOptions& o, int default_retries) {
  o.retries = default_retries;
  app.add_option("--timeout", o.timeoutMs,
                 "Reply time-out in ms (1-60000); default the standard's 330 bit times + 50 ms")
      ->check(CLI::Validator([](const std::string& t) { return CheckTimeout(t); }, "MS"));
  app.add_option("--retries", o.retries,
                 "Repeats of a request that got no reply or a damaged one (0-10); default " +
                     std::to_string(default_retries))
      ->check(CLI::Range(0, 10));
  app.add_option("--settle", o.settleMs,
                 "Rest after opening the port, before the first frame, in ms (0-2000): a level "
                 "converter powered from RTS or DTR needs its supply up first; default 50 with "
                 "--rts, else 0")
      ->check(CLI::Range(0, 2000));
}

std::string SettingsPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : ".") + "/.config";
  }
  return base + "/velmar/port.conf";
}

// The device a command talks to: the simulator's, the one on the command line, or the saved one
// unless a port number on the command line names its own.
std::string ChosenDevice(const LineOptions& options, const std::string& simulated) {
  if (!simulated.empty()) return simulated;
  if (options.deviceGiven) return options.device;
  if (options.portGiven) return {};
  posix::FilePropertySet saved(SettingsPath());
  return saved.Exists() ? saved.Read(kDeviceEntry, Variant("")).ToText() : std::string();
}

CliHost::CliHost(const LineOptions& options)
    : options_(options), signals_(std::make_unique<SignalWatch>(events_)) {
  if (options.simulate) {
    meter_ = std::make_unique<sim::SimMeter>();
    server_ = std::make_unique<sim::PtyMeterServer>(*meter_, options.speed);
  }
  const std::string device = ChosenDevice(options, server_ ? server_->DevicePath() : "");
  std::unique_ptr<SerialPortBase> port = posix::PortForDevice(events_, device);
  serial_ = dynamic_cast<posix::PosixSerialPort*>(port.get());
  port_ = port.get();
  control_ =
      std::make_unique<Velmar>(HostServices{events_, messages_, container_}, std::move(port));
  Velmar& v = *control_;
  v.InitProperties();
  if (!options.simulate) RestoreSavedSettings();
  // Options on the command line win over saved settings.
  if (options.portGiven) v.CommPort(Variant(static_cast<std::int16_t>(options.port)));
  if (options.speedGiven || options.simulate) {
    v.CommSpeed(Variant(static_cast<std::int32_t>(options.speed)));
  }
  if (options.rtsGiven) v.RTSEnable(Variant(options.rts));
  if (serial_ != nullptr) RequireDevice(serial_->DevicePath());
  v.keepPortopen(options.keepOpen);
  v.noErrorPopup(options.quiet);
  v.txt_Adress().SetText(options.address);
  if (options.trace) {
    v.SetTraceCallback(StderrTrace());
  }
}

// Settings saved by `velmar config` (the device is taken before the port is made).
void CliHost::RestoreSavedSettings() {
  posix::FilePropertySet saved(SettingsPath());
  if (saved.Exists()) control_->ReadProperties(saved);
}

CliHost::~CliHost() {
  // Closing gives the device its settings back; a signal now must not stop that. A port the
  // bus or the control closed already is not closed again (the control's close would wait
  // 50 ms for nothing).
  signals_->OnSignal([](int) {});
  bus_.reset();
  if (control_ && port_->PortOpen()) control_->closePort();
}

Bus& CliHost::bus() {
  if (!bus_) {
    BusOptions o;
    o.replyTimeoutMs = options_.timeoutMs;
    o.retries = options_.retries;
    o.settleMs = options_.settleMs >= 0 ? options_.settleMs : options_.rts ? kRtsSettleMs : 0;
    bus_ = std::make_unique<Bus>(events_, control_->MSC_port(), o);
    if (options_.trace) bus_->SetTraceCallback(StderrTrace());
  }
  return *bus_;
}

std::optional<Variant> CliHost::Address() const {
  return Variant(options_.address);
}

TraceCallback StderrTrace() {
  return [](TraceDirection dir, const std::string& text) {
    std::cerr << (dir == TraceDirection::kSent ? "> " : "< ") << text << '\n';
  };
}

int ExitForResult(int result) {
  return result == 0 ? kExitOk : kExitResultBase - result;
}

void HeldMessages::Show(const std::string& text, const std::optional<std::string>& title) {
  held_.push_back(title.value_or("velmar") + ": " + text);
}

void HeldMessages::Flush() {
  for (const std::string& line : held_) std::cerr << line << '\n';
  std::cerr << std::flush;
  held_.clear();
}

int ExitForCommand(CliHost& host, int result, bool could_not_init) {
  if (could_not_init && !host.PortFailure().empty()) {
    host.Messages().Drop();
    std::cerr << "Error: " << host.PortFailure() << '\n';
    return kExitError;
  }
  host.Messages().Flush();
  return ExitForResult(result);
}

const char* ExitStatusHelp() {
  return "Exit status:\n"
         "  0   success\n"
         "  1   error: the port (missing, in use, no permission), a file, an argument\n"
         "  2   usage error (unknown command or option, bad value); nothing was sent\n"
         "  3   read: no reply from the meter (its --timeout, repeated --retries times)\n"
         "  10+N  the command returned -N: read 11-17 link errors (14 checksum), password 13 no\n"
         "      reply, 14 not acknowledged; change-password and lock 12 no reply, 13 not\n"
         "      acknowledged; set-time 12 wrong length, 13 not acknowledged; intervals write\n"
         "      14 table too large, 15 block not confirmed; intervals read 12 no reply, 13 not\n"
         "      acknowledged, 14 data request failed";
}

}  // namespace velmar::tools
