// velmar listen: every wireless telegram a receiver hears, decoded with the meters' keys, as a
// table or one JSON line each.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>

#include "cli_host.hpp"
#include "commands.hpp"
#include "keys_file.hpp"
#include "plain_values.hpp"
#include "profiles.hpp"
#include "radio_message.hpp"
#include "radio_source.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/radio.hpp"

namespace velmar::tools {
namespace {

constexpr int kReportedSkips = 10;  // skipped frames or lines told one by one, then counted

struct ListenOptions {
  std::string device;
  std::string receiver = "hex";
  std::string mode = "t1";
  std::string keys;
  std::string id;
  bool json = false;
  bool noCrc = false;  // plain hex lines come without their block CRCs
  int count = 0;       // stop after this many telegrams shown (0: never)
  int seconds = 0;     // stop after this long (0: never)
  int startMs = 2000;  // for the receiver's confirmation of its link mode
};

// An identification number pattern: eight characters, each a digit or '*' for any digit.
bool IsIdPattern(const std::string& p) {
  if (p.size() != 8) return false;
  for (char c : p) {
    if (!(c == '*' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

bool Matches(const std::string& pattern, const WirelessTelegram& t) {
  if (pattern.empty()) return true;
  if (t.bytes.empty()) return false;
  const char* id = t.decoded.header.ident.data();
  for (std::size_t i = 0; i < 8; ++i) {
    if (pattern[i] != '*' && pattern[i] != id[i]) return false;
  }
  return true;
}

std::string LocalTime(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S", &tm);
  return text;
}

// A meter with a profile: its fields by their names, then the alarms set.
void ProfileCells(const ProfileReading& p, std::ostringstream& row) {
  row << p.profile->name << ":";
  for (const FieldValue& f : p.fields) row << " " << f.field->name << " " << f.value.dump();
  const auto alarms = p.Alarms();
  for (std::size_t i = 0; i < alarms.size(); ++i) row << (i ? ", " : "; ALARM ") << alarms[i];
}

// time  id  manufacturer  medium  rssi  values (or why not)
std::string TableRow(const WirelessTelegram& t, const HeardTelegram& h,
                     std::chrono::system_clock::time_point when, const ProfileReading& profile) {
  std::ostringstream row;
  const TelegramHeader& hd = t.decoded.header;
  row << LocalTime(when) << "  " << std::left << std::setw(8)
      << (t.bytes.empty() ? "?" : std::string(hd.ident.data())) << "  " << std::setw(3)
      << std::string(hd.manufacturer.data()) << "  " << std::setw(14)
      << std::string(t.bytes.empty() ? "" : hd.mediumName) << "  " << std::right << std::setw(4)
      << (h.rssi ? std::to_string(*h.rssi) : std::string("-")) << "  ";
  if (const std::string why = RadioError(t); !why.empty()) {
    row << why;
    return row.str();
  }
  if (profile.profile != nullptr) {
    ProfileCells(profile, row);
    return row.str();
  }
  const auto values = PlainValues(t.decoded.records);
  if (values.empty()) row << "(no plain values; " << t.decoded.records.size() << " records)";
  for (std::size_t i = 0; i < values.size(); ++i) {
    row << (i ? ", " : "") << values[i].name << " "
        << (values[i].value.is_string() ? values[i].value.get<std::string>()
                                        : values[i].value.dump());
  }
  return row.str();
}

class Listener {
 public:
  Listener(const ListenOptions& o, MeterKeys keys, ProfileSet profiles)
      : o_(o), decoder_(std::move(keys)), profiles_(std::move(profiles)) {}

  // Shows what was heard; false once --count telegrams were shown.
  bool Show(const std::vector<HeardTelegram>& heard) {
    for (const HeardTelegram& h : heard) {
      const auto when = std::chrono::system_clock::now();
      decoder_.Decode(h.bytes, t_, h.crcs);
      if (!Matches(o_.id, t_)) continue;
      const ProfileReading& profile = Named();
      if (o_.json) {
        nlohmann::ordered_json j;
        RadioMessage(t_, h, when, j);
        AddProfileJson(profile, j);
        std::cout << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
      } else {
        std::cout << TableRow(t_, h, when, profile) << std::endl;
      }
      if (o_.count > 0 && ++shown_ >= o_.count) return false;
    }
    return true;
  }

  // Tells skipped frames or lines: each of the first few, then only the count at the end.
  void ReportSkips(ReceiverProtocol& p) {
    for (const std::string& why : p.TakeSkipReasons()) {
      if (told_ == kReportedSkips) break;
      ++told_;
      std::cerr << "Skipped: " << why << '\n';
    }
  }
  void Summary(const ReceiverProtocol& p) const {
    if (p.Skipped() > static_cast<std::uint64_t>(kReportedSkips)) {
      std::cerr << "Skipped " << p.Skipped() << " frames or lines in all\n";
    }
  }

 private:
  // What the meter's profile makes of the telegram just decoded, in the meter's own reading:
  // its next telegram of the same layout goes straight to the records its fields sat in.
  const ProfileReading& Named() {
    if (!RadioError(t_).empty()) return none_;
    // A receiver in a block of flats hears thousands of meters; past that many, the readings
    // start again (each is only what the last telegram showed).
    if (named_.size() >= kNamedMeters) named_.clear();
    const DecodedTelegram& d = t_.decoded;
    ProfileReading& r = named_[std::string(d.header.ident.data())];
    ReadByProfile(profiles_, d.header, d.records, d.manufacturerData, r, t_.Layout());
    return r;
  }

  static constexpr std::size_t kNamedMeters = 4096;
  const ListenOptions& o_;
  WirelessDecoder decoder_;
  ProfileSet profiles_;
  WirelessTelegram t_;
  std::unordered_map<std::string, ProfileReading> named_;  // by identification number
  const ProfileReading none_;                              // a telegram that was not read
  int shown_ = 0;
  int told_ = 0;
};

// Hex lines from standard input or a file, read as they come.
int ListenToText(std::istream& in, FrameCrcs crcs, Listener& listener) {
  auto protocol = MakeReceiverProtocol(ReceiverKind::kHex, crcs);
  std::vector<HeardTelegram> heard;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    const auto n = static_cast<std::size_t>(in.gcount());
    protocol->Feed(std::span(reinterpret_cast<const std::uint8_t*>(chunk), n), heard);
    listener.ReportSkips(*protocol);
    const bool more = listener.Show(heard);
    heard.clear();
    if (!more) return kExitOk;
  }
  const std::uint8_t end[] = {'\n'};  // a last line without its newline
  protocol->Feed(end, heard);
  listener.ReportSkips(*protocol);
  listener.Show(heard);
  listener.Summary(*protocol);
  return kExitOk;
}

// How long to wait before starting a program receiver again: doubling from 1 s to a minute.
std::chrono::seconds NextBackoff(std::chrono::seconds b) {
  return std::min(b * 2, std::chrono::seconds(60));
}

// A receiver on a serial line or a TCP stream, or rtl_433 run as a program, until a signal,
// --count or --seconds. A program that ends is started again, after a pause that doubles each
// time it ends without having delivered a telegram.
int ListenToPort(const ListenOptions& o, RadioMode mode, Listener& listener) {
  posix::PosixEventLoop events;
  SignalWatch signals(events);
  bool stop = false;
  signals.OnSignal([&](int) { stop = true; });
  const bool program = IsRtl433(o.receiver);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(o.seconds);
  auto left_ms = [&]() -> int {
    if (o.seconds <= 0) return 1000;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1000));
  };
  std::chrono::seconds backoff(1);
  bool more = true;
  while (!stop && more) {
    RadioSource radio = MakeRadioSource(
        events, o.receiver, o.device, mode, o.noCrc ? FrameCrcs::kRemoved : FrameCrcs::kPresent,
        [](const std::string& line) { std::cerr << "rtl_433: " << line << '\n'; });
    try {
      if (const std::string why = radio.receiver->Start(mode, o.startMs); !why.empty()) {
        std::cerr << "Error: " << o.device << ": " << why << '\n';
        return kExitError;
      }
      for (int wait = left_ms(); !stop && wait > 0 && more; wait = left_ms()) {
        const auto heard = radio.receiver->Listen(wait, &stop);
        if (!heard.empty()) backoff = std::chrono::seconds(1);
        listener.ReportSkips(radio.receiver->Protocol());
        more = listener.Show(heard);
      }
      more = false;  // the time given ran out
    } catch (const PortError& e) {
      // A program that cannot be started (not installed) is not tried again.
      if (!program || !radio.port->PortOpen()) throw;
      std::cerr << "Error: " << e.what() << "; starting it again in " << backoff.count() << " s\n";
      auto pause = events.CreateTimer([] {});
      pause->SetInterval(static_cast<int>(backoff.count() * 1000));
      pause->SetEnabled(true);
      const auto resume = std::chrono::steady_clock::now() + backoff;
      while (!stop && std::chrono::steady_clock::now() < resume && left_ms() > 0) {
        events.WaitForEvents();
      }
      backoff = NextBackoff(backoff);
      if (left_ms() <= 0) more = false;
    }
    listener.Summary(radio.receiver->Protocol());
    radio.port->SetPortOpen(false);
  }
  const int signal = signals.Received();
  return signal != 0 ? 128 + signal : kExitOk;
}

}  // namespace

Runner AddListen(CLI::App& app) {
  auto o = std::make_shared<ListenOptions>();
  auto* cmd = app.add_subcommand(
      "listen",
      "Print every wireless M-Bus telegram a radio receiver hears: time, identification number, "
      "manufacturer, medium, RSSI and the plain values (or why a telegram could not be read), "
      "or one JSON line each with --json. Runs until Ctrl+C, --count or --seconds.");
  cmd->add_option("--device", o->device,
                  "The receiver: a serial device (/dev/ttyUSB0), tcp://HOST:PORT, for hex lines "
                  "also a file or - (standard input); for rtl433 the rtl_433 program (its "
                  "arguments added for --mode) or, with blanks, the whole command to run")
      ->required();
  cmd->add_option("--receiver", o->receiver,
                  "What delivers the telegrams: im871a (IMST iM871A stick), amb8465 (Amber "
                  "AMB8465 stick), cul (a CUL stick running culfw), rtl433 (the rtl_433 "
                  "software radio, run by velmar and read as JSON; started again when it ends) or "
                  "hex (one telegram per line in hex)")
      ->check(CLI::IsMember(ReceiverNames()))
      ->capture_default_str();
  cmd->add_option("--mode", o->mode, "The link mode the stick listens in: t1, c1 or s1")
      ->check([](const std::string& m) {
        return RadioModeByName(m) ? std::string() : "the mode is t1, c1 or s1";
      })
      ->capture_default_str();
  cmd->add_option("--keys", o->keys,
                  "TOML file of the meters' keys: [[meter]] entries with id = \"12345678\" and "
                  "key = \"32 hex digits\"");
  cmd->add_option("--id", o->id,
                  "Show only meters whose identification number matches: eight characters, "
                  "digits or * for any digit (1234****)")
      ->check([](const std::string& p) {
        return IsIdPattern(p) ? std::string()
                              : "the pattern is eight characters, each a digit or *";
      });
  cmd->add_flag("--json", o->json, "One JSON line per telegram (the collector's message)");
  cmd->add_flag("--no-crc", o->noCrc,
                "Hex lines carry telegrams without their block CRCs (as sticks and wireless "
                "M-Bus tools print them); without it a plain hex line must carry them (frame "
                "format A or B). A software radio's ';' line is always taken without");
  cmd->add_option("--count", o->count, "Stop after this many telegrams")
      ->check(CLI::Range(1, 1000000000));
  cmd->add_option("--seconds", o->seconds, "Stop after this many seconds")
      ->check(CLI::Range(1, 31536000));
  cmd->footer(
      "Exit status: 0 done; 1 the device failed or the stick did not confirm its link mode\n"
      "(rtl_433 that ends is started again, after 1 s, then 2 s, ... up to a minute);\n"
      "2 usage error or a bad keys file; 128 + N ended by signal N.");
  return [cmd, o]() -> int {
    if (!cmd->parsed()) return -1;
    MeterKeys keys;
    try {
      std::string warning;
      if (!o->keys.empty()) keys = LoadKeysFile(o->keys, warning);
      if (!warning.empty()) std::cerr << warning << '\n';
    } catch (const Error& e) {
      std::cerr << "Error: " << e.what() << '\n';
      return kExitUsage;
    }
    const RadioMode mode = *RadioModeByName(o->mode);
    ProfileSet profiles =
        LoadProfilesInUse([](const std::string& w) { std::cerr << "Warning: " << w << '\n'; });
    Listener listener(*o, std::move(keys), std::move(profiles));
    const bool text = o->receiver == "hex" && o->device.rfind("tcp://", 0) != 0 &&
                      o->device.rfind("/dev/", 0) != 0;
    try {
      const FrameCrcs crcs = o->noCrc ? FrameCrcs::kRemoved : FrameCrcs::kPresent;
      if (text && o->device == "-") return ListenToText(std::cin, crcs, listener);
      if (text) {
        std::ifstream in(o->device, std::ios::binary);
        if (!in) {
          std::cerr << "Error: " << o->device << ": cannot be read\n";
          return kExitError;
        }
        return ListenToText(in, crcs, listener);
      }
      return ListenToPort(*o, mode, listener);
    } catch (const Error& e) {
      std::cerr << "Error: " << o->device << ": " << e.what() << '\n';
      return kExitError;
    }
  };
}

}  // namespace velmar::tools
