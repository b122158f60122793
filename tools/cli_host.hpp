// What every velmar subcommand shares: the serial options, the console host around one
// control, the embedded simulator for --simulate, and the mapping of results to exit codes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "line_peers.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"

namespace velmar::tools {

// Exit statuses, also listed in --help.
constexpr int kExitOk = 0;
constexpr int kExitError = 1;        // a typed error: port, argument, file
constexpr int kExitUsage = 2;        // bad command line
constexpr int kExitNoReply = 3;      // read: the meter did not answer
constexpr int kExitResultBase = 10;  // a command returned -N: exit 10 + N

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
};

void AddLineOptions(CLI::App& app, LineOptions& options, bool with_simulate);

// A control on the console host, configured from the options (and serving an in-process
// simulated meter on a pseudo-terminal when asked to).
class CliHost {
 public:
  explicit CliHost(const LineOptions& options);
  ~CliHost();
  Velmar& control() { return *control_; }
  std::optional<Variant> Address() const;

 private:
  LineOptions options_;
  std::unique_ptr<sim::SimMeter> meter_;
  std::unique_ptr<sim::PtyMeterServer> server_;
  posix::PosixEventLoop events_;
  posix::ConsoleMessageBox messages_;
  posix::ConsoleContainer container_;
  std::unique_ptr<Velmar> control_;
};

int ExitForResult(int result);
const char* ExitStatusHelp();

}  // namespace velmar::tools
