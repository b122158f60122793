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

#include "velmar/platform.hpp"
#include "velmar/trace.hpp"

namespace velmar {

// Ticks of the reply time-out (100 ms each); the flag rises on the tick after the last.
constexpr std::int16_t kFirstByteTicks = 30;  // 3.1 s for the first byte of a reply
constexpr std::int16_t kReplyTicks = 20;      // 2.1 s for the rest of it, and for a frame to leave
constexpr int kTickMs = 100;
constexpr int kSilenceMs = 80;  // a reply ends after this much silence
constexpr int kSettleMs = 50;   // after every real open or close of the port

// Results of the exchange below the commands.
constexpr std::int16_t kSendTimedOut = -1;     // SendFrame: the frame did not leave within 2.1 s
constexpr std::int16_t kNothingReceived = -1;  // ReceiveReply: no byte within 3.1 s
constexpr std::int16_t kNeverSilent = -2;      // ReceiveReply: bytes kept coming for 2.1 s

// What the transport keeps between its calls: the time-out flag a host can read and set, the
// text of the last three frames each way (newest first), and the counters of the two timers.
struct TransportState {
  bool Timeout = false;
  std::array<std::string, 3> sentLog;
  std::array<std::string, 3> replyLog;
  bool waitElapsed = false;
  std::int16_t timeoutTicks = 0;
};

class Transport {
 public:
  Transport(SerialPort& port, EventLoop& events);
  ~Transport();

  // Opens a closed port (clearing the logs) and waits 50 ms for the line to settle; clears the
  // Timeout flag either way. PortResult::kOk once open, kFailed when the port refused.
  std::int16_t OpenPort();
  // Closes an open port and waits 50 ms; PortResult::kFailed when the port refused.
  std::int16_t closePort();
  // Opens the port if needed, discards stale input, queues the first `length` bytes of `frame`
  // and waits until they have left (at most 2.1 s: then Timeout is set and the result is -1).
  std::int16_t SendFrame(std::span<const std::uint8_t> frame, std::int16_t length);
  // Count of bytes waiting when the reply ended (the reply may hold more), kNothingReceived when
  // nothing came within 3.1 s, kNeverSilent when bytes kept coming for 2.1 s.
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
  TransportState& state() { return state_; }
  const TransportState& state() const { return state_; }
  void SetTraceCallback(TraceCallback callback) { trace_ = std::move(callback); }

 private:
  static void AddToLog(std::array<std::string, 3>& log, std::string text);
  void LogSent(std::string text);
  void LogReply(std::string text);

  TransportState state_;
  SerialPort& port_;
  EventLoop& events_;
  std::unique_ptr<Timer> timeout_timer_;
  std::unique_ptr<Timer> wait_timer_;
  TraceCallback trace_;
};

}  // namespace velmar
