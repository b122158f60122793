// The meter's status byte (EN 13757-3, the same in wired and wireless telegrams) as named flags:
// its application status in bits 0-1 (busy, an application error, an abnormal condition), power
// low, a permanent and a temporary error, and three bits the manufacturer gives meanings to. A
// leak or a dead battery reaches a dashboard as one of these.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velmar::tools {

struct StatusFlag {
  std::string_view name;   // the key in messages and in entity ids: "power_low"
  std::string_view label;  // the entity's name: "Power low"
  bool (*set)(std::uint8_t status);
};

// Every flag, in bit order.
std::span<const StatusFlag> StatusFlags();

// {"application_busy": false, ..., "manufacturer_3": false}: every flag of `status`.
nlohmann::ordered_json StatusFlagsJson(std::uint8_t status);

}  // namespace velmar::tools
