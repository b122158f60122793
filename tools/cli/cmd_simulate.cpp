#include <pthread.h>
#include <cstdio>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "cli_host.hpp"
#include "commands.hpp"
#include "input_checks.hpp"
#include "keys_file.hpp"
#include "radio_source.hpp"
#include "radio_stick.hpp"
#include "sim_config.hpp"
#include "tcp_server.hpp"

namespace velmar::tools {
namespace {

// Rejects a bad --fault while the command line is parsed, so it is a usage error.
std::string CheckFault(const std::string& text) {
  try {
    ParseFault(text);
    return {};
  } catch (const ArgumentError& e) {
    return e.what();
  }
}

std::string CheckBurst(const std::string& text) {
  int bytes = 0, ms = 0, used = 0;
  const bool ok = std::sscanf(text.c_str(), "%d:%d%n", &bytes, &ms, &used) == 2 &&
                  static_cast<std::size_t>(used) == text.size() && bytes >= 1 && bytes <= 255 &&
                  ms >= 0 && ms <= 10000;
  return ok ? std::string() : "\"" + Shown(text) + "\" is not BYTES:MS (1-255 bytes, 0-10000 ms)";
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
  auto* id_option = cmd->add_option("--id", *id,
                                    "Identification number (8 digits); with --meters, the first "
                                    "meter's, the others counted up from it")
                        ->check(CLI::Range(0, 99999999));
  cmd->add_option("--primary", *address, "Primary address")->check(CLI::Range(0, 250));
  auto count = std::make_shared<int>(1);
  cmd->add_option("--meters", *count,
                  "A bus of N meters (1-250) at primary addresses 1 to N, identification numbers "
                  "12345600, 12345603, ... (three apart: they share their first digits), or --id "
                  "and on; faults go to the first meter")
      ->check(CLI::Range(1, 250));
  cmd->add_option("--password", config->password, "Meter password (up to 8 characters)")
      ->check(CLI::Validator([](const std::string& t) { return CheckPassword(t); }, "PASSWORD"));
  cmd->add_option("--fault", *faults,
                  "Fault for the next exchange, in order: none (answer as usual), silence, "
                  "delay:MS, trickle, checksum, "
                  "start, stop, control, ci, length, block-type, nack, garbage, extra, "
                  "confirm-status:N")
      ->check(CLI::Validator(CheckFault, "FAULT[:N]"));
  cmd->add_option("--telegrams", config->telegrams,
                  "Spread the readout over N telegrams (1-4), all but the last announcing more")
      ->check(CLI::Range(1, 4));
  auto line = std::make_shared<sim::LineBehaviour>();
  cmd->add_flag("--echo", line->echo,
                "Echo every frame the master sends, as some level converters do");
  auto burst = std::make_shared<std::string>();
  cmd->add_option("--burst", *burst,
                  "Deliver the meters' bytes in bursts of BYTES with MS of silence between, as "
                  "a network gateway does (e.g. 16:250)")
      ->check(CLI::Validator(CheckBurst, "BYTES:MS"));
  auto stick = std::make_shared<StickOptions>();
  auto receiver = std::make_shared<std::string>();
  auto radio_key = std::make_shared<std::string>("000102030405060708090A0B0C0D0E0F");
  auto rate = std::make_shared<double>(2.0);
  cmd->add_option("--receiver", *receiver,
                  "Play a radio receiver instead of a wired meter: im871a, amb8465, cul (a CUL "
                  "running culfw), hex (hex lines, as software radios print them) or rtl433 "
                  "(rtl_433's JSON lines on standard output, to be run by velmar listen "
                  "--receiver rtl433 --device \"velmar simulate --receiver rtl433 ...\"); a stick "
                  "answers its configuration command and passes on the telegrams of "
                  "--wireless-meters meters")
      ->check(CLI::IsMember(ReceiverNames()))
      ->excludes("--meters", "--config", "--fault", "--speed");
  cmd->add_option("--wireless-meters", stick->meters,
                  "Wireless meters 70000001 .. 7000000N (1-9999) taking turns: water, heat, gas, "
                  "electricity; in turn plain, security mode 5, mode 7, and mode 5 under another "
                  "key; one telegram in seven damaged on the air")
      ->check(CLI::Range(1, 9999))
      ->needs("--receiver");
  cmd->add_option("--key", *radio_key, "The wireless meters' AES-128 key, 32 hex digits")
      ->check([](const std::string& k) {
        return ParseMeterKey(k) ? std::string() : "give the key as 32 hex digits";
      })
      ->needs("--receiver")
      ->capture_default_str();
  cmd->add_option("--rate", *rate, "Telegrams per second the stick passes on (0.1-1000)")
      ->check([](const std::string& text) -> std::string {
        // Not a number (nan) passes every range comparison: it is refused by name.
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        return end != text.c_str() && *end == '\0' && std::isfinite(v) && v >= 0.1 && v <= 1000
                   ? std::string()
                   : "the rate is a number of telegrams per second from 0.1 to 1000";
      })
      ->needs("--receiver")
      ->capture_default_str();
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    if (!receiver->empty()) {
      stick->rtl433 = IsRtl433(*receiver);
      stick->kind = ReceiverByName(*receiver).value_or(ReceiverKind::kHex);
      stick->key = *ParseMeterKey(*radio_key);
      stick->intervalMs = std::max(1, static_cast<int>(1000.0 / *rate));
      stick->tcpPort = *tcp;
      return RunSimulatedStick(*stick);
    }
    if (!burst->empty()) std::sscanf(burst->c_str(), "%d:%d", &line->burstBytes, &line->burstGapMs);
    config->identNumber = *id;
    config->primaryAddress = static_cast<std::uint8_t>(*address);
    if (id_option->count() > 0 && *id + *count - 1 > 99999999) {
      std::cerr << "Error: --id " << *id << " and --meters " << *count
                << " run past 99999999: give a lower --id\n";
      return kExitUsage;
    }
    if (!file->empty()) LoadMeterConfig(*file, *config);
    // Interrupts are taken by sigwait below; blocked before the server thread starts, so the
    // thread inherits the mask and never takes them itself.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::vector<std::unique_ptr<sim::SimMeter>> bus;
    for (int i = 0; i < *count; ++i) {
      sim::MeterConfig c = *config;
      if (*count > 1) {
        c.primaryAddress = static_cast<std::uint8_t>(i + 1);
        c.identNumber = id_option->count() > 0 ? *id + i : 12345600 + 3 * i;
      }
      bus.push_back(std::make_unique<sim::SimMeter>(c));
    }
    std::vector<sim::SimMeter*> meters;
    for (auto& m : bus) meters.push_back(m.get());
    for (const auto& f : *faults) bus.front()->InjectFault(ParseFault(f));
    std::unique_ptr<sim::StreamMeterServer> server;
    if (*tcp >= 0) {
      auto s =
          std::make_unique<sim::TcpMeterServer>(meters, static_cast<std::uint16_t>(*tcp), *speed);
      std::cout << "127.0.0.1:" << s->Port() << std::endl;
      server = std::move(s);
    } else {
      auto s = std::make_unique<sim::PtyMeterServer>(meters, *speed);
      std::cout << s->DevicePath() << std::endl;
      server = std::move(s);
    }
    server->SetLine(*line);
    int signal = 0;
    sigwait(&stop_signals, &signal);
    return kExitOk;
  };
}

}  // namespace velmar::tools
