// Serial transport of the control: opening and closing the port, putting a frame on the line,
// collecting a reply that is framed by silence alone, and the fixed waits. Two timers measure
// time: the reply time-out in 100 ms ticks and the fixed waits of Pause. Every wait is a loop of
// host event passes, so the host stays responsive while a meter is being read.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "control/instance_state.hpp"
#include "velmar/platform.hpp"
#include "velmar/velmar.hpp"

namespace velmar {

// Ticks of the reply time-out (100 ms each); the flag rises on the tick after the last.
constexpr std::int16_t kFirstByteTicks = 30;  // 3.1 s for the first byte of a reply
constexpr std::int16_t kReplyTicks = 20;      // 2.1 s for the rest of it, and for a frame to leave
constexpr int kTickMs = 100;
constexpr int kSilenceMs = 80;  // a reply ends after this much silence
constexpr int kSettleMs = 50;   // after every real open or close of the port

// Text form of bytes: two upper-case hex digits each, no separators.
std::string HexText(std::span<const std::uint8_t> bytes);

class Transport {
 public:
  Transport(InstanceState& state, SerialPort& port, EventLoop& events);
  ~Transport();

  std::int16_t OpenPort();
  std::int16_t closePort();
  std::int16_t SendFrame(std::span<const std::uint8_t> frame, std::int16_t length);
  // Count of bytes waiting when the reply ended (the reply may hold more), -1 when nothing came
  // within 3.1 s, -2 when bytes kept coming for 2.1 s.
  std::int16_t ReceiveReply(std::vector<std::uint8_t>& reply);
  void StartTimeout(std::int16_t ticks);
  void StopTimeout();
  void Pause(std::int16_t milliseconds);
  void TimeoutTimerTick();
  void WaitTimerTick();
  // One pass of host event processing, returning at once.
  void DoEvents() { events_.ProcessEvents(); }
  // A pass inside a wait loop: sleeps until the next event could change the loop's condition.
  void WaitPass() { events_.WaitForEvents(); }

  SerialPort& port() { return port_; }
  void SetTraceCallback(TraceCallback callback) { trace_ = std::move(callback); }

 private:
  static void AddToLog(std::array<std::string, 3>& log, std::string text);
  void LogSent(std::string text);
  void LogReply(std::string text);

  InstanceState& state_;
  SerialPort& port_;
  EventLoop& events_;
  std::unique_ptr<Timer> timeout_timer_;
  std::unique_ptr<Timer> wait_timer_;
  TraceCallback trace_;
};

}  // namespace velmar
