// A telegram decoded by the standard record decoder, as the JSON object `velmar decode
// --records` prints and `velmar read --records` adds.
#pragma once

#include <span>

#include <nlohmann/json.hpp>

#include "velmar/records.hpp"

namespace velmar::tools {

// {"result", "header": {...}, "records": [...], "manufacturerData", "moreRecords"}, and
// "error" when a malformed record ended the list.
nlohmann::ordered_json RecordsJson(const DecodedTelegram& telegram);
// The "records" array alone.
nlohmann::ordered_json RecordListJson(const DecodedTelegram& telegram);
nlohmann::ordered_json RecordListJson(std::span<const DataRecord> records);

}  // namespace velmar::tools
