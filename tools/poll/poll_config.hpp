// The collector's configuration file (TOML): where readings go ([mqtt]) and which meters are
// read on which bus ([[bus]] with [[bus.meter]] entries) or heard by which radio receiver
// ([[radio]] with [[radio.meter]] entries). Every key is checked as the file is
// read; a problem is reported with the file, the line and what is accepted, and nothing starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmar::tools {

struct MeterEntry {
  std::string name;
  std::string address;  // 0-250, 254, or an 8-digit identification number, as text
  int interval = 60;    // seconds from the start of one read to the start of the next
  int line = 0;         // where the entry starts in the file
};

struct BusEntry {
  std::string name;
  std::string device;  // a serial device path or tcp://HOST:PORT
  int speed = 2400;
  bool rts = false;
  std::vector<MeterEntry> meters;
  int line = 0;
};

// A wireless meter a radio hears: its name and interval as a wired meter's (the interval is the
// least time between two published readings), its identification number as its address, and
// its key (32 hex digits; empty for a meter that sends plain records).
struct RadioMeterEntry {
  MeterEntry meter;
  std::string key;
};

struct RadioEntry {
  std::string name;
  std::string device;    // a serial device path or tcp://HOST:PORT
  std::string receiver;  // im871a, amb8465 or hex
  std::string mode = "t1";
  std::vector<RadioMeterEntry> meters;
  int line = 0;
};

struct MqttEntry {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string prefix = "velmar";
  std::string spool;        // a folder; empty: $XDG_STATE_HOME/velmar or ~/.local/state/velmar
  int spoolLimit = 100000;  // readings kept while the broker is away; then the oldest go
  std::string clientId;     // empty: velmar-<host name>-<process id>
  std::string username;
  std::string password;
  std::string tlsCa;  // a CA file turns TLS on
  std::string tlsCert;
  std::string tlsKey;
  bool tlsInsecure = false;  // do not check the broker's host name against its certificate
  int keepalive = 30;
  bool discovery = false;  // Home Assistant discovery messages
  std::string discoveryPrefix = "homeassistant";
  bool retainState = false;  // readings retained, so a consumer that starts sees the last one
};

struct PollConfig {
  MqttEntry mqtt;
  std::vector<BusEntry> buses;
  std::vector<RadioEntry> radios;
};

// Reads at most 1 MiB from `path`; throws Error "PATH: why" for a file that cannot be read and
// what ParsePollConfig throws.
PollConfig LoadPollConfig(const std::string& path);
// "" when the configuration at `path` holds no secret or other users cannot read it; else one
// warning line naming the file, what it holds and `chmod 600`.
std::string SecretsWarning(const std::string& path, const PollConfig& config);
// Parses the text of a configuration called `name` in messages. Throws ArgumentError
// "NAME:LINE: problem" for TOML that does not parse, an unknown key, a value of the wrong type
// or out of range, a duplicate bus or meter name, two meters at one primary address on a bus,
// a bus or radio without meters, a bad receiver, mode, identification number or key, or no bus
// and no radio at all.
PollConfig ParsePollConfig(std::string_view text, const std::string& name);
// The spool folder the configuration names, or the default one.
std::string SpoolFolder(const MqttEntry& mqtt);

}  // namespace velmar::tools
