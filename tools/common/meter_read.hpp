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
#include "velmar/status.hpp"

namespace velmar::tools {

struct MeterRead {
  Reading reading;
  Status status = Status::kOk;  // what became of the read (StatusText says it in words)
  // The link check's code (-1 start, -2 stop, -3 structure, -4 checksum, -5 undecoded, -6
  // length, -7 block type) of the reply that failed it, 0 otherwise.
  std::int16_t linkResult = 0;
  std::string error;                 // what went wrong in full, "" on success
  std::optional<MakerValues> maker;  // this maker's meter, read without fault
  std::vector<PlainValue> values;    // the plain values of every telegram

  bool Ok() const { return status == Status::kOk; }
  bool NoReply() const { return status == Status::kNoReply; }
  bool PortFailed() const { return status == Status::kPortError; }
  // The result in the control's codes, as `velmar read` gives it: 0 (also when nothing
  // answered: "Timeout" says so), the link check's code, -3 for a collision (a damaged
  // acknowledge), -1 a port that failed, -12 enciphered records.
  std::int16_t Result() const;
  // The result as the collector publishes it: StatusCode(status, linkResult).
  std::int16_t Code() const { return StatusCode(status, linkResult); }
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
