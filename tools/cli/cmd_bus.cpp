// The bus master's own commands: set a meter's primary address or speed, reset a meter, send a
// raw frame. Each goes through velmar::Bus; bad input is refused before anything is sent.
#include <iostream>
#include <string>

#include "cli_host.hpp"
#include "commands.hpp"
#include "decode_json.hpp"
#include "input_checks.hpp"
#include "records_json.hpp"
#include "velmar/bus.hpp"
#include "velmar/hex.hpp"
#include "velmar/records.hpp"
#include "velmar/scan.hpp"

namespace velmar::tools {
namespace {

constexpr const char* kBusExitHelp =
    "Exit status: 0 done; 1 the meter refused or answered wrongly, or the port failed; 2 usage "
    "error (nothing sent); 3 no reply";

std::string CheckNewAddress(const std::string& t) {
  const std::string why = CheckAddress(t);
  if (!why.empty() || std::stoi(t) > 250) {
    return "\"" + Shown(t) + "\" is not a primary address a meter can take: use 0-250";
  }
  return {};
}

std::string CheckBaud(const std::string& t) {
  for (const char* s : {"300", "600", "1200", "2400", "4800", "9600", "19200", "38400"}) {
    if (t == s) return {};
  }
  return "\"" + Shown(t) +
         "\" is not a speed a meter switches to: use 300, 600, 1200, 2400, "
         "4800, 9600, 19200 or 38400";
}

std::string CheckSubcode(const std::string& t) {
  const bool digits =
      !t.empty() && t.size() <= 3 && t.find_first_not_of("0123456789") == std::string::npos;
  if (digits && std::stoi(t) <= 255) return {};
  return "\"" + Shown(t) + "\" is not a subcode: use 0-255";
}

std::string CheckHexFrame(const std::string& t) {
  if (ParseHex(t)) return {};
  return "\"" + Shown(t) +
         "\" is not hexadecimal bytes (pairs of digits 0-9, A-F; blanks "
         "between bytes allowed)";
}

// One line for a result; the exit status for it.
int Finish(Status r, Bus& bus, const std::string& done) {
  if (r == Status::kOk) {
    std::cout << done << '\n';
    return kExitOk;
  }
  std::cerr << "Error: "
            << (r == Status::kPortError ? bus.PortFailure() : std::string(StatusText(r))) << '\n';
  return r == Status::kNoReply ? kExitNoReply : kExitError;
}

CLI::App* BusCommand(CLI::App& app, const char* name, const char* help, LineOptions& o) {
  auto* cmd = app.add_subcommand(name, help);
  AddLineOptions(*cmd, o, true, true);
  AddBusOptions(*cmd, o);
  cmd->footer(kBusExitHelp);
  return cmd;
}

Runner AddSetAddress(CLI::App& app) {
  auto o = std::make_shared<LineOptions>();
  auto next = std::make_shared<std::string>();
  auto force = std::make_shared<bool>(false);
  auto* cmd = BusCommand(app, "set-address",
                         "Give the meter at --address the primary address NEW (0-250); refused "
                         "when another meter already answers at NEW, unless --force",
                         *o);
  cmd->add_option("NEW", *next, "The new primary address, 0-250")
      ->required()
      ->check(CLI::Validator(CheckNewAddress, "NEW"));
  cmd->add_flag("--force", *force, "Set it even when a meter answers at NEW already");
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(*o);
    Bus& bus = host.bus();
    const Address from = *Address::Parse(o->address);
    const auto to = static_cast<std::uint8_t>(std::stoi(*next));
    if (!*force && (from.secondary || from.primary != to)) {
      bool taken = false;
      try {
        taken = BusScanner(bus).Occupied(to);
      } catch (const PortError&) {
        return Finish(Status::kPortError, bus, "");
      }
      if (taken) {
        std::cerr << "Error: a meter already answers at primary address " << int{to}
                  << "; nothing was changed (give --force to set it anyway)\n";
        return kExitError;
      }
    }
    return Finish(
        bus.SetPrimaryAddress(from, to), bus,
        "The meter at " + from.Text() + " now answers at primary address " + std::to_string(to));
  };
}

Runner AddSetSpeed(CLI::App& app) {
  auto o = std::make_shared<LineOptions>();
  auto baud = std::make_shared<std::string>();
  auto* cmd = BusCommand(app, "set-speed",
                         "Switch the meter at --address to BAUD; it acknowledges at the current "
                         "--speed, then a link reset at BAUD confirms",
                         *o);
  cmd->add_option("BAUD", *baud, "300, 600, 1200, 2400, 4800, 9600, 19200 or 38400")
      ->required()
      ->check(CLI::Validator(CheckBaud, "BAUD"));
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(*o);
    Bus& bus = host.bus();
    const Status r = bus.SetBaudRate(*Address::Parse(o->address), std::stoi(*baud));
    return Finish(
        r, bus,
        "The meter answers at " + *baud + " baud now (use --speed " + *baud + " from here on)");
  };
}

Runner AddReset(CLI::App& app) {
  auto o = std::make_shared<LineOptions>();
  auto application = std::make_shared<std::vector<std::string>>();
  auto* cmd = BusCommand(app, "reset",
                         "Reset the meter's link (SND_NKE), or with --application its "
                         "application (CI 0x50, with SUBCODE 0-255 when given)",
                         *o);
  auto* app_opt = cmd->add_option("--application", *application,
                                  "An application reset, optionally with its subcode 0-255")
                      ->expected(0, 1)
                      ->check(CLI::Validator(CheckSubcode, "SUBCODE"));
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(*o);
    Bus& bus = host.bus();
    const Address a = *Address::Parse(o->address);
    if (app_opt->count() == 0) return Finish(bus.Reset(a), bus, "Link reset acknowledged");
    std::optional<std::uint8_t> sub;
    if (!application->empty() && !application->front().empty()) {
      sub = static_cast<std::uint8_t>(std::stoi(application->front()));
    }
    return Finish(bus.ApplicationReset(a, sub), bus, "Application reset acknowledged");
  };
}

Runner AddSend(CLI::App& app) {
  auto o = std::make_shared<LineOptions>();
  auto hex = std::make_shared<std::string>();
  auto* cmd = BusCommand(app, "send",
                         "Send one frame as given (hex) and print what came back as hex; an "
                         "RSP_UD also as its records (one JSON line)",
                         *o);
  cmd->add_option("HEX", *hex, "The frame, e.g. \"10 5B FE 59 16\"")
      ->required()
      ->check(CLI::Validator(CheckHexFrame, "HEX"));
  return [=]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(*o);
    Bus& bus = host.bus();
    const RawReply reply = bus.SendRaw(*ParseHex(*hex));
    if (reply.result == Status::kPortError) return Finish(reply.result, bus, "");
    if (reply.bytes.empty()) return Finish(Status::kNoReply, bus, "");
    std::cout << HexText(reply.bytes) << '\n';
    DecodedTelegram t;
    if (reply.bytes.size() > 1 && DecodeTelegram(reply.bytes, t) == 0) {
      std::cout << ToJsonLine(RecordsJson(t)) << '\n';
    }
    if (reply.result != Status::kOk) {
      std::cerr << "Error: " << StatusText(reply.result) << '\n';
      return kExitError;
    }
    return kExitOk;
  };
}

}  // namespace

Runner AddBusCommands(CLI::App& app) {
  std::vector<Runner> runners = {AddSetAddress(app), AddSetSpeed(app), AddReset(app), AddSend(app)};
  return [runners]() -> int {
    for (const Runner& r : runners) {
      const int status = r();
      if (status >= 0) return status;
    }
    return -1;
  };
}

}  // namespace velmar::tools
