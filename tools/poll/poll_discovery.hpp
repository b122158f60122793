// Home Assistant's MQTT discovery: one retained configuration message per value, so the meters
// appear with their energy, tariff registers and error values without any setup on that side.
#pragma once

#include <vector>

#include "mqtt_publisher.hpp"
#include "poll_config.hpp"

namespace velmar::tools {

// For every meter: total energy and tariffs 1 to 4 (kWh, device class energy, total increasing,
// unknown after a failed read rather than a drop to zero), the meter's status byte and error
// flags, and the read's result (diagnostic). Available while PREFIX/status is "online".
std::vector<MqttMessage> DiscoveryMessages(const PollConfig& config);

}  // namespace velmar::tools
