#include "poll_config.hpp"

#include "radio_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "file_access.hpp"
#include "input_checks.hpp"
#include "keys_file.hpp"
#include "poll_discovery.hpp"
#include "toml_reader.hpp"
#include "velmar/bus.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/radio.hpp"

namespace velmar::tools {
namespace {

// Names become MQTT topic levels: no separators, no wildcards, nothing invisible.
void CheckName(TableReader& r, const toml::node* n, const std::string& name) {
  bool ok = !name.empty() && name.size() <= 64;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.';
    ok = ok && plain;
  }
  if (!ok) {
    r.Fail(*n, r.where() + ".name \"" + Shown(name) +
                   "\" is not a name: 1 to 64 letters, digits, '_', '-' or '.' (it becomes a "
                   "topic level)");
  }
}

MeterEntry ReadMeterEntry(const toml::table& t, const std::string& file, const std::string& where) {
  TableReader r(t, file, where);
  MeterEntry m;
  m.line = r.Line();
  r.Text("name", m.name, true);
  CheckName(r, t.get("name"), m.name);
  const toml::node* a = r.Take("address");
  if (a == nullptr) r.Fail(m.line, where + " needs address");
  if (a->is_integer()) {
    m.address = std::to_string(a->as_integer()->get());
  } else if (a->is_string()) {
    m.address = a->as_string()->get();
  } else {
    r.Fail(*a, where + ".address must be a number or a text");
  }
  if (const std::string why = CheckReadAddress(m.address); !why.empty()) {
    r.Fail(*a, where + ".address: " + why);
  }
  // 253 is whichever meter was selected last and 255 is broadcast, which no meter answers: a
  // collector reading either would publish some other meter's values, or nothing.
  if (const auto address = Address::Parse(m.address);
      !address->secondary && (address->primary == 253 || address->primary == 255)) {
    r.Fail(*a, where + ".address: " + m.address +
                   " names no single meter: use 0-250, 254 (the one meter of the line) or an "
                   "8-digit identification number");
  }
  r.Number("interval", m.interval, 1, 86400);
  r.RejectUnknown();
  return m;
}

BusEntry ReadBusEntry(const toml::table& t, const std::string& file, const std::string& where) {
  TableReader r(t, file, where);
  BusEntry b;
  b.line = r.Line();
  r.Text("name", b.name, true);
  CheckName(r, t.get("name"), b.name);
  r.Text("device", b.device, true);
  try {
    std::string host;
    std::uint16_t port = 0;
    posix::ParseGatewayAddress(b.device, host, port);
  } catch (const ArgumentError& e) {
    r.Fail(*t.get("device"), where + ".device: " + e.what());
  }
  if (b.device.empty()) r.Fail(*t.get("device"), where + ".device is empty");
  if (const toml::node* s = t.get("speed"); s != nullptr && s->is_integer()) {
    if (const std::string why = CheckSpeed(std::to_string(s->as_integer()->get())); !why.empty()) {
      r.Fail(*s, where + ".speed: " + why);
    }
  }
  r.Number("speed", b.speed, 300, 921600);
  r.Flag("rts", b.rts);
  const toml::node* meters = r.Take("meter");
  if (meters == nullptr || !meters->is_array_of_tables() || meters->as_array()->empty()) {
    r.Fail(b.line, "bus " + b.name + " has no meters: add [[bus.meter]] entries after it");
  }
  int i = 0;
  for (const toml::node& m : *meters->as_array()) {
    b.meters.push_back(
        ReadMeterEntry(*m.as_table(), file, where + ".meter[" + std::to_string(i++) + "]"));
  }
  r.RejectUnknown();
  return b;
}

RadioMeterEntry ReadRadioMeter(const toml::table& t, const std::string& file,
                               const std::string& where) {
  TableReader r(t, file, where);
  RadioMeterEntry e;
  MeterEntry& m = e.meter;
  m.line = r.Line();
  r.Text("name", m.name, true);
  CheckName(r, t.get("name"), m.name);
  r.Text("id", m.address, true);
  if (!IsWirelessIdent(m.address)) {
    r.Fail(*t.get("id"), where + ".id \"" + Shown(m.address) +
                             "\" is not an identification number: eight digits as the meter "
                             "shows them");
  }
  r.Text("key", e.key);
  if (t.get("key") != nullptr && !ParseMeterKey(e.key)) {
    r.Fail(*t.get("key"), where + ".key is not a key: give 32 hex digits (AES-128)");
  }
  r.Number("interval", m.interval, 1, 86400);
  r.RejectUnknown();
  return e;
}

RadioEntry ReadRadioEntry(const toml::table& t, const std::string& file, const std::string& where) {
  TableReader r(t, file, where);
  RadioEntry radio;
  radio.line = r.Line();
  r.Text("name", radio.name, true);
  CheckName(r, t.get("name"), radio.name);
  r.Text("device", radio.device, true);
  if (radio.device.empty()) r.Fail(*t.get("device"), where + ".device is empty");
  r.Text("receiver", radio.receiver, true);
  const auto& names = ReceiverNames();
  if (std::find(names.begin(), names.end(), radio.receiver) == names.end()) {
    r.Fail(*t.get("receiver"), where + ".receiver \"" + Shown(radio.receiver) +
                                   "\" is not a receiver: " + ReceiverNamesText());
  }
  r.Text("mode", radio.mode);
  if (!RadioModeByName(radio.mode)) {
    r.Fail(*t.get("mode"), where + ".mode \"" + Shown(radio.mode) + "\" is not t1, c1 or s1");
  }
  const toml::node* meters = r.Take("meter");
  if (meters == nullptr || !meters->is_array_of_tables() || meters->as_array()->empty()) {
    r.Fail(radio.line,
           "radio " + radio.name + " has no meters: add [[radio.meter]] entries after it");
  }
  int i = 0;
  for (const toml::node& m : *meters->as_array()) {
    radio.meters.push_back(
        ReadRadioMeter(*m.as_table(), file, where + ".meter[" + std::to_string(i++) + "]"));
  }
  r.RejectUnknown();
  return radio;
}

// A TLS file the collector will need must be there and readable by the user it runs as: found
// now, not at the first connection.
std::string TlsFileProblem(const std::string& path) {
  if (path.empty()) return {};
  if (::access(path.c_str(), F_OK) != 0) return Shown(path) + " does not exist";
  if (const std::string why = CheckRegularFile(path); !why.empty()) return why;
  if (::access(path.c_str(), R_OK) != 0) {
    return Shown(path) + " cannot be read by this user (" + std::strerror(errno) + ")";
  }
  return {};
}

MqttEntry ReadMqtt(const toml::table& t, const std::string& file) {
  TableReader r(t, file, "mqtt");
  MqttEntry m;
  r.Text("host", m.host);
  // A host of blanks names no broker: the collector would try to connect to it for ever.
  if (m.host.find_first_not_of(" \t") == std::string::npos) {
    r.Fail(t.get("host") != nullptr ? *t.get("host") : t,
           "mqtt.host is empty: give the broker's host name or address (127.0.0.1)");
  }
  r.Number("port", m.port, 1, 65535);
  r.Text("prefix", m.prefix);
  if (m.prefix.empty() || m.prefix.find_first_of("+#") != std::string::npos ||
      m.prefix.front() == '/' || m.prefix.back() == '/') {
    r.Fail(*t.get("prefix"), "mqtt.prefix \"" + Shown(m.prefix) +
                                 "\" is not a topic prefix: no '+' or '#', no '/' at either end");
  }
  r.Text("spool", m.spool);
  r.Number("spool_limit", m.spoolLimit, 100, 100000000);
  r.Text("client_id", m.clientId);
  r.Text("username", m.username);
  r.Text("password", m.password);
  r.Text("tls_ca", m.tlsCa);
  r.Text("tls_cert", m.tlsCert);
  r.Text("tls_key", m.tlsKey);
  r.Flag("tls_insecure", m.tlsInsecure);
  r.Number("keepalive", m.keepalive, 5, 3600);
  r.Flag("discovery", m.discovery);
  r.Text("discovery_prefix", m.discoveryPrefix);
  r.Flag("retain_state", m.retainState);
  if (m.tlsCert.empty() != m.tlsKey.empty()) {
    r.Fail(r.Line(), "mqtt.tls_cert and mqtt.tls_key go together");
  }
  if ((!m.tlsCert.empty() || m.tlsInsecure) && m.tlsCa.empty()) {
    r.Fail(r.Line(),
           "mqtt.tls_cert, tls_key and tls_insecure need mqtt.tls_ca, which turns TLS on");
  }
  for (const auto& [key, path] : {std::pair<const char*, const std::string&>{"tls_ca", m.tlsCa},
                                  {"tls_cert", m.tlsCert},
                                  {"tls_key", m.tlsKey}}) {
    if (const std::string why = TlsFileProblem(path); !why.empty()) {
      r.Fail(*t.get(key), std::string("mqtt.") + key + ": " + why);
    }
  }
  r.RejectUnknown();
  return m;
}

// Two names of one device (a symbolic link such as /dev/serial/by-id/..., or ./ttyUSB0 and
// /dev/ttyUSB0) are one key: the device numbers where the path exists, the text otherwise.
std::string DeviceKey(const std::string& device) {
  struct stat st {};
  if (device.rfind("tcp://", 0) == 0 || ::stat(device.c_str(), &st) != 0) return device;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "dev:" + std::to_string(st.st_rdev);
  return "file:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

[[noreturn]] void FailAt(const std::string& file, int line, const std::string& why) {
  throw ArgumentError(file + ":" + std::to_string(line) + ": " + why);
}

// Meter names are topic levels and entity ids: unique across every bus and radio.
class MeterNames {
 public:
  explicit MeterNames(const std::string& file) : file_(file) {}
  void Add(const MeterEntry& m) {
    if (!names_.insert(m.name).second) {
      FailAt(file_, m.line,
             "a second meter named " + m.name + " (meter names are topics and must be unique)");
    }
    const auto [same, unique] = ids_.emplace(EntityIdPart(m.name), m.name);
    if (!unique) {
      FailAt(file_, m.line,
             "meters " + same->second + " and " + m.name + " both become the id " + same->first +
                 " (lower-case, '_' for other characters); rename one");
    }
  }

 private:
  const std::string& file_;
  std::set<std::string> names_;
  std::map<std::string, std::string> ids_;  // entity id part -> the meter that has it
};

// One name and one device per bus or radio: a device carries one bus or one receiver.
class Lines {
 public:
  explicit Lines(const std::string& file) : file_(file) {}
  void Add(const std::string& kind, const std::string& name, const std::string& device, int line) {
    if (!names_.insert(name).second) {
      FailAt(file_, line,
             "a second " + kind + " named " + name + " (bus and radio names are one list)");
    }
    const auto [other, fresh] = devices_.emplace(DeviceKey(device), kind + " " + name);
    if (!fresh) {
      FailAt(file_, line,
             kind + " " + name + " is on " + ShortenLongWords(device) + ", the device of " +
                 other->second + "; one device carries one bus or one receiver");
    }
  }

 private:
  const std::string& file_;
  std::set<std::string> names_;
  std::map<std::string, std::string> devices_;
};

void CheckUnique(const PollConfig& config, const std::string& file) {
  MeterNames meters(file);
  Lines lines(file);
  for (const BusEntry& b : config.buses) {
    lines.Add("bus", b.name, b.device, b.line);
    std::set<std::string> addresses;
    for (const MeterEntry& m : b.meters) {
      meters.Add(m);
      const Address address = *Address::Parse(m.address);
      if (!addresses.insert(address.Text()).second) {
        FailAt(file, m.line,
               "meter " + m.name + " has the " +
                   (address.secondary ? "identification number " : "primary address ") + m.address +
                   " of another meter on bus " + b.name + "; two meters cannot answer one address");
      }
    }
  }
  for (const RadioEntry& r : config.radios) {
    lines.Add("radio", r.name, r.device, r.line);
    std::set<std::string> ids;
    for (const RadioMeterEntry& e : r.meters) {
      meters.Add(e.meter);
      if (!ids.insert(e.meter.address).second) {
        FailAt(file, e.meter.line,
               "meter " + e.meter.name + " has the identification number " + e.meter.address +
                   " of another meter of radio " + r.name);
      }
    }
  }
}

}  // namespace

PollConfig ParsePollConfig(std::string_view text, const std::string& name) {
  const toml::table root = ParseToml(text, name);
  TableReader top(root, name, "");
  PollConfig config;
  if (const toml::node* mqtt = top.Take("mqtt")) {
    if (!mqtt->is_table()) top.Fail(*mqtt, "mqtt must be a table: [mqtt]");
    config.mqtt = ReadMqtt(*mqtt->as_table(), name);
  }
  const toml::node* buses = top.Take("bus");
  const toml::node* radios = top.Take("radio");
  for (const toml::node* list : {buses, radios}) {
    if (list != nullptr && (!list->is_array_of_tables() || list->as_array()->empty())) {
      top.Fail(*list, "bus and radio are lists of tables: [[bus]], [[radio]]");
    }
  }
  if (buses == nullptr && radios == nullptr) {
    top.Fail(1,
             "no bus: add a [[bus]] entry with a name, a device and [[bus.meter]] entries "
             "(or a [[radio]] with [[radio.meter]] entries)");
  }
  // The tables are read where they are: a copy would lose the lines they came from.
  for (std::size_t i = 0; buses != nullptr && i < buses->as_array()->size(); ++i) {
    config.buses.push_back(ReadBusEntry(*buses->as_array()->get(i)->as_table(), name,
                                        "bus[" + std::to_string(i) + "]"));
  }
  for (std::size_t i = 0; radios != nullptr && i < radios->as_array()->size(); ++i) {
    config.radios.push_back(ReadRadioEntry(*radios->as_array()->get(i)->as_table(), name,
                                           "radio[" + std::to_string(i) + "]"));
  }
  for (auto&& [key, value] : root) {
    if (key.str() != "mqtt" && key.str() != "bus" && key.str() != "radio") {
      top.Fail(static_cast<int>(key.source().begin.line),
               "unknown key " + Shown(key.str()) + "; accepted: [mqtt], [[bus]] and [[radio]]");
    }
  }
  CheckUnique(config, name);
  return config;
}

std::string SecretsWarning(const std::string& path, const PollConfig& config) {
  bool keys = false;
  for (const RadioEntry& radio : config.radios) {
    for (const RadioMeterEntry& meter : radio.meters) keys = keys || !meter.key.empty();
  }
  const bool password = !config.mqtt.password.empty();
  if (!keys && !password) return {};
  return SecretReadableWarning(path, password && keys ? "the broker password and meter keys"
                                     : password       ? "the broker password"
                                                      : "meter keys");
}

PollConfig LoadPollConfig(const std::string& path) {
  return ParsePollConfig(ReadConfigFile(path), path);
}

std::string SpoolFolder(const MqttEntry& mqtt) {
  if (!mqtt.spool.empty()) return mqtt.spool;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::string(state) + "/velmar";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/velmar";
}

}  // namespace velmar::tools
