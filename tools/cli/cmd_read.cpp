#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_host.hpp"
#include "commands.hpp"
#include "decode_json.hpp"
#include "maker_fields.hpp"
#include "meter_read.hpp"
#include "profiles.hpp"
#include "records_json.hpp"
#include "velmar/records.hpp"
#include "velmar/results.hpp"

namespace velmar::tools {
namespace {

void PrintRow(const std::string& label, const std::string& value) {
  std::printf("%-18s %s\n", label.c_str(), value.c_str());
}

void PrintMakerValues(const MakerValues& m) {
  for (const MakerField& f : MakerFields()) {
    for (const auto& [label, text] : FieldRows(f, m))
      PrintRow(label.empty() ? f.label : label, text);
  }
}

void PrintHeader(const TelegramHeader& h, std::size_t telegrams) {
  PrintRow("Meter ID", h.ident.data());
  PrintRow("Manufacturer", h.manufacturer.data());
  PrintRow("Version", std::to_string(h.version));
  PrintRow("Medium", std::string(h.mediumName));
  PrintRow("Primary address", std::to_string(h.a));
  PrintRow("Status", std::to_string(h.status));
  PrintRow("Telegrams", std::to_string(telegrams));
}

std::string ShortNumber(double v) {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::string(buf, end);
}

void PrintRecords(const Reading& r) {
  std::printf("\n%-3s %-8s %-6s %-7s %-14s %-26s %s\n", "#", "storage", "tariff", "subunit",
              "function", "quantity", "value");
  int n = 0;
  for (const DataRecord& d : r.records) {
    const std::string value = d.kind == ValueKind::kNumber ? ShortNumber(d.value) : ValueText(d);
    std::printf("%-3d %-8llu %-6u %-7u %-14s %-26s %s %s\n", ++n,
                static_cast<unsigned long long>(d.storage), d.tariff, d.subunit,
                std::string(FunctionName(d.function)).c_str(), std::string(d.quantity).c_str(),
                value.c_str(), UnitText(d).c_str());
  }
  if (!r.recordError.empty()) std::printf("(%s)\n", r.recordError.c_str());
}

// Another maker's meter: its plain values, each with its unit.
void PrintPlainValues(const std::vector<PlainValue>& values) {
  for (const PlainValue& v : values) {
    std::string text =
        v.value.is_number() ? ShortNumber(v.value.get<double>()) : v.value.get<std::string>();
    if (!v.sort->unit.empty()) text += " " + std::string(v.sort->unit);
    PrintRow(v.label, text);
  }
}

// The meter's values by the names its profile gives them, and the profile's alarms that are set.
void PrintProfileFields(const ProfileReading& p) {
  if (p.profile == nullptr) return;
  PrintRow("Profile", p.profile->name);
  for (const FieldValue& f : p.fields) {
    PrintRow(f.field->name,
             f.value.is_number() ? ShortNumber(f.value.get<double>()) : f.value.get<std::string>());
  }
  std::string alarms;
  for (const std::string& a : p.Alarms()) alarms += (alarms.empty() ? "" : ", ") + a;
  if (!p.flags.empty()) PrintRow("Alarms", alarms.empty() ? "none" : alarms);
}

void PrintReading(const MeterRead& read, const ProfileReading& profile, bool records) {
  if (read.maker) {
    PrintMakerValues(*read.maker);
  } else {
    PrintHeader(read.reading.header, read.reading.telegrams.size());
    PrintPlainValues(read.values);
  }
  PrintProfileFields(profile);
  // Another maker's meter is its records; this maker's shows them on request.
  if (records || !read.maker) PrintRecords(read.reading);
}

int ReportFailure(const MeterRead& read, const LineOptions& o, Bus& bus) {
  if (read.PortFailed()) {
    std::cerr << "Error: " << (read.error.empty() ? "the port failed" : read.error) << '\n';
    return kExitError;
  }
  if (read.NoReply()) {
    if (o.quiet) return kExitNoReply;
    if (o.address.size() == 8) {
      std::cerr << "Error: no meter with identification number " << o.address
                << " answered its selection; velmar scan --secondary lists the meters\n";
    } else {
      std::cerr << "Error: no reply from the meter within " << bus.ReplyTimeoutMs() << " ms (tried "
                << 1 + o.retries << " times); check the wiring, the address (" << o.address
                << ") and the speed (" << o.speed << ")\n";
    }
    return kExitNoReply;
  }
  if (!o.quiet) std::cerr << "Error: " << read.error << '\n';
  return ExitForResult(read.Result());
}

}  // namespace

Runner AddRead(CLI::App& app) {
  auto* cmd = app.add_subcommand("read", "Read the meter and print its values");
  auto options = std::make_shared<LineOptions>();
  auto json = std::make_shared<bool>(false);
  auto records = std::make_shared<bool>(false);
  auto first = std::make_shared<bool>(false);
  AddLineOptions(*cmd, *options, true, true);
  AddBusOptions(*cmd, *options);
  cmd->add_flag("--json", *json,
                "Print one JSON object keyed by the control's member names (and telegrams)");
  cmd->add_flag("--records", *records,
                "Also print this maker's meters' standard EN 13757-3 record list (JSON key "
                "records); other makers' meters always show it");
  cmd->add_flag("--first", *first,
                "Read the first telegram only, even when the meter announces more");
  return [cmd, options, json, records, first]() -> int {
    if (!cmd->parsed()) return -1;
    CliHost host(*options);
    Bus& bus = host.bus();
    ReadOptions how;
    how.allTelegrams = !*first;
    const MeterRead read = ReadMeter(bus, *Address::Parse(options->address), how);
    // The reading is shown first: closing the port (and giving the device its settings back)
    // is nothing the user waits for.
    const bool failed = !read.Ok();
    ProfileReading profile;
    ProfileSet profiles;
    if (!failed) {
      profiles =
          LoadProfilesInUse([](const std::string& w) { std::cerr << "Warning: " << w << '\n'; });
      profile = ReadByProfile(profiles, read.reading.header, read.reading.records,
                              read.reading.manufacturerData);
    }
    if (*json) {
      auto j = ReadingJson(read);
      AddProfileJson(profile, j);
      if (!failed && (*records || !read.maker)) j["records"] = RecordListJson(read.reading.records);
      std::cout << ToJsonLine(j) << std::endl;
    } else if (!failed) {
      PrintReading(read, profile, *records);
      std::fflush(stdout);
    }
    const int status = failed ? ReportFailure(read, *options, bus) : kExitOk;
    if (!options->keepOpen) bus.Close();
    return status;
  };
}

}  // namespace velmar::tools
