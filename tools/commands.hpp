// The velmar subcommands; each registers itself on the app and runs one control operation.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace velmar::tools {

using Runner = std::function<int()>;

// Each adds its subcommand and returns the function that runs it once parsing succeeded.
Runner AddDecode(CLI::App& app);
Runner AddRead(CLI::App& app);
Runner AddWrites(CLI::App& app);  // password, change-password, set-time, lock, intervals
Runner AddSimulate(CLI::App& app);
Runner AddConfig(CLI::App& app);

}  // namespace velmar::tools
