// `velmar simulate --receiver`: a radio receiver stick on a pseudo-terminal or a TCP port on
// 127.0.0.1, answering its configuration command and passing on the telegrams of a fleet of
// simulated wireless meters at a steady rate, as the stick would deliver them.
#pragma once

#include "velmar/radio.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {

struct StickOptions {
  ReceiverKind kind = ReceiverKind::kHex;
  int meters = 4;
  MeterKey key{};
  int intervalMs = 500;  // between two telegrams of the fleet
  int tcpPort = -1;      // -1: a pseudo-terminal
  bool rtl433 = false;   // print rtl_433's JSON lines on standard output instead of a stick
};

// Prints where the stick is (the pseudo-terminal's path or 127.0.0.1:PORT) on standard output,
// then serves until SIGINT or SIGTERM; as rtl_433, prints its JSON line for each telegram heard
// (one damaged on the air is dropped, as rtl_433 drops a frame whose CRCs fail) on standard
// output until then, or until nobody reads it. Returns the exit status. Throws Error when no
// pseudo-terminal or port can be had.
int RunSimulatedStick(const StickOptions& options);

}  // namespace velmar::tools
