#include "radio_message.hpp"

#include "meter_read.hpp"
#include "plain_values.hpp"
#include "poll_log.hpp"
#include "records_json.hpp"
#include "status_flags.hpp"

namespace velmar::tools {

void RadioMessage(const WirelessTelegram& t, const HeardTelegram& heard,
                  std::chrono::system_clock::time_point when, nlohmann::ordered_json& j,
                  const std::vector<PlainValue>* values) {
  j["time"] = IsoUtc(when);
  const std::int16_t result = RadioResult(t);
  j["result"] = result;
  j["status"] = std::string(RadioStatusText(t));
  if (result != 0) j["error"] = RadioError(t);
  const TelegramHeader& h = t.decoded.header;
  if (!t.bytes.empty()) {
    j["identNumber"] = std::string(h.ident.data());
    j["manufacturer"] = std::string(h.manufacturer.data());
    j["version"] = h.version;
    j["medium"] = h.medium;
    j["mediumName"] = std::string(h.mediumName);
  }
  if (heard.rssi) j["rssi"] = *heard.rssi;
  if (heard.mode) j["mode"] = std::string(RadioModeName(*heard.mode));
  if (t.compact) j["compact"] = true;
  if (result != 0) return;
  j["accessNumber"] = h.accessNumber;
  if (h.hasStatus) {
    j["statusByte"] = h.status;
    j["statusFlags"] = StatusFlagsJson(h.status);
  }
  if (h.encryptionMode == 7) {
    j["messageCounter"] = t.messageCounter;
    j["authenticated"] = t.authenticated;
  }
  j["values"] =
      values != nullptr ? ValuesJson(*values) : ValuesJson(PlainValues(t.decoded.records));
  j["records"] = RecordListJson(t.decoded);
}

}  // namespace velmar::tools
