// One read of one meter through the bus master, shared by every host that reads meters (the
// command line, the collector, the desktop tool's bus pane): every telegram, the standard
// records for any maker's meter, and this maker's named values where the meter is one of
// them. A failed read carries only its result and why: nothing from another meter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "plain_values.hpp"
#include "velmar/bus.hpp"
#include "velmar/maker_values.hpp"

namespace velmar::tools {

// Results of a read beyond the link checks' codes (-1 start, -2 stop, -3 structure, -4 checksum,
// -6 length, and -5/-7 from this maker's block).
struct ReadCode {
  enum : std::int16_t {
    kNoReply = -10,        // nothing answered, on every attempt
    kCollision = -11,      // several meters answered at once
    kEncrypted = -12,      // the meter enciphers its records and no key is known for it
    kWrongKey = -13,       // the key did not open the records, or their MAC did not hold
    kUnreadable = -14,     // a radio telegram damaged, cut, or whose records do not hold
    kNotSupported = -15,   // a security mode or layer not read here
    kFormatUnknown = -16,  // a compact frame whose format no full frame has shown yet
  };
};

// The result code in words, as messages give it beside the number: "ok", "damaged reply" (a
// link check code -1 to -7), "no reply", "collision", "no key", "wrong key", "unreadable",
// "mode not supported", "compact frame, format not yet known".
std::string_view ReadCodeText(std::int16_t code);

struct MeterRead {
  Reading reading;
  // The result in the control's codes: 0, or a LinkResult code of the reply that failed (a
  // read that got no reply is 0 with `noReply`); kEncrypted for enciphered records.
  std::int16_t result = 0;
  // The result as the collector publishes it: 0, a link check code, or a ReadCode.
  std::int16_t code = 0;
  bool noReply = false;
  bool portFailed = false;           // the port did not open or failed meanwhile
  std::string error;                 // what went wrong, "" on success
  std::optional<MakerValues> maker;  // this maker's meter, read without fault
  std::vector<PlainValue> values;    // the plain values of every telegram

  bool Ok() const { return result == 0 && !noReply && !portFailed; }
};

// Reads `address` on `bus`. Never throws but std::bad_alloc; at most the bus's worst case.
MeterRead ReadMeter(Bus& bus, const Address& address, const ReadOptions& options = {});

// A read the control made of this maker's meter (its checked reply, its result and whether
// nothing answered) as the same reading a read through the bus gives: values, records, JSON.
MeterRead MeterReadOf(const std::vector<std::uint8_t>& reply, std::int16_t result, bool noReply);

// The reading as `velmar read --json` prints it. Success: "result", "Timeout", this maker's
// named values under the control's member names (or the header's identity for another maker's
// meter), "telegrams", "values". Failure: "result", "error", "Timeout" alone.
nlohmann::ordered_json ReadingJson(const MeterRead& read);

}  // namespace velmar::tools
