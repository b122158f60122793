// Home Assistant's MQTT discovery: one retained configuration message per value a meter has, so
// its meters appear as devices without any setup on that side. A meter's entities are announced
// after its first good read, from the values that read brought (a water meter gets volume and
// flow, an electricity meter energy, power, voltage and current per phase), and again when they
// change. Each meter is a device made by its own maker, reached through the collector's device.
#pragma once

#include <string>
#include <vector>

#include "meter_read.hpp"
#include "mqtt_publisher.hpp"
#include "poll_config.hpp"

namespace velmar::tools {

// The id a name takes in entity ids: lower-case letters, digits and '_' ("ev.charger" and
// "EV_Charger" both give "ev_charger"); ParsePollConfig refuses meters whose ids collide.
std::string EntityIdPart(const std::string& name);

// The collector's own device (what every meter is reached through): one connectivity sensor on
// PREFIX/status.
MqttMessage CollectorDiscovery(const MqttEntry& mqtt);

// One sensor per plain value of `read` (with the device class, state class and unit of its
// kind), and a diagnostic sensor with the read's result. The values are available while the
// collector is online and the meter's last read succeeded; the result while the collector is.
std::vector<MqttMessage> MeterDiscovery(const MqttEntry& mqtt, const MeterEntry& meter,
                                        const MeterRead& read);

}  // namespace velmar::tools
