#include "status_flags.hpp"

#include <array>

namespace velmar::tools {
namespace {

// Bits 0-1 are one two-bit field: 01 busy, 10 an application error, 11 an abnormal condition.
constexpr std::uint8_t Application(std::uint8_t status) {
  return status & 0x03;
}

constexpr std::array<StatusFlag, 9> kFlags = {{
    {"application_busy", "Application busy", [](std::uint8_t s) { return Application(s) == 1; }},
    {"application_error", "Application error", [](std::uint8_t s) { return Application(s) == 2; }},
    {"abnormal_condition", "Abnormal condition",
     [](std::uint8_t s) { return Application(s) == 3; }},
    {"power_low", "Power low", [](std::uint8_t s) { return (s & 0x04) != 0; }},
    {"permanent_error", "Permanent error", [](std::uint8_t s) { return (s & 0x08) != 0; }},
    {"temporary_error", "Temporary error", [](std::uint8_t s) { return (s & 0x10) != 0; }},
    {"manufacturer_1", "Manufacturer flag 1", [](std::uint8_t s) { return (s & 0x20) != 0; }},
    {"manufacturer_2", "Manufacturer flag 2", [](std::uint8_t s) { return (s & 0x40) != 0; }},
    {"manufacturer_3", "Manufacturer flag 3", [](std::uint8_t s) { return (s & 0x80) != 0; }},
}};

}  // namespace

std::span<const StatusFlag> StatusFlags() {
  return kFlags;
}

nlohmann::ordered_json StatusFlagsJson(std::uint8_t status) {
  nlohmann::ordered_json j;
  for (const StatusFlag& f : kFlags) j[std::string(f.name)] = f.set(status);
  return j;
}

}  // namespace velmar::tools
