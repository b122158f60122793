#include "poll_discovery.hpp"

#include <nlohmann/json.hpp>

#include "maker_names.hpp"
#include "plain_values.hpp"
#include "status_flags.hpp"
#include "topics.hpp"

namespace velmar::tools {
namespace {

using Json = nlohmann::ordered_json;

std::string NodeId(const MqttEntry& mqtt) {
  std::string id = "velmar_";
  id += EntityIdPart(mqtt.prefix);
  return id;
}

std::string DeviceId(const MqttEntry& mqtt, const MeterEntry& meter) {
  std::string id = NodeId(mqtt);
  id += '_';
  id += EntityIdPart(meter.name);
  return id;
}

Json Origin() {
  return {{"name", "velmar"}, {"sw_version", VELMAR_VERSION}, {"support_url", VELMAR_HOMEPAGE}};
}

// Volumes of water and gas count in Home Assistant's water and gas dashboards.
std::string_view VolumeClass(std::uint8_t medium) {
  switch (medium) {
    case 0x03:
      return "gas";
    case 0x06:
    case 0x07:
    case 0x15:
    case 0x16:
    case 0x17:
      return "water";
    default:
      return "volume";
  }
}

// A meter's device before any read has named it: the configuration's name alone.
Json BareDevice(const MqttEntry& mqtt, const MeterEntry& meter) {
  Json d;
  d["identifiers"] = Json::array({DeviceId(mqtt, meter)});
  d["name"] = meter.name;
  d["via_device"] = NodeId(mqtt);
  return d;
}

Json Device(const MqttEntry& mqtt, const MeterEntry& meter, const TelegramHeader& h) {
  Json d;
  d["identifiers"] = Json::array({DeviceId(mqtt, meter)});
  d["name"] = meter.name;
  const std::string code(h.manufacturer.data());
  if (!code.empty()) d["manufacturer"] = ManufacturerText(code);
  std::string model(h.mediumName.empty() ? "M-Bus meter" : h.mediumName);
  if (!IsFixedStructure(h)) {
    model += ", version ";
    model += std::to_string(h.version);
  }
  d["model"] = model;
  if (h.ident[0] != '\0') d["serial_number"] = std::string(h.ident.data());
  d["via_device"] = NodeId(mqtt);
  return d;
}

// A missing value is unknown, not zero: a total-increasing sensor would take a zero for a reset.
// The value of `name` in the message's `group` ("values", "fields"), or unknown when a message
// has none.
std::string ValueTemplate(const std::string& name, const std::string& group = "values") {
  std::string t = "{% if value_json.result == 0 and '" + group + "' in value_json and '";
  t += name;
  t += "' in value_json['" + group + "'] %}{{ value_json['" + group + "']['";
  t += name;
  t += "'] }}{% else %}None{% endif %}";
  return t;
}

Json Sensor(const MqttEntry& mqtt, const MeterEntry& meter, const Json& device,
            const std::string& key, const std::string& label) {
  const std::string id = DeviceId(mqtt, meter) + "_" + EntityIdPart(key);
  Json c;
  c["name"] = label;
  c["unique_id"] = id;
  c["default_entity_id"] = "sensor." + id;
  c["state_topic"] = StateTopic(mqtt.prefix, meter.name);
  c["device"] = device;
  c["origin"] = Origin();
  return c;
}

MqttMessage Config(const MqttEntry& mqtt, const MeterEntry& meter, const std::string& key,
                   const Json& c, const char* component = "sensor") {
  std::string topic = mqtt.discoveryPrefix;
  topic += '/';
  topic += component;
  topic += '/';
  topic += NodeId(mqtt);
  topic += '/';
  topic += EntityIdPart(meter.name);
  topic += '_';
  topic += EntityIdPart(key);
  topic += "/config";
  return {topic, c.dump()};
}

// A profile's field as an entity: a value at storage 0 is the meter's present one (its kind's
// state class); one kept at a billing date is a snapshot, with no state class.
Json FieldEntity(const MqttEntry& mqtt, const MeterEntry& meter, const Json& device,
                 const ProfileField& f, const Json& availability) {
  Json c = Sensor(mqtt, meter, device, f.name, f.label);
  c["value_template"] = ValueTemplate(f.name, "fields");
  c["availability"] = availability;
  c["availability_mode"] = "all";
  if (const ValueSort* sort = FindSort(f.quantity)) {
    if (!sort->unit.empty()) c["unit_of_measurement"] = sort->unit;
    if (!sort->deviceClass.empty()) c["device_class"] = sort->deviceClass;
    if (!sort->stateClass.empty() && f.storage == 0) c["state_class"] = sort->stateClass;
  }
  return c;
}

// A profile's alarm flag as a problem: on while set, off while clear, unknown while the
// meter's telegrams do not carry its byte.
Json AlarmEntity(const MqttEntry& mqtt, const MeterEntry& meter, const Json& device,
                 const ProfileFlag& f, const Json& availability) {
  Json b = Sensor(mqtt, meter, device, f.name, f.meaning);
  b["default_entity_id"] = "binary_sensor." + b["unique_id"].get<std::string>();
  b["value_template"] = "{% if 'flags' in value_json and '" + f.name +
                        "' in value_json.flags %}{{ 'ON' if value_json.flags['" + f.name +
                        "'] else 'OFF' }}{% else %}None{% endif %}";
  b["device_class"] = "problem";
  b["availability"] = availability;
  b["availability_mode"] = "all";
  return b;
}

// The status stays available while the meter fails: it says why, with the result's number, the
// reading's time and the last good reading's time as attributes. The flags of the status byte
// are problems while set; unknown (not off) while the meter has no good reading.
std::vector<MqttMessage> StatusEntities(const MqttEntry& mqtt, const MeterEntry& meter,
                                        const Json& device) {
  std::vector<MqttMessage> out;
  Json r = Sensor(mqtt, meter, device, "status", "Status");
  r["value_template"] =
      "{% if value_json.result == 0 %}ok{% else %}{{ value_json.status }}: "
      "{{ value_json.error }}{% endif %}";
  r["json_attributes_topic"] = StateTopic(mqtt.prefix, meter.name);
  r["json_attributes_template"] =
      "{{ {'result': value_json.result, 'time': value_json.time, 'last_good': "
      "value_json.lastGood | default(None)} | tojson }}";
  r["availability_topic"] = StatusTopic(mqtt.prefix);
  r["entity_category"] = "diagnostic";
  out.push_back(Config(mqtt, meter, "status", r));
  const Json both = Json::array({{{"topic", StatusTopic(mqtt.prefix)}},
                                 {{"topic", AvailabilityTopic(mqtt.prefix, meter.name)}}});
  for (const StatusFlag& f : StatusFlags()) {
    const std::string name(f.name);
    Json b = Sensor(mqtt, meter, device, name, std::string(f.label));
    b["default_entity_id"] = "binary_sensor." + b["unique_id"].get<std::string>();
    b["value_template"] = "{% if 'statusFlags' in value_json %}{{ 'ON' if value_json.statusFlags." +
                          name + " else 'OFF' }}{% else %}None{% endif %}";
    b["device_class"] = "problem";
    b["availability"] = both;
    b["availability_mode"] = "all";
    b["entity_category"] = "diagnostic";
    out.push_back(Config(mqtt, meter, name, b, "binary_sensor"));
  }
  return out;
}

}  // namespace

std::string EntityIdPart(const std::string& name) {
  std::string id;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    id += std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '_';
  }
  return id;
}

MqttMessage CollectorDiscovery(const MqttEntry& mqtt) {
  const std::string id = NodeId(mqtt);
  Json c;
  c["name"] = "Collector";
  c["unique_id"] = id + "_online";
  c["default_entity_id"] = "binary_sensor." + id + "_online";
  c["state_topic"] = StatusTopic(mqtt.prefix);
  c["payload_on"] = "online";
  c["payload_off"] = "offline";
  c["device_class"] = "connectivity";
  c["entity_category"] = "diagnostic";
  c["device"] = {{"identifiers", Json::array({id})},
                 {"name", "Velmar collector " + mqtt.prefix},
                 {"manufacturer", "Velmar"},
                 {"model", "M-Bus collector"},
                 {"sw_version", VELMAR_VERSION}};
  c["origin"] = Origin();
  return {mqtt.discoveryPrefix + "/binary_sensor/" + id + "/online/config", c.dump()};
}

std::vector<MqttMessage> MeterDiscovery(const MqttEntry& mqtt, const MeterEntry& meter,
                                        const MeterRead& read, const ProfileReading& named) {
  std::vector<MqttMessage> out;
  const Json device = Device(mqtt, meter, read.reading.header);
  const Json both = Json::array({{{"topic", StatusTopic(mqtt.prefix)}},
                                 {{"topic", AvailabilityTopic(mqtt.prefix, meter.name)}}});
  for (const PlainValue& v : read.values) {
    Json c = Sensor(mqtt, meter, device, v.name, v.label);
    c["value_template"] = ValueTemplate(v.name);
    c["availability"] = both;
    c["availability_mode"] = "all";
    if (!v.sort->unit.empty()) c["unit_of_measurement"] = v.sort->unit;
    const std::string_view cls =
        v.sort->stem == "volume" ? VolumeClass(read.reading.header.medium) : v.sort->deviceClass;
    if (!cls.empty()) c["device_class"] = cls;
    if (!v.sort->stateClass.empty()) c["state_class"] = v.sort->stateClass;
    if (v.sort->deviceClass.empty()) c["entity_category"] = "diagnostic";
    out.push_back(Config(mqtt, meter, v.name, c));
  }
  if (const Profile* profile = named.profile) {
    for (const FieldValue& f : named.fields) {
      out.push_back(
          Config(mqtt, meter, f.field->name, FieldEntity(mqtt, meter, device, *f.field, both)));
    }
    for (const ProfileFlag& f : profile->flags) {
      if (f.alarm) {
        out.push_back(Config(mqtt, meter, f.name, AlarmEntity(mqtt, meter, device, f, both),
                             "binary_sensor"));
      }
    }
  }
  const auto status = StatusEntities(mqtt, meter, device);
  out.insert(out.end(), status.begin(), status.end());
  return out;
}

std::vector<MqttMessage> MeterStatusDiscovery(const MqttEntry& mqtt, const MeterEntry& meter) {
  return StatusEntities(mqtt, meter, BareDevice(mqtt, meter));
}

}  // namespace velmar::tools
