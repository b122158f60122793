// velmar scan: the meters on a bus, by primary address or by identification number.
#include <unistd.h>

#include <algorithm>
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

std::string CheckRange(const std::string& text) {
  int first = -1, last = -1, used = 0;
  char dash = 0;
  const bool parsed = std::sscanf(text.c_str(), "%d%c%d%n", &first, &dash, &last, &used) == 3 &&
                      static_cast<std::size_t>(used) == text.size();
  if (!parsed || dash != '-' || first < 0 || last > 250 || first > last) {
    std::string why = "\"";
    why += Shown(text);
    why += "\" is not a range A-B within 0-250 (A not above B)";
    return why;
  }
  return {};
}

std::string CheckPattern(const std::string& text) {
  std::string why;
  if (SearchPattern::Parse(text, &why)) return {};
  return "\"" + Shown(text) + "\": " + why;
}

nlohmann::ordered_json MeterJson(const FoundMeter& m) {
  nlohmann::ordered_json j;
  j["primaryAddress"] = m.primaryAddress;
  j["identNumber"] = m.identKnown ? nlohmann::ordered_json(m.identNumber) : nullptr;
  const bool read = m.readable && !m.collision;
  j["manufacturer"] = read ? nlohmann::ordered_json(std::string(m.manufacturer.data())) : nullptr;
  j["version"] = read ? nlohmann::ordered_json(m.version) : nullptr;
  j["medium"] = read ? nlohmann::ordered_json(m.medium) : nullptr;
  if (m.collision) j["collision"] = true;
  if (!m.readable && !m.collision) j["readable"] = false;
  return j;
}

void PrintMeter(const FoundMeter& m) {
  const std::string primary = m.primaryAddress >= 0 ? std::to_string(m.primaryAddress) : "-";
  if (m.collision) {
    const std::string ident = m.primaryAddress >= 0 ? "?" : IdentNumberText(m.identNumber);
    std::printf("%-8s %-10s %-4s %-7s %-6s %s\n", primary.c_str(), ident.c_str(), "?", "?", "?",
                "collision: several meters answered at once (not counted, not read)");
    return;
  }
  if (!m.readable) {
    const std::string ident = m.identKnown ? IdentNumberText(m.identNumber) : "?";
    std::printf("%-8s %-10s %-4s %-7s %-6s %s\n", primary.c_str(), ident.c_str(), "?", "?", "?",
                "acknowledged, but its data could not be read");
    return;
  }
  std::printf("%-8s %-10s %-4s %-7u %-6u\n", primary.c_str(),
              IdentNumberText(m.identNumber).c_str(), m.manufacturer.data(), m.version, m.medium);
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
  AddBusOptions(*cmd, o->line, 0);
  auto* primary = cmd->add_flag("--primary", o->primary, "Scan primary addresses (default)");
  auto* secondary = cmd->add_flag("--secondary", o->secondary, "Search by identification number");
  primary->excludes(secondary);
  auto* range = cmd->add_option("--range", o->range, "Primary addresses A-B to try (default 0-250)")
                    ->check(CLI::Validator(CheckRange, "A-B"));
  auto* pattern =
      cmd->add_option("--pattern", o->pattern,
                      "Meters to search for: 8 characters, a digit or F for any digit (default "
                      "FFFFFFFF: all), optionally ,MAN,VV,MM for manufacturer, version and "
                      "medium (hex), * for any: 1234FFFF,KAM,*,07")
          ->check(CLI::Validator(CheckPattern, "PATTERN"));
  range->excludes(secondary);
  pattern->excludes(primary);
  pattern->excludes(range);
  cmd->add_flag("--json", o->json,
                "One JSON object per meter and line: primaryAddress (-1 when found by number), "
                "identNumber, manufacturer, version, medium (null where not known); \"collision\": "
                "true where several "
                "meters answered at once, \"readable\": false for a meter whose data could not "
                "be read");
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(o->line);
    BusScanner scanner(host.bus());
    const bool tty = isatty(STDERR_FILENO) != 0;
    if (!o->json) {
      std::printf("%-8s %-10s %-4s %-7s %-6s\n", "primary", "ident", "man", "version", "medium");
    }
    int found_so_far = 0;
    scanner.SetFoundCallback([&](const FoundMeter& m) {
      ++found_so_far;
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
    // Ctrl-C (or SIGTERM, SIGHUP) ends the scan at once, in the middle of a probe's wait: the
    // meters found so far are already printed, the count of them follows, and the port is
    // given its settings back before the process ends with 128 + the signal.
    std::vector<FoundMeter> found;
    try {
      if (o->secondary) {
        found = scanner.SearchSecondary(*SearchPattern::Parse(o->pattern));
      } else {
        int first = 0, last = 250;
        std::sscanf(o->range.c_str(), "%d-%d", &first, &last);
        found = scanner.ScanPrimary(first, last);
      }
    } catch (const PortError& e) {
      std::cerr << "Error: " << e.what() << '\n';
      return kExitError;
    } catch (const Interrupted&) {
      if (tty) std::cerr << "\r\033[K";
      std::cerr << found_so_far << (found_so_far == 1 ? " meter" : " meters")
                << " found before the scan was stopped, in " << scanner.Probes() << " probes\n";
      throw;
    }
    if (tty) std::cerr << "\r\033[K";
    const auto meters =
        std::count_if(found.begin(), found.end(), [](const FoundMeter& m) { return !m.collision; });
    const auto collisions = static_cast<long>(found.size()) - meters;
    std::cerr << meters << (meters == 1 ? " meter" : " meters") << " found in " << scanner.Probes()
              << " probes";
    if (collisions > 0)
      std::cerr << "; " << collisions << " collision" << (collisions == 1 ? "" : "s");
    std::cerr << '\n';
    return kExitOk;
  };
}

}  // namespace velmar::tools
