// The real-time side of the simulator: a background thread that reads the master's bytes from a
// file descriptor, assembles frames, lets the meters answer, and writes each answer back paced
// at the line's character time (8E1 at the baud rate), after the meter's response delay and
// with its gaps. Every wait ends at once when the server stops. The pty and TCP servers differ
// only in where that descriptor comes from.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "meter_model.hpp"

namespace velmar::sim {

class StreamMeterServer {
 public:
  virtual ~StreamMeterServer();
  StreamMeterServer(const StreamMeterServer&) = delete;
  StreamMeterServer& operator=(const StreamMeterServer&) = delete;

  // Runs `fn` while the server is not touching the meters.
  void WithMeters(const std::function<void()>& fn);
  // Called on the server's thread right after the last byte of each answer left (benchmarks
  // time what happens to an answer from there). Set before the first frame arrives.
  void OnAnswered(std::function<void(const std::vector<std::uint8_t>& answer)> hook) {
    on_answered_ = std::move(hook);
  }
  // Echo and bursts between the master and the meters, from the next frame on.
  void SetLine(const LineBehaviour& behaviour);
  // Ends the serving thread; safe to call more than once.
  void Stop();

 protected:
  StreamMeterServer(std::vector<SimMeter*> meters, int baud);

  // Starts the thread; derived classes call it once their descriptors are ready.
  void Start();
  // One pass of the serving loop: wait for bytes or the stop signal. False once stopped.
  virtual bool ServeOnce() = 0;

  // Waits up to `timeoutMs` for `fd` to become readable; false when woken to stop.
  bool WaitReadable(int fd, int timeoutMs, bool& readable);
  // Feeds received bytes to the frame assembler and answers every complete frame on `fd`;
  // returns how many frames were complete.
  int Consume(int fd, const std::uint8_t* bytes, std::size_t n);
  void ResetFrame() { assembler_.Reset(); }
  // Writes one answer byte; false when the other end is gone.
  virtual bool SendByte(int fd, std::uint8_t b);
  int WakeFd() const { return wake_[0]; }
  // The speed the master's side of `fd` runs at now (a pseudo-terminal tells; a socket has the
  // server's own).
  virtual int LineBaud(int fd) const;
  bool Stopping() const { return stop_; }

 private:
  void Answer(int fd, const std::vector<std::uint8_t>& frame);
  bool Write(int fd, const std::vector<std::uint8_t>& bytes,
             std::chrono::steady_clock::time_point due, std::chrono::nanoseconds gap,
             const LineBehaviour& line);
  bool SleepUntil(std::chrono::steady_clock::time_point due);

  std::vector<SimMeter*> meters_;
  int baud_ = 2400;
  LineBehaviour behaviour_;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::function<void(const std::vector<std::uint8_t>&)> on_answered_;
  std::atomic<bool> stop_{false};
  FrameAssembler assembler_;
  std::thread thread_;
};

}  // namespace velmar::sim
