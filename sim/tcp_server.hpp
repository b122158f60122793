// The simulated meters on a TCP port of the loopback interface, the way an M-Bus level converter
// with a network port (a "transparent" gateway) presents a bus: raw frame bytes both ways, one
// client at a time. Further clients are turned away while the bus is in use.
#pragma once

#include <cstdint>
#include <vector>

#include "meter_model.hpp"
#include "stream_server.hpp"

namespace velmar::sim {

// A listening socket on 127.0.0.1:port (0 picks a free port; `bound` is the one taken), for the
// simulators that serve a TCP client. Throws std::runtime_error naming the port when it cannot
// be had.
int ListenOnLoopback(std::uint16_t port, std::uint16_t& bound);

class TcpMeterServer : public StreamMeterServer {
 public:
  // Listens on 127.0.0.1:port (0 picks a free port); throws std::runtime_error when the port
  // cannot be had.
  TcpMeterServer(std::vector<SimMeter*> meters, std::uint16_t port, int baud = 2400);
  TcpMeterServer(SimMeter& meter, std::uint16_t port, int baud = 2400)
      : TcpMeterServer(std::vector<SimMeter*>{&meter}, port, baud) {}
  ~TcpMeterServer() override;

  std::uint16_t Port() const { return port_; }

 private:
  bool ServeOnce() override;
  bool SendByte(int fd, std::uint8_t b) override;
  void AcceptClient();
  void DropClient();

  int listener_ = -1;
  int client_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace velmar::sim
