#include "records_json.hpp"

#include "plain_values.hpp"
#include "radio_result.hpp"
#include "velmar/hex.hpp"

namespace velmar::tools {
namespace {

nlohmann::ordered_json HeaderJson(const TelegramHeader& h) {
  nlohmann::ordered_json j;
  j["identNumber"] = std::string(h.ident.data());
  // A fixed data structure names neither its maker nor a version.
  if (!IsFixedStructure(h)) {
    j["manufacturer"] = std::string(h.manufacturer.data());
    j["version"] = h.version;
  }
  j["medium"] = h.medium;
  j["mediumName"] = std::string(h.mediumName);
  j["accessNumber"] = h.accessNumber;
  if (h.hasStatus) j["status"] = h.status;
  return j;
}

nlohmann::ordered_json RecordJson(const DataRecord& r) {
  nlohmann::ordered_json j;
  j["storage"] = r.storage;
  j["tariff"] = r.tariff;
  j["subunit"] = r.subunit;
  j["function"] = std::string(FunctionName(r.function));
  j["quantity"] = std::string(r.quantity);
  j["unit"] = UnitText(r);
  if (r.kind == ValueKind::kNumber) {
    j["value"] = r.value;
  } else if (r.kind == ValueKind::kNone) {
    j["value"] = nullptr;
  } else {
    j["value"] = ValueText(r);
  }
  if (r.date.invalid && r.kind != ValueKind::kNumber) j["invalid"] = true;
  if (r.phase != 0) j["phase"] = r.phase;
  if (r.errorCode >= 0) j["errorCode"] = r.errorCode;
  if (r.manufacturerVif || r.manufacturerVife) j["manufacturerSpecific"] = true;
  if (r.unscaled) j["unscaled"] = true;
  if (r.profile) j["profile"] = true;
  if (r.timePoint) j["timePoint"] = true;
  return j;
}

}  // namespace

nlohmann::ordered_json RecordListJson(const DecodedTelegram& t) {
  return RecordListJson(t.records);
}

nlohmann::ordered_json RecordListJson(std::span<const DataRecord> records) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const DataRecord& r : records) list.push_back(RecordJson(r));
  return list;
}

nlohmann::ordered_json WirelessJson(const WirelessTelegram& t) {
  nlohmann::ordered_json j;
  j["result"] = RadioResult(t);
  j["status"] = std::string(RadioStatusText(t));
  if (t.bytes.empty()) {  // the frame did not open
    j["error"] = t.error;
    return j;
  }
  j["format"] = std::string(FrameFormatName(t.format));
  if (t.compact) j["compact"] = true;
  const WirelessLink& l = t.link;
  j["link"] = {{"c", l.c},
               {"identNumber", std::string(l.ident.data())},
               {"manufacturer", std::string(l.manufacturer.data())},
               {"version", l.version},
               {"deviceType", l.deviceType}};
  j["header"] = HeaderJson(t.decoded.header);
  if (t.decoded.header.encryptionMode == 7 && t.messageCounter != 0) {
    j["messageCounter"] = t.messageCounter;
    j["authenticated"] = t.authenticated;
  }
  if (!t.error.empty()) {
    j["error"] = t.error;
    return j;
  }
  j["values"] = ValuesJson(PlainValues(t.decoded.records));
  j["records"] = RecordListJson(t.decoded);
  j["manufacturerData"] = HexText(t.decoded.manufacturerData);
  if (!t.decoded.error.empty()) j["error"] = t.decoded.error;
  return j;
}

nlohmann::ordered_json RecordsJson(const DecodedTelegram& t) {
  nlohmann::ordered_json j;
  j["result"] = t.result;
  if (t.result != 0) return j;
  j["header"] = HeaderJson(t.header);
  j["records"] = RecordListJson(t);
  j["manufacturerData"] = HexText(t.manufacturerData);
  j["moreRecords"] = t.moreRecords;
  if (!t.error.empty()) j["error"] = t.error;
  return j;
}

}  // namespace velmar::tools
