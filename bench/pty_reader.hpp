// A control reading simulated meters through the real posix serial port on a pseudo-terminal,
// and the floor of such a read: what the protocol's fixed waits and the line itself take.
#pragma once

#include <memory>
#include <vector>

#include "line_peers.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::bench {

struct PtyReader {
  // Serves `meters` on a new pseudo-terminal at `baud` and wires a control to it.
  PtyReader(std::vector<sim::SimMeter*> meters, int baud, bool keepPortOpen);

  sim::PtyMeterServer server;
  posix::PosixEventLoop events;
  virt::RecordingMessageBox messages;
  posix::ConsoleContainer container;
  std::unique_ptr<Velmar> control;
};

// The shortest time a cmd_ReqUD2 of `meter` can take: 50 ms settle after opening (when the read
// opens the port), 200 ms after SND_NKE, 150 ms after REQ_UD2, then the reply collected in 80 ms
// pauses until one sees no new byte, then 50 ms settle after closing (when the read closes it). The
// reply's characters take 11 bits each after the meter's response delay. A pty passes the master's
// frames on at once, so the requests themselves cost no line time.
double ReadFloorMs(sim::SimMeter& meter, int baud, bool opensPort, bool closesPort);

// Median and 95th percentile of a sample.
double Percentile(std::vector<double> values, double fraction);

}  // namespace velmar::bench
