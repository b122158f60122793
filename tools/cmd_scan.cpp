// velmar scan: the meters on a bus, by primary address or by identification number.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "cli_host.hpp"
#include "commands.hpp"
#include "decode_json.hpp"
#include "input_checks.hpp"
#include "velmar/records.hpp"
#include "velmar/scan.hpp"

namespace velmar::tools {
namespace {

struct ScanOptions {
  LineOptions line;
  bool primary = false;
  bool secondary = false;
  std::string range = "0-250";
  std::string pattern = "FFFFFFFF";
  bool json = false;
};

// Ctrl-C ends the scan after the probe in progress; what was found is printed.
BusScanner* g_scanner = nullptr;
extern "C" void StopScan(int) {
  if (g_scanner != nullptr) g_scanner->RequestStop();
}

std::string CheckRange(const std::string& text) {
  int first = -1, last = -1;
  char dash = 0;
  if (std::sscanf(text.c_str(), "%d%c%d", &first, &dash, &last) != 3 || dash != '-' || first < 0 ||
      last > 250 || first > last) {
    std::string why = "\"";
    why += Shown(text);
    why += "\" is not a range A-B within 0-250";
    return why;
  }
  return {};
}

std::string CheckPattern(const std::string& text) {
  const bool ok = text.size() == 8 && text.find_first_not_of("0123456789Ff") == std::string::npos;
  if (ok) return {};
  std::string why = "\"";
  why += Shown(text);
  why += "\" is not 8 characters of digits and F";
  return why;
}

nlohmann::ordered_json MeterJson(const FoundMeter& m) {
  nlohmann::ordered_json j;
  j["primaryAddress"] = m.primaryAddress;
  j["identNumber"] = m.identNumber;
  j["manufacturer"] = std::string(m.manufacturer.data());
  j["version"] = m.version;
  j["medium"] = m.medium;
  if (!m.readable) j["collision"] = true;
  return j;
}

void PrintMeter(const FoundMeter& m) {
  if (!m.readable) {
    std::printf("%-8s %-10s %-4s %-7s %-6s %s\n",
                m.primaryAddress >= 0 ? std::to_string(m.primaryAddress).c_str() : "-", "?", "?",
                "?", "?", "several meters answered at once: not readable");
    return;
  }
  char ident[16];
  std::snprintf(ident, sizeof ident, "%08u", m.identNumber);
  std::printf("%-8s %-10s %-4s %-7u %-6u\n",
              m.primaryAddress >= 0 ? std::to_string(m.primaryAddress).c_str() : "-", ident,
              m.manufacturer.data(), m.version, m.medium);
}

}  // namespace

Runner AddScan(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "scan",
      "Find the meters on the bus: --primary tries each primary address, --secondary finds "
      "every meter by its identification number (wildcard selection, narrowed digit by digit "
      "where several answer). Each found meter is read for its identity. Ctrl-C stops and "
      "prints what was found.");
  auto o = std::make_shared<ScanOptions>();
  AddLineOptions(*cmd, o->line, false);
  auto* primary = cmd->add_flag("--primary", o->primary, "Scan primary addresses (default)");
  auto* secondary = cmd->add_flag("--secondary", o->secondary, "Search by identification number");
  primary->excludes(secondary);
  cmd->add_option("--range", o->range, "Primary addresses A-B to try (default 0-250)")
      ->check(CLI::Validator(CheckRange, "A-B"));
  cmd->add_option("--pattern", o->pattern,
                  "Identification numbers to search: 8 characters, a digit or F for any digit "
                  "(default FFFFFFFF: all)")
      ->check(CLI::Validator(CheckPattern, "PATTERN"));
  cmd->add_flag("--json", o->json,
                "One JSON object per meter and line: primaryAddress (-1 when found by number), "
                "identNumber, manufacturer, version, medium");
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(o->line);
    BusScanner scanner(host.Events(), host.control().MSC_port());
    const bool tty = isatty(STDERR_FILENO) != 0;
    if (!o->json) {
      std::printf("%-8s %-10s %-4s %-7s %-6s\n", "primary", "ident", "man", "version", "medium");
    }
    scanner.SetFoundCallback([&](const FoundMeter& m) {
      if (tty) std::cerr << "\r\033[K";
      if (o->json) {
        std::cout << ToJsonLine(MeterJson(m)) << std::endl;
      } else {
        PrintMeter(m);
        std::fflush(stdout);
      }
    });
    if (tty) {
      scanner.SetProgressCallback([](int done, int total) {
        if (total > 0) {
          std::cerr << "\r\033[K" << done << "/" << total << " addresses" << std::flush;
        } else {
          std::cerr << "\r\033[K" << done << " probes" << std::flush;
        }
      });
    }
    g_scanner = &scanner;
    std::signal(SIGINT, StopScan);
    std::vector<FoundMeter> found;
    try {
      if (o->secondary) {
        found = scanner.SearchSecondary(o->pattern);
      } else {
        int first = 0, last = 250;
        std::sscanf(o->range.c_str(), "%d-%d", &first, &last);
        found = scanner.ScanPrimary(first, last);
      }
    } catch (const PortError&) {
      g_scanner = nullptr;
      if (host.PortFailure().empty()) throw;
      std::cerr << "Error: " << host.PortFailure() << '\n';
      return kExitError;
    }
    g_scanner = nullptr;
    std::signal(SIGINT, SIG_DFL);
    if (tty) std::cerr << "\r\033[K";
    std::cerr << found.size() << (found.size() == 1 ? " meter" : " meters") << " found in "
              << scanner.Probes() << " probes\n";
    return kExitOk;
  };
}

}  // namespace velmar::tools
