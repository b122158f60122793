// Home Assistant's MQTT discovery: one retained configuration message per value a meter has, so
// its meters appear as devices without any setup on that side. Every configured meter is a
// device from the start, with its status (the last result in words, with its number, its time
// and the time of the last good reading) and its status byte's flags as problem sensors, so a
// meter that never answers, or whose telegrams cannot be read, is there to see. Its value
// entities are announced after its first good read, from the values that read brought (a water
// meter gets volume and flow, an electricity meter energy, power, voltage and current per
// phase), and again when they change. Each meter is a device made by its own maker, reached
// through the collector's device.
#pragma once

#include <string>
#include <vector>

#include "meter_read.hpp"
#include "mqtt_publisher.hpp"
#include "poll_config.hpp"
#include "profiles.hpp"

namespace velmar::tools {

// The id a name takes in entity ids: lower-case letters, digits and '_' ("ev.charger" and
// "EV_Charger" both give "ev_charger"); ParsePollConfig refuses meters whose ids collide.
std::string EntityIdPart(const std::string& name);

// The collector's own device (what every meter is reached through): one connectivity sensor on
// PREFIX/status.
MqttMessage CollectorDiscovery(const MqttEntry& mqtt);

// What every meter has from the start: its status sensor (available while the collector is:
// it says why the meter fails) and one problem sensor per status flag (available while the
// meter is).
std::vector<MqttMessage> MeterStatusDiscovery(const MqttEntry& mqtt, const MeterEntry& meter);

// One sensor per plain value of `read` (with the device class, state class and unit of its
// kind); with what the meter's profile made of the read (`named`; no profile: empty), one
// sensor per named field it holds and one problem binary sensor per alarm flag of the profile; and
// the status entities with the device as the read names it (maker, model, serial number). The
// values are available while the collector is online and the meter's last read succeeded.
std::vector<MqttMessage> MeterDiscovery(const MqttEntry& mqtt, const MeterEntry& meter,
                                        const MeterRead& read, const ProfileReading& named);

}  // namespace velmar::tools
