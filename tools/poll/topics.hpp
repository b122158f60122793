// The collector's MQTT topics, in one place: PREFIX/METER/state (each reading),
// PREFIX/METER/availability (retained: "online" while the meter's last read succeeded,
// "offline" after a failed one or while its bus is lost), PREFIX/bus/NAME/state (retained: a
// bus's or radio's port, lost or working, why and since when; four levels, so no meter's
// topic is ever one) and PREFIX/status (retained: the collector itself).
#pragma once

#include <string>

namespace velmar::tools {

inline std::string StateTopic(const std::string& prefix, const std::string& meter) {
  std::string topic = prefix;
  topic += '/';
  topic += meter;
  topic += "/state";
  return topic;
}

inline std::string AvailabilityTopic(const std::string& prefix, const std::string& meter) {
  std::string topic = prefix;
  topic += '/';
  topic += meter;
  topic += "/availability";
  return topic;
}

inline std::string BusStateTopic(const std::string& prefix, const std::string& bus) {
  std::string topic = prefix;
  topic += "/bus/";
  topic += bus;
  topic += "/state";
  return topic;
}

inline std::string StatusTopic(const std::string& prefix) {
  std::string topic = prefix;
  topic += "/status";
  return topic;
}

}  // namespace velmar::tools
