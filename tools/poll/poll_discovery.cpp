#include "poll_discovery.hpp"

#include <nlohmann/json.hpp>

#include "maker_fields.hpp"

namespace velmar::tools {
namespace {

// Entity ids allow letters, digits and '_' only.
std::string IdPart(const std::string& text) {
  std::string id;
  for (char c : text) id += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return id;
}

// A failed read carries no values; a total-increasing sensor would take a zero for a meter
// reset, so a missing value is unknown.
std::string WhenRead(const std::string& value) {
  return "{% if value_json.result == 0 and not value_json.Timeout and " + value +
         " is defined %}{{ " + value + " }}{% else %}None{% endif %}";
}

// The JSON path of one of this maker's named values, as the reading carries it.
std::string Field(const char* name, const std::string& index = "") {
  // Appended, not put in front of a temporary: g++ 12 at -O3 warns (wrongly) about that.
  std::string path = "value_json.";
  path += FindMakerField(name)->name;
  path += index;
  return path;
}

}  // namespace

std::vector<MqttMessage> DiscoveryMessages(const PollConfig& config) {
  std::vector<MqttMessage> out;
  const MqttEntry& mqtt = config.mqtt;
  const std::string node = "velmar_" + IdPart(mqtt.prefix);
  for (const BusEntry& bus : config.buses) {
    for (const MeterEntry& meter : bus.meters) {
      const std::string device_id = node + "_" + IdPart(meter.name);
      auto add = [&](const std::string& key, const std::string& name, const std::string& value,
                     bool energy) {
        nlohmann::ordered_json c;
        c["name"] = name;
        c["unique_id"] = device_id + "_" + key;
        c["object_id"] = device_id + "_" + key;
        c["state_topic"] = mqtt.prefix + "/" + meter.name + "/state";
        c["availability_topic"] = mqtt.prefix + "/status";
        if (energy) {
          c["value_template"] = WhenRead(value);
          c["unit_of_measurement"] = FindMakerField("ActiveEnergyTotal")->unit;
          c["device_class"] = "energy";
          c["state_class"] = "total_increasing";
        } else {
          c["value_template"] =
              value == "value_json.result" ? "{{ value_json.result }}" : WhenRead(value);
          c["entity_category"] = "diagnostic";
        }
        c["device"] = {{"identifiers", {device_id}},
                       {"name", meter.name},
                       {"manufacturer", "M-Bus meter read by Velmar"},
                       {"model", "bus " + bus.name + ", address " + meter.address}};
        out.push_back({mqtt.discoveryPrefix + "/sensor/" + node + "/" + IdPart(meter.name) + "_" +
                           key + "/config",
                       c.dump()});
      };
      add("energy", "Energy", Field("ActiveEnergyTotal"), true);
      for (int t = 1; t <= 4; ++t) {
        // Appended, not put in front of a temporary: g++ 12 at -O3 warns (wrongly) about that.
        const std::string n = std::to_string(t);
        std::string key = "energy_t", label = "Energy tariff ", index = "[";
        key += n;
        label += n;
        index += n;
        index += "]";
        add(key, label, Field("ActiveEnergy", index), true);
      }
      add("status", "Meter status", Field("MeterErrorCode"), false);
      add("error_flags", "Error flags", Field("errorFlags"), false);
      add("result", "Read result", "value_json.result", false);
    }
  }
  return out;
}

}  // namespace velmar::tools
