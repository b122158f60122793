#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_host.hpp"
#include "commands.hpp"
#include "decode_json.hpp"
#include "link/reply_check.hpp"
#include "meter_read.hpp"
#include "records_json.hpp"
#include "velmar/records.hpp"

namespace velmar::tools {
namespace {

std::string StatusText(Velmar& v) {
  std::string text = v.MeterErrorString().ToText();
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    std::string line = text.substr(at, end - at);
    if (!line.empty()) out += (out.empty() ? "" : ", ") + line;
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return out.empty() ? "no errors" : out;
}

void PrintTable(Velmar& v) {
  auto row = [](const char* name, const std::string& value) {
    std::printf("%-18s %s\n", name, value.c_str());
  };
  char buf[64];
  row("Meter ID", v.MeterID().ToText());
  row("Manufacturer", v.Manufacturer().ToText());
  row("Version", v.protocolVersion().ToText());
  row("Primary address", v.PrimaryAddress().ToText());
  row("Status", v.MeterErrorCode().ToText() + " (" + StatusText(v) + ")");
  std::snprintf(buf, sizeof buf, "%.2f kWh", v.ActiveEnergyTotal().ToDouble());
  row("Energy total", buf);
  for (std::int16_t t = 1; t <= 4; ++t) {
    const Variant e = v.ActiveEnergy(t);
    std::snprintf(buf, sizeof buf, "%.2f kWh", e.IsText() ? 0.0 : e.ToDouble());
    row(("  tariff " + std::to_string(t)).c_str(), e.IsText() ? e.ToText() : std::string(buf));
  }
  row("Transformer ratio", v.TransformerRatio().ToText());
  row("Active tariff", v.activeTariff().ToText());
  row("Power failures", v.powerFailCount().ToText());
  std::snprintf(buf, sizeof buf, "0x%08X 0x%08X", static_cast<unsigned>(v.errorFlagsHigh()),
                static_cast<unsigned>(v.errorFlags().ToInt32()));
  row("Error flags", buf);
  const std::string date = v.MeterDate();
  row("Date (YYMMDD)", date.empty() ? "-" : date);
  row("Time", v.MeterTime().empty() ? "-" : v.MeterTime());
  std::string relays;
  for (std::int16_t r = 0; r <= 5; ++r) {
    const int s = v.getRelayState(r);
    relays += std::to_string(r) + ":" + (s == 1 ? "on" : s == 0 ? "off" : "-") + " ";
  }
  row("Relays", relays);
}

std::string ShortNumber(double v) {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::string(buf, end);
}

void PrintRecords(const DecodedTelegram& t) {
  std::printf("\n%-3s %-8s %-6s %-7s %-14s %-26s %s\n", "#", "storage", "tariff", "subunit",
              "function", "quantity", "value");
  int n = 0;
  for (const DataRecord& r : t.records) {
    const std::string value = r.kind == ValueKind::kNumber ? ShortNumber(r.value) : ValueText(r);
    std::printf("%-3d %-8llu %-6u %-7u %-14s %-26s %s %s\n", ++n,
                static_cast<unsigned long long>(r.storage), r.tariff, r.subunit,
                std::string(FunctionName(r.function)).c_str(), std::string(r.quantity).c_str(),
                value.c_str(), UnitText(r).c_str());
  }
  if (!t.error.empty()) std::printf("(%s)\n", t.error.c_str());
}

}  // namespace

Runner AddRead(CLI::App& app) {
  auto* cmd = app.add_subcommand("read", "Read the meter and print its values");
  auto options = std::make_shared<LineOptions>();
  auto json = std::make_shared<bool>(false);
  AddLineOptions(*cmd, *options, true, true);
  cmd->add_flag("--json", *json, "Print one JSON object keyed by the control's member names");
  auto records = std::make_shared<bool>(false);
  cmd->add_flag("--records", *records,
                "Also decode the reply with the standard EN 13757-3 record decoder: a record "
                "list (JSON key records) that reads any maker's meter");
  return [cmd, options, json, records]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(*options);
    Velmar& v = host.control();
    const long address = std::stol(options->address);
    MeterRead read;
    try {
      read = ReadMeter(v, host.Events(), options->address,
                       options->trace ? StderrTrace() : TraceCallback{});
    } catch (const PortError&) {
      if (address <= 255 || host.PortFailure().empty()) throw;
      std::cerr << "Error: " << host.PortFailure() << '\n';
      return kExitError;
    }
    const int result = read.result;
    const bool no_reply = read.noReply;
    if (read.byIdent && result != 0 && !options->quiet) {
      std::cerr << "Error: " << MbusErrorText(result) << '\n';
    }
    const std::vector<std::uint8_t>& reply = read.reply;
    DecodedTelegram telegram;
    if (*records) DecodeTelegram(reply, telegram);
    if (*json) {
      auto j = ReadingJson(v, result);
      if (*records) j["records"] = RecordListJson(telegram);
      std::cout << ToJsonLine(j) << '\n';
    } else if (result == 0 && !no_reply) {
      PrintTable(v);
      if (*records) PrintRecords(telegram);
    }
    if (result != 0) return ExitForCommand(host, result, result == ReadResult::kCouldNotInit);
    if (no_reply) {
      if (!options->quiet && address > 255) {
        std::cerr << "Error: no meter with identification number " << options->address
                  << " answered its selection; velmar scan --secondary lists the meters\n";
      } else if (!options->quiet) {
        std::cerr << "Error: no reply from the meter within 3.1 s; check the wiring, the address ("
                  << options->address << ") and the speed (" << options->speed << ")\n";
      }
      return kExitNoReply;
    }
    return kExitOk;
  };
}

}  // namespace velmar::tools
