// Finding the meters on a bus, through the bus master's one exchange: a primary scan (a link
// reset to each primary address; one clean acknowledge means a meter) and a secondary search
// (selection by identification number with wildcards, narrowed digit by digit where several
// meters answer at once). Each probe listens as long as the standard gives a meter to answer:
// 330 bit times plus 50 ms at the line speed (or the bus's own reply time-out). Every meter
// found is read for its identification number, manufacturer, version and medium.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "velmar/bus.hpp"

namespace velmar {

struct FoundMeter {
  int primaryAddress = -1;  // the address it answered at (-1: found by its identification number)
  std::uint32_t identNumber = 0;
  std::array<char, 4> manufacturer{};  // three letters and a NUL
  std::uint8_t version = 0;
  std::uint8_t medium = 0;
  // Several meters answered at once (one primary address, or one identification number): no
  // meter is counted and none was asked for data.
  bool collision = false;
  bool readable = true;  // false: it acknowledged but its data could not be read
  // false: identNumber (and manufacturer, version, medium) are not known: a meter found at a
  // primary address whose data could not be read, or a collision there. Never reported as 0.
  bool identKnown = true;
};

// What a secondary search looks for: eight characters of digits or F (any digit), most
// significant first, and optionally one manufacturer, version and medium (unset: any).
struct SearchPattern {
  std::string ident = "FFFFFFFF";
  std::optional<std::uint16_t> manufacturer;
  std::optional<std::uint8_t> version;
  std::optional<std::uint8_t> medium;
  // "1234FFFF", optionally followed by ",MAN,VV,MM": three letters, two hex digits each for
  // version and medium; "*" (or all F) in a field means any. Nullopt for anything else, with
  // `why` saying what is accepted.
  static std::optional<SearchPattern> Parse(const std::string& text, std::string* why = nullptr);
};

class BusScanner {
 public:
  // Scans through `bus` (its port, loop, options and trace). The bus must outlive the scanner.
  explicit BusScanner(Bus& bus);

  // Link reset to every primary address from `first` to `last` (0-250); each one that answers
  // with one clean acknowledge is read. Anything else that answers (a damaged acknowledge, an E5
  // followed by more) is a collision, reported and not read. About (frame time + probe window)
  // per empty address: 0.21 s at 2400 baud, 53 s for 0-250. Throws ArgumentError for a range
  // outside 0-250 (nothing sent) and PortError when the port fails; ends early, with what was
  // found, after RequestStop. Port: left open.
  std::vector<FoundMeter> ScanPrimary(int first = 0, int last = 250);
  // Every meter that matches the pattern. Probes grow with the meters found, about six per
  // meter, not with the ten million numbers. A meter whose data cannot be read while the
  // pattern still has wildcards is narrowed to its number like several answers, and reported
  // under it (readable false). Throws PortError when the port fails.
  std::vector<FoundMeter> SearchSecondary(const SearchPattern& pattern = {});

  // Called for each meter as it is found, and for progress (probes done, probes planned; the
  // secondary search does not know its total and passes 0).
  void SetFoundCallback(std::function<void(const FoundMeter&)> callback);
  void SetProgressCallback(std::function<void(int done, int total)> callback);
  // Ends a scan after the probe in progress; safe to call from another thread.
  void RequestStop();
  // Probes sent since the scanner was made.
  int Probes() const { return probes_; }
  // What answers at `address`, for a change that must not meet a meter there (a new primary
  // address): kNoReply when nothing does. Any answer is asked again once the line has been
  // quiet for the byte time-out, and the second answer counts, so a late acknowledge of an
  // earlier request (a slow meter, a gateway's burst) is not taken for a meter there. One
  // probe when nothing answers; at most two probes and a drain. kPortError when the port fails.
  Status AnswerAt(const Address& address);
  // Whether primary address `primary` is taken, for a meter about to be given it: any answer
  // there, by AnswerAt, counts: one meter, several at once (a collision), or a wrong answer.
  // Only silence leaves it free. Time as AnswerAt; throws PortError when the port fails.
  bool Occupied(std::uint8_t primary);

 private:
  // One probe; an answer that is not a clean acknowledge (or, unless `trust_ack`, any answer)
  // is asked again once the line is quiet.
  Status ProbeTrusting(const Address& address, bool trust_ack);
  Status Probe(const Address& address);
  FoundMeter ReadFound(const Address& address, int primary, Status& read);
  std::optional<FoundMeter> Confirmed(const Address& address, int primary);
  static std::optional<std::uint32_t> NumberSelected(const Address& address);
  void Report(const FoundMeter& m);
  void Search(SearchPattern pattern);
  Address SelectionOf(const SearchPattern& pattern) const;

  Bus& bus_;
  std::function<void(const FoundMeter&)> found_;
  std::function<void(int, int)> progress_;
  std::atomic<bool> stop_{false};
  int probes_ = 0;
  std::vector<FoundMeter> results_;
};

}  // namespace velmar
