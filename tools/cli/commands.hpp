// The velmar subcommands; each registers itself on the app and runs one control operation.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace velmar::tools {

// Exit statuses, also listed in --help.
constexpr int kExitOk = 0;
constexpr int kExitError = 1;        // a typed error: port, argument, file
constexpr int kExitUsage = 2;        // bad command line
constexpr int kExitNoReply = 3;      // read: the meter did not answer
constexpr int kExitResultBase = 10;  // a command returned -N: exit 10 + N

using Runner = std::function<int()>;

// Each adds its subcommand and returns the function that runs it once parsing succeeded.
Runner AddDecode(CLI::App& app);
Runner AddRead(CLI::App& app);
Runner AddWrites(CLI::App& app);  // password, change-password, set-time, lock, intervals
Runner AddSimulate(CLI::App& app);
Runner AddConfig(CLI::App& app);
Runner AddScan(CLI::App& app);
Runner AddPoll(CLI::App& app);         // the MQTT collector
Runner AddBusCommands(CLI::App& app);  // set-address, set-speed, reset, send
Runner AddListen(CLI::App& app);       // wireless telegrams from a radio receiver
Runner AddProfiles(CLI::App& app);     // list, show and check meter profiles

}  // namespace velmar::tools
