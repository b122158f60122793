// The message the collector publishes for one read of one meter. Success: "meter", "bus",
// "time" (when the values were read), "result" (0), "status" ("ok"), "lastGood" (the same
// time), "identNumber" (eight characters), "manufacturer", "version", "medium", "mediumName",
// "accessNumber" (of the telegram the values came from), "statusByte" and "statusFlags" (the
// meter's status byte and its named flags), "telegrams", "values" (plain names in everyday
// units), "control" (this maker's meters only: the control's member values), "records".
// Failure: "meter", "bus", "time", "result", "status" (the result in words), "error",
// "lastGood" (when the meter last read well, absent when it never did), and "identNumber" when
// the meter was addressed by it: nothing else, so nothing of another meter or an earlier read
// can appear in it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "meter_read.hpp"
#include "poll_config.hpp"

namespace velmar::tools {

nlohmann::ordered_json ReadingMessage(
    const MeterEntry& meter, const std::string& bus, std::chrono::system_clock::time_point when,
    const MeterRead& read, std::optional<std::chrono::system_clock::time_point> last_good);

}  // namespace velmar::tools
