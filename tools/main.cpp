// velmar: read and write electricity meters over M-Bus, decode telegrams, simulate a meter.
#include <iostream>

#include "cli_host.hpp"
#include "commands.hpp"
#include "velmar/error.hpp"

int main(int argc, char** argv) {
  using namespace velmar::tools;
  CLI::App app{"velmar - M-Bus master for electricity meters on a serial line"};
  app.footer(ExitStatusHelp());
  app.require_subcommand(1);
  std::vector<Runner> runners = {AddRead(app), AddWrites(app), AddDecode(app), AddSimulate(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  try {
    for (auto& run : runners) {
      if (int status = run(); status >= 0) return status;
    }
    return kExitUsage;
  } catch (const velmar::Error& e) {
    std::cerr << "Error: " << e.what() << '\n';
    return kExitError;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << '\n';
    return kExitError;
  }
}
