// What every velmar subcommand shares: the serial options, the console host around one
// control, the embedded simulator for --simulate, and the mapping of results to exit codes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.hpp"
#include "line_peers.hpp"
#include "signal_watch.hpp"
#include "velmar/bus.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"

namespace velmar::tools {

struct LineOptions {
  std::string device;
  int port = 1;
  int speed = 2400;
  bool rts = false;
  std::string address = "254";
  bool keepOpen = false;
  bool quiet = false;
  bool trace = false;
  bool simulate = false;
  int timeoutMs = 0;  // the bus's reply time-out; 0: the standard's at the line speed
  int retries = 2;    // the bus's repeats of a request without a proper reply
  int settleMs = -1;  // the bus's rest after opening; -1: 50 ms with --rts, else none
  // Which of the port settings the command line gave (they win over saved settings).
  bool deviceGiven = false;
  bool portGiven = false;
  bool speedGiven = false;
  bool rtsGiven = false;
};

// `read` also takes an identification number as its address (`ident_address`).
void AddLineOptions(CLI::App& app, LineOptions& options, bool with_simulate,
                    bool ident_address = false);
// --timeout MS, --retries N and --settle MS, for the commands that go through the bus master.
void AddBusOptions(CLI::App& app, LineOptions& options, int default_retries = 2);
// Accepts a device path, or tcp://HOST:PORT with a port from 1 to 65535.
CLI::Validator DeviceCheck();

// Where `velmar config` saves the port settings: $XDG_CONFIG_HOME/velmar/port.conf, or
// ~/.config/velmar/port.conf.
std::string SettingsPath();
// The name of the saved device entry, beside the control's own entries.
inline constexpr const char* kDeviceEntry = "Device";

// The control's message boxes as "title: text" lines on stderr, held until the command's result
// is known: a port that would not open is then told once, with its reason, instead of the
// control's general line and the reason after it.
class HeldMessages : public MessageBox {
 public:
  ~HeldMessages() override { Flush(); }
  void Show(const std::string& text, const std::optional<std::string>& title) override;
  // Prints what is held, in order; or forgets it.
  void Flush();
  void Drop() { held_.clear(); }

 private:
  std::vector<std::string> held_;
};

// A control on the console host, configured from the options (and serving an in-process
// simulated meter on a pseudo-terminal when asked to).
class CliHost {
 public:
  explicit CliHost(const LineOptions& options);
  ~CliHost();
  Velmar& control() { return *control_; }
  std::optional<Variant> Address() const;
  posix::PosixEventLoop& Events() { return events_; }
  // SIGINT, SIGTERM and SIGHUP end the command's wait and let the port close first.
  SignalWatch& Signals() { return *signals_; }
  // The bus master on the same port and loop, with the options' time-out, retries and trace.
  Bus& bus();
  // Why the port last failed to open ("" when it did not).
  std::string PortFailure() const { return port_->LastError(); }
  HeldMessages& Messages() { return messages_; }

 private:
  void RestoreSavedSettings();

  LineOptions options_;
  SerialPortBase* port_ = nullptr;
  posix::PosixSerialPort* serial_ = nullptr;  // when the device is a serial line
  std::unique_ptr<sim::SimMeter> meter_;
  std::unique_ptr<sim::PtyMeterServer> server_;
  posix::PosixEventLoop events_;
  std::unique_ptr<SignalWatch> signals_;  // before the simulator's thread, which inherits its mask
  HeldMessages messages_;
  posix::ConsoleContainer container_;
  std::unique_ptr<Velmar> control_;
  std::unique_ptr<Bus> bus_;  // destroyed before the control that owns the port
};

// --trace: every frame sent as "> HEX" and every reply as "< HEX" on stderr.
TraceCallback StderrTrace();

// The exit status for a command's result: 0, or 10 + N for -N.
int ExitForResult(int result);
// The same for a control command, after the control's messages: a port that did not open is
// reported alone, as one line with the port's own reason, and exit status 1.
int ExitForCommand(CliHost& host, int result, bool could_not_init = false);
const char* ExitStatusHelp();

}  // namespace velmar::tools
