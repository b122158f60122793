#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "cli_host.hpp"
#include "commands.hpp"

namespace velmar::tools {
namespace {

volatile std::sig_atomic_t g_stop = 0;

const std::map<std::string, sim::FaultKind> kFaults = {
    {"silence", sim::FaultKind::kSilence},    {"delay", sim::FaultKind::kDelay},
    {"trickle", sim::FaultKind::kTrickle},    {"checksum", sim::FaultKind::kBadChecksum},
    {"start", sim::FaultKind::kBadStart},     {"stop", sim::FaultKind::kBadStop},
    {"control", sim::FaultKind::kBadControl}, {"ci", sim::FaultKind::kBadCi},
    {"length", sim::FaultKind::kLongLength},  {"block-type", sim::FaultKind::kBadBlockType},
    {"nack", sim::FaultKind::kNack},          {"garbage", sim::FaultKind::kGarbage},
    {"extra", sim::FaultKind::kExtraBytes},   {"confirm-status", sim::FaultKind::kConfirmStatus}};

sim::Fault ParseFault(const std::string& text) {
  const auto colon = text.find(':');
  const std::string name = text.substr(0, colon);
  auto it = kFaults.find(name);
  if (it == kFaults.end()) throw ArgumentError("unknown fault \"" + name + "\"");
  sim::Fault f{it->second, 0};
  if (colon != std::string::npos) f.value = std::stoi(text.substr(colon + 1));
  return f;
}

// A config file of "key = value" lines sets the meter's values.
void LoadConfig(const std::string& path, sim::MeterConfig& c) {
  std::ifstream in(path);
  if (!in) throw Error("cannot read simulator config " + path);
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t\r") + 1);
      return s;
    };
    if (eq == std::string::npos)
      throw ArgumentError(path + ":" + std::to_string(line_no) + ": no '='");
    const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "id")
      c.identNumber = std::stoi(value);
    else if (key == "address")
      c.primaryAddress = static_cast<std::uint8_t>(std::stoi(value));
    else if (key == "manufacturer")
      c.manufacturer = value;
    else if (key == "password")
      c.password = value;
    else if (key == "energy")
      c.energyTotalKwh = std::stod(value);
    else if (key == "datetime")
      c.dateTime = value;
    else if (key == "status")
      c.status = static_cast<std::uint8_t>(std::stoi(value));
    else if (key == "firmware")
      c.firmware = value;
    else if (key == "delay")
      c.responseDelayMs = std::stoi(value);
    else
      throw ArgumentError(path + ":" + std::to_string(line_no) + ": unknown key \"" + key + "\"");
  }
}

}  // namespace

Runner AddSimulate(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "simulate", "Run a simulated meter on a pseudo-terminal; prints its device path first");
  auto speed = std::make_shared<int>(2400);
  auto config = std::make_shared<sim::MeterConfig>();
  auto file = std::make_shared<std::string>();
  auto faults = std::make_shared<std::vector<std::string>>();
  auto id = std::make_shared<int>(config->identNumber);
  auto address = std::make_shared<int>(config->primaryAddress);
  cmd->add_option("--speed", *speed, "Baud rate the meter paces its answers at");
  cmd->add_option("--config", *file, "File of key = value lines (id, address, password, ...)");
  cmd->add_option("--id", *id, "Identification number (8 digits)");
  cmd->add_option("--primary", *address, "Primary address")->check(CLI::Range(0, 250));
  cmd->add_option("--password", config->password, "Meter password");
  cmd->add_option("--fault", *faults,
                  "Fault for the next exchange, in order: silence, delay:MS, trickle, checksum, "
                  "start, stop, control, ci, length, block-type, nack, garbage, extra, "
                  "confirm-status:N");
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    config->identNumber = *id;
    config->primaryAddress = static_cast<std::uint8_t>(*address);
    if (!file->empty()) LoadConfig(*file, *config);
    sim::SimMeter meter(*config);
    for (const auto& f : *faults) meter.InjectFault(ParseFault(f));
    sim::PtyMeterServer server(meter, *speed);
    std::cout << server.DevicePath() << std::endl;
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return kExitOk;
  };
}

}  // namespace velmar::tools
