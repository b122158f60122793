#include "pty_reader.hpp"

#include <algorithm>
#include <cmath>

namespace velmar::bench {

PtyReader::PtyReader(std::vector<sim::SimMeter*> meters, int baud, bool keepPortOpen)
    : server(std::move(meters), baud) {
  auto port = std::make_unique<posix::PosixSerialPort>(events);
  port->SetDevicePath(1, server.DevicePath());
  control = std::make_unique<Velmar>(HostServices{events, messages, container}, std::move(port));
  control->InitProperties();
  control->CommSpeed(Variant(std::int32_t{baud}));
  control->keepPortopen(keepPortOpen);
}

double ReadFloorMs(sim::SimMeter& meter, int baud, bool opensPort, bool closesPort) {
  const double char_ms = 11.0 * 1000.0 / baud;
  const double delay = meter.config().responseDelayMs;
  const double reply_end = delay + static_cast<double>(meter.DataTelegram().size()) * char_ms;
  const double wait_start = std::max(150.0, delay + char_ms);
  const double pauses = 1 + std::max(0.0, std::ceil((reply_end - wait_start) / 80.0));
  const double settle = (opensPort ? 50 : 0) + (closesPort ? 50 : 0);
  return settle + 200 + wait_start + 80 * pauses;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace velmar::bench
