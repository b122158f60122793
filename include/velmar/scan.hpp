// Finding the meters on a bus: a primary scan (a link reset to each primary address, an
// acknowledge means a meter) and a secondary search (selection by identification number with
// wildcards, narrowed digit by digit where several meters answer at once). Each probe listens
// as long as the standard gives a meter to answer: 330 bit times plus 50 ms at the line speed.
// Found meters are read for their identification number, manufacturer, version and medium.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmar/platform.hpp"
#include "velmar/trace.hpp"

namespace velmar {

struct FoundMeter {
  int primaryAddress = -1;  // the address it answered at (-1: found by its identification number)
  std::uint32_t identNumber = 0;
  std::array<char, 4> manufacturer{};  // three letters and a NUL
  std::uint8_t version = 0;
  std::uint8_t medium = 0;
  bool readable = true;  // false: it acknowledged but its data could not be read
};

// What one probe heard.
enum class ProbeAnswer { kNothing, kOne, kCollision };

class BusScanner {
 public:
  // Uses the port as it is configured (settings, device); opens it when a scan starts and
  // closes it when the scan ends. The loop and the port must outlive the scanner.
  BusScanner(EventLoop& events, SerialPort& port);
  ~BusScanner();
  BusScanner(const BusScanner&) = delete;
  BusScanner& operator=(const BusScanner&) = delete;

  // Link reset to every primary address from `first` to `last` (0-250); each that answers is
  // read. Two meters at one address show as a collision and are reported unread. Takes about
  // (frame time + probe window) per address: 0.21 s at 2400 baud, a minute for 0-250. Throws
  // PortError when the port fails; ends early, with what was found, after RequestStop.
  std::vector<FoundMeter> ScanPrimary(int first = 0, int last = 250);
  // Every meter whose identification number matches `pattern` (8 characters, digits or F for
  // any digit, most significant first); throws ArgumentError for another pattern. Probes grow
  // with the meters found, about ten per meter, not with the ten million numbers.
  std::vector<FoundMeter> SearchSecondary(const std::string& pattern = "FFFFFFFF");

  // Selects the meter with this identification number (any manufacturer, version, medium) and
  // requests its data at the selected-meter address; the RSP_UD as received, or nullopt when
  // the selection or the request got no proper answer. Leaves the port open.
  std::optional<std::vector<std::uint8_t>> ReadByIdent(std::uint32_t identNumber);

  // Called for each meter as it is found, and for progress (probes done, probes planned; the
  // secondary search does not know its total and passes 0).
  void SetFoundCallback(std::function<void(const FoundMeter&)> callback);
  void SetProgressCallback(std::function<void(int done, int total)> callback);
  void SetTraceCallback(TraceCallback callback);
  // Ends a scan after the probe in progress; safe from a signal handler's flag check.
  void RequestStop();
  // Probes sent since the scanner was made, and the protocol's own time for them (frames on
  // the line and the probe windows), for comparison with the time a scan took.
  int Probes() const;
  double FloorSeconds() const;
  // The probe window at the port's speed: 330 bit times plus 50 ms.
  int ProbeWindowMs() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmar
