// The simulated meter's configuration file: "key = value" lines (id, address, manufacturer,
// password, energy, datetime, status, firmware, delay), every value checked as it is read.
#pragma once

#include <istream>
#include <string>

#include "meter_model.hpp"

namespace velmar::tools {

// Reads at most 64 KiB from `path`; throws Error for a file that cannot be read or is larger,
// and what ParseMeterConfig throws.
void LoadMeterConfig(const std::string& path, sim::MeterConfig& config);
// Sets `config` from the lines of `in`; throws ArgumentError naming `name`, the line and the
// key for a line that is not key = value, an unknown key or a value out of its range.
void ParseMeterConfig(std::istream& in, const std::string& name, sim::MeterConfig& config);
// A fault of the simulated meter as `velmar simulate --fault` takes it: NAME or NAME:VALUE
// (checksum, silence, delay:MS, ...). Throws ArgumentError naming an unknown fault.
sim::Fault ParseFault(const std::string& text);
// A whole decimal number, or ArgumentError naming `what`.
int NumberOf(const std::string& text, const std::string& what);

}  // namespace velmar::tools
