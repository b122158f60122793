// velmar: read and write electricity meters over M-Bus, decode telegrams, simulate a meter.
#include <iostream>

#include "cli_host.hpp"
#include "commands.hpp"
#include "input_checks.hpp"
#include "signal_watch.hpp"
#include "velmar/error.hpp"

namespace {

bool IsSubcommand(CLI::App& app, const std::string& name) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->check_name(name)) return true;
  }
  return false;
}

std::string SubcommandNames(CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands({})) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmar::tools;
  CLI::App app{"velmar - M-Bus master for electricity meters on a serial line"};
  app.footer(ExitStatusHelp());
  app.require_subcommand(1);
  std::vector<Runner> runners = {
      AddRead(app), AddWrites(app), AddDecode(app),      AddSimulate(app), AddConfig(app),
      AddScan(app), AddPoll(app),   AddBusCommands(app), AddListen(app),   AddProfiles(app)};
  // CLI11 would only say that a subcommand is required; name the word it did not know.
  if (argc > 1 && argv[1][0] != '-' && !IsSubcommand(app, argv[1])) {
    std::cerr << "unknown command \"" << Shown(argv[1]) << "\"; the commands are "
              << SubcommandNames(app) << "\nRun with --help for more information.\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::cerr << ShortenLongWords(OneLine(e.what())) << "\nRun with --help for more information.\n";
    return kExitUsage;
  }
  try {
    for (auto& run : runners) {
      if (int status = run(); status >= 0) return status;
    }
    return kExitUsage;
  } catch (const Interrupted& e) {
    std::cerr << "Error: " << e.what() << "; the port was closed and its settings restored\n";
    return 128 + e.Signal();
  } catch (const velmar::Error& e) {
    std::cerr << "Error: " << e.what() << '\n';
    return kExitError;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << '\n';
    return kExitError;
  }
}
