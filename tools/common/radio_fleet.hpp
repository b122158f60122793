// Simulated wireless meters: a fleet of N meters of several media, some sending plain records,
// some enciphered in security mode 5 or 7 with the fleet's key, some with another key (the
// receiver's key does not open them), and now and then a telegram the air damages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velmar/wmbus.hpp"

namespace velmar::tools {

class RadioFleet {
 public:
  // Meters 70000001 .. 7000000N (N from 1 to 9999) with `key`.
  RadioFleet(int meters, const MeterKey& key);

  // The next meter's next telegram, from its L field without CRCs; `damaged` says whether the
  // air damages this one (one in seven), which the caller does as its receiver would show it.
  // Meters take turns.
  std::vector<std::uint8_t> Next(bool& damaged);
  // The identification number of meter `i` (0-based) and how it protects its records: "plain",
  // "mode 5", "mode 7" or "mode 5, another key".
  static std::string Ident(int i);
  static std::string Protection(int i);

 private:
  int meters_;
  MeterKey key_;
  std::uint32_t sent_ = 0;
};

}  // namespace velmar::tools
