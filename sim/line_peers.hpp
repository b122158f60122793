// Two ways to reach simulated meters: the virtual serial line (virtual time, for tests) and a
// pseudo-terminal served in real time, which a control opens like any serial device. Several
// meters can share one bus; the first one addressed answers.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "meter_model.hpp"
#include "stream_server.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::sim {

class VirtualMeterPeer : public virt::LinePeer {
 public:
  explicit VirtualMeterPeer(std::vector<SimMeter*> meters) : meters_(std::move(meters)) {}
  explicit VirtualMeterPeer(SimMeter& meter) : meters_{&meter} {}
  // Only meters listening at the line's speed (or at any) hear a frame.
  void OnByteFromMaster(std::uint8_t b, virt::VirtualSerialPort& line) override;
  void SetLine(const LineBehaviour& behaviour) { behaviour_ = behaviour; }

 private:
  std::vector<SimMeter*> meters_;
  FrameAssembler assembler_;
  LineBehaviour behaviour_;
};

class PtyMeterServer : public StreamMeterServer {
 public:
  // Opens a pseudo-terminal and serves the meters on it until Stop() or destruction.
  explicit PtyMeterServer(std::vector<SimMeter*> meters, int baud = 2400);
  explicit PtyMeterServer(SimMeter& meter, int baud = 2400)
      : PtyMeterServer(std::vector<SimMeter*>{&meter}, baud) {}
  ~PtyMeterServer() override;

  // The device a control opens, e.g. /dev/pts/3.
  const std::string& DevicePath() const { return device_; }
  // Closes the master side, as when a USB adapter is pulled out.
  void Unplug();
  // Pulls the plug by itself once `frames` more frames have come in (after answering the last
  // one), so a test can lose the device exactly while the control waits for a reply.
  void UnplugAfterFrames(int frames) { unplug_after_ = frames; }

 private:
  bool ServeOnce() override;
  int LineBaud(int fd) const override;
  void CloseDevice();

  int master_ = -1;
  int holder_ = -1;
  std::atomic<int> unplug_after_{-1};
  std::string device_;
};

}  // namespace velmar::sim
