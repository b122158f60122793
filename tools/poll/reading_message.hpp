// The message the collector publishes for one read of one meter. Success: "meter", "bus",
// "time", "result" (0), "identNumber" (eight characters), "manufacturer", "version", "medium",
// "mediumName", "telegrams", "values" (plain names in everyday units), "control" (this maker's
// meters only: the control's member values), "records". Failure: "meter", "bus", "time",
// "result", "error", and "identNumber" when the meter was addressed by it: nothing else, so
// nothing of another meter or an earlier read can appear in it.
#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "meter_read.hpp"
#include "poll_config.hpp"

namespace velmar::tools {

nlohmann::ordered_json ReadingMessage(const MeterEntry& meter, const std::string& bus,
                                      std::chrono::system_clock::time_point when,
                                      const MeterRead& read);

}  // namespace velmar::tools
