// Two ways to reach simulated meters: the virtual serial line (virtual time, for tests) and a
// pseudo-terminal served by a background thread in real time, bytes paced at the baud rate.
// Several meters can share one bus; the first one addressed answers.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "meter_model.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar::sim {

class VirtualMeterPeer : public virt::LinePeer {
 public:
  explicit VirtualMeterPeer(std::vector<SimMeter*> meters) : meters_(std::move(meters)) {}
  explicit VirtualMeterPeer(SimMeter& meter) : meters_{&meter} {}
  void OnByteFromMaster(std::uint8_t b, virt::VirtualSerialPort& line) override;

 private:
  std::vector<SimMeter*> meters_;
  FrameAssembler assembler_;
};

class PtyMeterServer {
 public:
  // Opens a pseudo-terminal and serves the meters on it until Stop() or destruction.
  PtyMeterServer(std::vector<SimMeter*> meters, int baud = 2400);
  explicit PtyMeterServer(SimMeter& meter, int baud = 2400)
      : PtyMeterServer(std::vector<SimMeter*>{&meter}, baud) {}
  ~PtyMeterServer();
  PtyMeterServer(const PtyMeterServer&) = delete;
  PtyMeterServer& operator=(const PtyMeterServer&) = delete;

  // The device a control opens, e.g. /dev/pts/3.
  const std::string& DevicePath() const { return device_; }
  // Runs `fn` while the server is not touching the meters.
  void WithMeters(const std::function<void()>& fn);
  // Closes the master side, as when a USB adapter is pulled out.
  void Unplug();
  void Stop();

 private:
  void Run();
  void Serve(const std::vector<std::uint8_t>& frame);

  std::vector<SimMeter*> meters_;
  int baud_;
  int master_ = -1;
  int holder_ = -1;
  int wake_[2] = {-1, -1};
  std::string device_;
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  FrameAssembler assembler_;
  std::thread thread_;
};

}  // namespace velmar::sim
