#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "cli_host.hpp"
#include "commands.hpp"
#include "core/text.hpp"
#include "input_checks.hpp"
#include "tcp_server.hpp"

namespace velmar::tools {
namespace {

const std::map<std::string, sim::FaultKind> kFaults = {
    {"none", sim::FaultKind::kNone},
    {"silence", sim::FaultKind::kSilence},
    {"delay", sim::FaultKind::kDelay},
    {"trickle", sim::FaultKind::kTrickle},
    {"checksum", sim::FaultKind::kBadChecksum},
    {"start", sim::FaultKind::kBadStart},
    {"stop", sim::FaultKind::kBadStop},
    {"control", sim::FaultKind::kBadControl},
    {"ci", sim::FaultKind::kBadCi},
    {"length", sim::FaultKind::kLongLength},
    {"block-type", sim::FaultKind::kBadBlockType},
    {"nack", sim::FaultKind::kNack},
    {"garbage", sim::FaultKind::kGarbage},
    {"extra", sim::FaultKind::kExtraBytes},
    {"confirm-status", sim::FaultKind::kConfirmStatus}};

// Whole decimal number, or an ArgumentError naming what it was meant to be.
int NumberOf(const std::string& text, const std::string& what) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    throw ArgumentError(what + ": \"" + Shown(text) + "\" is not a whole number");
  }
  return value;
}

sim::Fault ParseFault(const std::string& text) {
  const auto colon = text.find(':');
  const std::string name = text.substr(0, colon);
  auto it = kFaults.find(name);
  if (it == kFaults.end()) throw ArgumentError("unknown fault \"" + Shown(name) + "\"");
  sim::Fault f{it->second, 0};
  if (colon != std::string::npos) f.value = NumberOf(text.substr(colon + 1), "fault " + name);
  return f;
}

// Rejects a bad --fault while the command line is parsed, so it is a usage error.
std::string CheckFault(const std::string& text) {
  try {
    ParseFault(text);
    return {};
  } catch (const ArgumentError& e) {
    return e.what();
  }
}

int InRange(const std::string& text, const std::string& what, int low, int high) {
  const int value = NumberOf(text, what);
  if (value < low || value > high) {
    throw ArgumentError(what + ": " + std::to_string(value) + " is not " + std::to_string(low) +
                        "-" + std::to_string(high));
  }
  return value;
}

// The energy register goes out as a 4-byte integer of 10 Wh.
double EnergyOf(const std::string& text, const std::string& what) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !(value >= 0 && value <= 21474836.47)) {
    throw ArgumentError(what + ": \"" + Shown(text) +
                        "\" is not an energy from 0 to 21474836.47 kWh");
  }
  return value;
}

std::string LettersOf(const std::string& text, const std::string& what) {
  const bool ok = text.size() == 3 && std::all_of(text.begin(), text.end(),
                                                  [](char c) { return c >= 'A' && c <= 'Z'; });
  if (!ok) throw ArgumentError(what + ": \"" + Shown(text) + "\" is not three letters A-Z");
  return text;
}

std::string TextOf(const std::string& text, const std::string& what, std::size_t longest,
                   bool may_be_empty) {
  if ((text.empty() && !may_be_empty) || text.size() > longest) {
    throw ArgumentError(what + ": \"" + Shown(text) + "\" must be 1 to " + std::to_string(longest) +
                        " characters");
  }
  return text;
}

std::string ClockOf(const std::string& text, const std::string& what) {
  std::string why;
  if (!ParseMeterClockText(text, why)) {
    throw ArgumentError(what + ": " + why + "; give YYMMDDhhmmss, for example 261205143000");
  }
  return text;
}

// A config file of "key = value" lines sets the meter's values. Every value is checked as it is
// read, with the file and line in the message, so a bad file never starts a meter.
constexpr std::uintmax_t kMaxConfigBytes = 64 * 1024;

void LoadConfig(const std::string& path, sim::MeterConfig& c) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) throw Error("cannot read simulator config " + path + ": " + ec.message());
  if (size > kMaxConfigBytes) {
    throw Error("simulator config " + path +
                " is larger than 64 KiB; it holds a few key = value lines");
  }
  std::ifstream in(path);
  if (!in) throw Error("cannot read simulator config " + path);
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    const std::string trimmed(Trim(line));
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const std::string at = path + ":" + std::to_string(line_no);
    const auto eq = trimmed.find('=');
    if (eq == std::string::npos) throw ArgumentError(at + ": no '=' (lines are key = value)");
    const std::string key(Trim(trimmed.substr(0, eq))), value(Trim(trimmed.substr(eq + 1)));
    const std::string where = at + ": " + key;
    if (key == "id") {
      c.identNumber = InRange(value, where, 0, 99999999);
    } else if (key == "address") {
      c.primaryAddress = static_cast<std::uint8_t>(InRange(value, where, 0, 250));
    } else if (key == "manufacturer") {
      c.manufacturer = LettersOf(value, where);
    } else if (key == "password") {
      c.password = TextOf(value, where, 8, false);
    } else if (key == "energy") {
      c.energyTotalKwh = EnergyOf(value, where);
    } else if (key == "datetime") {
      c.dateTime = ClockOf(value, where);
    } else if (key == "status") {
      c.status = static_cast<std::uint8_t>(InRange(value, where, 0, 255));
    } else if (key == "firmware") {
      c.firmware = TextOf(value, where, 10, true);
    } else if (key == "delay") {
      c.responseDelayMs = InRange(value, where, 0, 60000);
    } else {
      throw ArgumentError(at + ": unknown key \"" + Shown(key) +
                          "\"; the keys are id, address, manufacturer, password, energy, "
                          "datetime, status, firmware, delay");
    }
  }
}

}  // namespace

Runner AddSimulate(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "simulate",
      "Run a simulated meter on a pseudo-terminal (or a TCP port) until interrupted; the first "
      "line of output is the device path (or 127.0.0.1:PORT) to connect to");
  auto speed = std::make_shared<int>(2400);
  auto config = std::make_shared<sim::MeterConfig>();
  auto file = std::make_shared<std::string>();
  auto faults = std::make_shared<std::vector<std::string>>();
  auto id = std::make_shared<int>(config->identNumber);
  auto address = std::make_shared<int>(config->primaryAddress);
  auto tcp = std::make_shared<int>(-1);
  cmd->footer(
      "Exit status: 0 stopped by SIGINT or SIGTERM; 1 a configuration file that cannot be\n"
      "read or holds a bad value; 2 usage error.");
  cmd->add_option("--speed", *speed, "Baud rate the meter paces its answers at")
      ->check(CLI::Validator([](const std::string& t) { return CheckSpeed(t); }, "BAUD"));
  cmd->add_option("--tcp", *tcp, "Serve on 127.0.0.1:PORT instead of a pseudo-terminal (0: any)")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--config", *file, "File of key = value lines (id, address, password, ...)")
      ->check(CLI::ExistingFile);
  cmd->add_option("--id", *id, "Identification number (8 digits)")->check(CLI::Range(0, 99999999));
  cmd->add_option("--primary", *address, "Primary address")->check(CLI::Range(0, 250));
  cmd->add_option("--password", config->password, "Meter password (up to 8 characters)")
      ->check(CLI::Validator([](const std::string& t) { return CheckPassword(t); }, "PASSWORD"));
  cmd->add_option("--fault", *faults,
                  "Fault for the next exchange, in order: none (answer as usual), silence, "
                  "delay:MS, trickle, checksum, "
                  "start, stop, control, ci, length, block-type, nack, garbage, extra, "
                  "confirm-status:N")
      ->check(CLI::Validator(CheckFault, "FAULT[:N]"));
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    config->identNumber = *id;
    config->primaryAddress = static_cast<std::uint8_t>(*address);
    if (!file->empty()) LoadConfig(*file, *config);
    // Interrupts are taken by sigwait below; blocked before the server thread starts, so the
    // thread inherits the mask and never takes them itself.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    sim::SimMeter meter(*config);
    for (const auto& f : *faults) meter.InjectFault(ParseFault(f));
    std::unique_ptr<sim::StreamMeterServer> server;
    if (*tcp >= 0) {
      auto s =
          std::make_unique<sim::TcpMeterServer>(meter, static_cast<std::uint16_t>(*tcp), *speed);
      std::cout << "127.0.0.1:" << s->Port() << std::endl;
      server = std::move(s);
    } else {
      auto s = std::make_unique<sim::PtyMeterServer>(meter, *speed);
      std::cout << s->DevicePath() << std::endl;
      server = std::move(s);
    }
    int signal = 0;
    sigwait(&stop_signals, &signal);
    return kExitOk;
  };
}

}  // namespace velmar::tools
