#include "reading_message.hpp"

#include "maker_fields.hpp"
#include "poll_log.hpp"
#include "records_json.hpp"
#include "status_flags.hpp"

namespace velmar::tools {
namespace {

// The identity as the meter's header gives it; a fixed data structure names no maker or version.
void Identity(const TelegramHeader& h, const Address& address, nlohmann::ordered_json& j) {
  if (h.ident[0] != '\0') {
    j["identNumber"] = std::string(h.ident.data());
  } else if (address.secondary) {
    j["identNumber"] = address.Text();
  }
  if (!IsFixedStructure(h)) {
    j["manufacturer"] = std::string(h.manufacturer.data());
    j["version"] = h.version;
  }
  j["medium"] = h.medium;
  j["mediumName"] = std::string(h.mediumName);
}

}  // namespace

nlohmann::ordered_json ReadingMessage(
    const MeterEntry& meter, const std::string& bus, std::chrono::system_clock::time_point when,
    const MeterRead& read, std::optional<std::chrono::system_clock::time_point> last_good) {
  nlohmann::ordered_json j;
  j["meter"] = meter.name;
  j["bus"] = bus;
  j["time"] = IsoUtc(when);
  j["result"] = read.Code();
  j["status"] = std::string(StatusText(read.status));
  const Address address = Address::Parse(meter.address).value_or(Address{});
  if (!read.Ok()) {
    j["error"] = read.error;
    if (last_good) j["lastGood"] = IsoUtc(*last_good);
    if (address.secondary) j["identNumber"] = address.Text();
    return j;
  }
  j["lastGood"] = IsoUtc(when);
  const TelegramHeader& h = read.reading.header;
  Identity(h, address, j);
  j["accessNumber"] = h.accessNumber;
  j["statusByte"] = h.status;
  j["statusFlags"] = StatusFlagsJson(h.status);
  j["telegrams"] = read.reading.telegrams.size();
  j["values"] = ValuesJson(read.values);
  if (read.maker) j["control"] = FieldsJson(*read.maker);
  j["records"] = RecordListJson(read.reading.records);
  return j;
}

}  // namespace velmar::tools
