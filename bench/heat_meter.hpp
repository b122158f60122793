// The wireless heat meter the decoding benchmarks read: a telegram as such meters send them every
// few minutes, with energy, volume, flow and return temperature, power and a date (30 bytes of
// records).
#pragma once

#include <cstdint>
#include <vector>

#include "velmar/wmbus.hpp"

namespace velmar::bench {

// Meter `meter` (identification number 70000000 + meter), its records in security `mode` (0
// plain) under `key` (needed for modes 5 and 7).
inline std::vector<std::uint8_t> HeatMeterTelegram(int meter, std::uint8_t mode,
                                                   const MeterKey* key) {
  WirelessMessage m;
  m.manufacturerCode = 0x58AC;  // VEL
  m.ident = static_cast<std::uint32_t>(70000000 + meter);
  m.version = 1;
  m.deviceType = 0x04;
  m.accessNumber = static_cast<std::uint8_t>(meter);
  m.securityMode = mode;
  m.counter = static_cast<std::uint32_t>(meter) + 1;
  m.records = {0x04, 0x06, 0x10, 0x27, 0x00, 0x00,   // energy 10000 kWh
               0x04, 0x13, 0x20, 0x4E, 0x00, 0x00,   // volume 20000 l
               0x02, 0x5A, 0x2C, 0x01,               // flow temperature 30.0 °C
               0x02, 0x5E, 0xC8, 0x00,               // return temperature 20.0 °C
               0x02, 0x2B, 0xE8, 0x03,               // power 1000 W
               0x04, 0x6D, 0x00, 0x0C, 0x86, 0x2B};  // date and time
  return BuildWirelessTelegram(m, key);
}

}  // namespace velmar::bench
