#include <unistd.h>

#include <ctime>
#include <iostream>

#include "cli_host.hpp"
#include "commands.hpp"
#include "input_checks.hpp"
#include "table_files.hpp"
#include "velmar/hex.hpp"

namespace velmar::tools {
namespace {

struct WriteOptions {
  LineOptions line;
  std::string password;
};

CLI::Validator PasswordCheck() {
  return CLI::Validator([](const std::string& t) { return CheckPassword(t); }, "PASSWORD");
}

CLI::App* AddWriteCommand(CLI::App& app, const char* name, const char* help, WriteOptions& o) {
  auto* cmd = app.add_subcommand(name, help);
  AddLineOptions(*cmd, o.line, true);
  cmd->add_option("--password", o.password,
                  "Present this password first (as a technician does before any write)")
      ->check(PasswordCheck());
  return cmd;
}

// With --password the write sequence starts with givePassword in the same process; without it
// the write goes out alone and relies on a meter that is still open.
int PresentPassword(CliHost& host, WriteOptions& o, CLI::App* cmd) {
  if (cmd->count("--password") == 0) return 0;
  return host.control().givePassword(o.password, host.Address());
}

// The table read from the meter goes to FILE; should that fail, it goes to stdout as hex, so
// nothing read from the meter is lost, and the command fails.
int DeliverTable(const std::string& file, const std::vector<std::uint8_t>& table) {
  if (file.empty()) {
    std::cout << HexText(table) << '\n';
    return kExitOk;
  }
  try {
    WriteTableFile(file, table);
    return kExitOk;
  } catch (const Error& e) {
    std::cout << HexText(table) << std::endl;
    std::cerr << "Error: " << e.what() << "; the table read from the meter is on stdout as hex\n";
    return kExitError;
  }
}

}  // namespace

Runner AddWrites(CLI::App& app) {
  auto o = std::make_shared<WriteOptions>();
  auto text = std::make_shared<std::string>();
  auto std_form = std::make_shared<bool>(false);
  auto mode = std::make_shared<int>(0);
  auto file = std::make_shared<std::string>();
  auto empty = std::make_shared<bool>(false);

  auto* pw = app.add_subcommand("password", "Present the meter password (opens a write sequence)");
  AddLineOptions(*pw, o->line, true);
  pw->add_option("PASSWORD", o->password, "Up to 8 characters; shorter ones are padded with 0")
      ->required()
      ->check(PasswordCheck());
  auto* change = AddWriteCommand(app, "change-password", "Write a new meter password", *o);
  change->add_option("NEW", *text, "The new password (up to 8 characters)")
      ->required()
      ->check(PasswordCheck());
  auto* clock = AddWriteCommand(app, "set-time", "Set the meter clock", *o);
  clock
      ->add_option("TIME", *text,
                   "hhmmssDDMMYY (a real date and time, year 20YY), or now for this computer's "
                   "local clock")
      ->required()
      ->check(CLI::Validator([](const std::string& t) { return CheckSetTimeText(t); }, "TIME"));
  clock->add_flag("--std", *std_form, "Send the standard date/time record (minute resolution)");
  auto* lock = AddWriteCommand(app, "lock", "Send a lock mode to the meter", *o);
  lock->add_option("MODE", *mode, "Lock mode byte, 0-255 (its meaning is the meter's)")
      ->required()
      ->check(CLI::Range(0, 255));
  auto* intervals = app.add_subcommand("intervals", "Write or read the tariff interval table");
  intervals->require_subcommand(1);
  auto* iwrite = AddWriteCommand(*intervals, "write", "Write the table from a file", *o);
  iwrite->add_option("FILE", *file, "Raw table bytes, 1 to 302 (0 only with --empty)")->required();
  iwrite->add_flag("--empty", *empty, "Allow an empty file: clears the meter's table");
  auto* iread = intervals->add_subcommand("read", "Read the table back");
  AddLineOptions(*iread, o->line, true);
  iread->add_option("FILE", *file,
                    "Where to write the raw bytes (replaced whole, or left as it was); hex on "
                    "stdout without it");

  return [=]() -> int {
    if (pw->parsed()) {
      CliHost host(o->line);
      const int r = host.control().givePassword(o->password, host.Address());
      return ExitForCommand(host, r, r == PasswordResult::kCouldNotInit);
    }
    if (iread->parsed()) {
      if (!file->empty()) CheckTableTarget(*file);  // before anything is sent
      CliHost host(o->line);
      std::vector<std::uint8_t> table(399);
      std::int32_t len = 0;
      const int r = host.control().ReadIntervals(table, len, host.Address());
      if (r != 0) return ExitForCommand(host, r, r == ReadIntervalsResult::kCouldNotInit);
      host.Messages().Flush();
      table.resize(static_cast<std::size_t>(len));
      return DeliverTable(*file, table);
    }
    CLI::App* cmd = change->parsed()   ? change
                    : clock->parsed()  ? clock
                    : lock->parsed()   ? lock
                    : iwrite->parsed() ? iwrite
                                       : nullptr;
    if (!cmd) return -1;
    std::vector<std::uint8_t> table;
    if (cmd == iwrite) table = ReadTableFile(*file, *empty);  // before anything is sent
    if (cmd == clock && *text == "now") *text = LocalClockText();
    CliHost host(o->line);
    Velmar& v = host.control();
    if (int r = PresentPassword(host, *o, cmd); r != 0) {
      return ExitForCommand(host, r, r == PasswordResult::kCouldNotInit);
    }
    if (cmd == change) return ExitForCommand(host, v.ChangePassword(*text, host.Address()));
    if (cmd == clock) {
      return ExitForCommand(host, *std_form ? v.SetDateTimeStd(*text, host.Address())
                                            : v.SetDateTime(*text, host.Address()));
    }
    if (cmd == lock) {
      auto m = static_cast<std::uint8_t>(*mode);
      return ExitForCommand(host, v.LockMeter(m, host.Address()));
    }
    if (isatty(STDERR_FILENO)) {
      v.SetProgressCallback([](int block, int blocks) {
        std::cerr << "block " << block << "/" << blocks << " confirmed\n";
      });
    }
    auto len = static_cast<std::int32_t>(table.size());
    return ExitForCommand(host, v.SetIntervals(table, len, host.Address()));
  };
}

}  // namespace velmar::tools
