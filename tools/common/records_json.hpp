// A telegram decoded by the standard record decoder, as the JSON object `velmar decode
// --records` prints and `velmar read --records` adds.
#pragma once

#include <span>

#include <nlohmann/json.hpp>

#include "velmar/records.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {

// {"result", "header": {...}, "records": [...], "manufacturerData", "moreRecords"}, and
// "error" when a malformed record ended the list.
nlohmann::ordered_json RecordsJson(const DecodedTelegram& telegram);
// A wireless telegram as `velmar decode --wireless` prints it: "format" (A, B, without CRCs),
// "link" (c, identNumber, manufacturer, version, deviceType), "header", "values", "records",
// "manufacturerData"; "error" instead of values and records when it could not be read (a
// damaged block, enciphered data), and "error" alone when the frame did not open.
nlohmann::ordered_json WirelessJson(const WirelessTelegram& telegram);
// The "records" array alone.
nlohmann::ordered_json RecordListJson(const DecodedTelegram& telegram);
nlohmann::ordered_json RecordListJson(std::span<const DataRecord> records);

}  // namespace velmar::tools
