#include "transport/transport.hpp"

#include <algorithm>

#include "codec/hex.hpp"
#include "velmar/results.hpp"

namespace velmar {

Transport::Transport(SerialPort& port, EventLoop& events)
    : port_(port),
      events_(events),
      timeout_timer_(events.CreateTimer([this] { TimeoutTimerTick(); })),
      wait_timer_(events.CreateTimer([this] { WaitTimerTick(); })) {}

Transport::~Transport() = default;

std::int16_t Transport::OpenPort() {
  state_.Timeout = false;
  try {
    if (!port_.PortOpen()) {
      state_.sentLog = {};
      state_.replyLog = {};
      port_.SetPortOpen(true);
      Pause(kSettleMs);
    }
    return port_.PortOpen() ? PortResult::kOk : PortResult::kFailed;
  } catch (...) {
    // A port that cannot be opened is reported by the result alone.
    return PortResult::kFailed;
  }
}

std::int16_t Transport::closePort() {
  try {
    if (port_.PortOpen()) {
      port_.SetPortOpen(false);
      Pause(kSettleMs);
    }
    return PortResult::kOk;
  } catch (...) {
    return PortResult::kFailed;
  }
}

std::int16_t Transport::SendFrame(std::span<const std::uint8_t> frame, std::int16_t length) {
  std::int16_t opened = OpenPort();
  if (opened != 0) return opened;
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::int16_t>(length, 0)),
                                       frame.size());
  const std::span<const std::uint8_t> data = frame.first(n);
  std::string text = HexText(data);
  StartTimeout(kReplyTicks);
  // Whatever arrived before this request (a late answer to the previous one) is stale.
  port_.ClearInBuffer();
  port_.Output(data);
  port_.ClearInBuffer();
  while (port_.OutBufferCount() != 0 && !state_.Timeout) WaitPass();
  std::int16_t result = 0;
  if (state_.Timeout) {
    result = kSendTimedOut;
  } else {
    StopTimeout();
  }
  LogSent(std::move(text));
  return result;
}

std::int16_t Transport::ReceiveReply(std::vector<std::uint8_t>& reply) {
  StartTimeout(kFirstByteTicks);
  while (port_.InBufferCount() <= 0 && !state_.Timeout) WaitPass();
  if (state_.Timeout) {
    LogReply("<TimeOut>");
    return kNothingReceived;
  }
  StopTimeout();
  int seen = 0;
  DoEvents();
  StartTimeout(kReplyTicks);
  // The reply carries no length the transport trusts: it ends when the line stays silent for
  // one quiet gap, or fails when it never does.
  while (!state_.Timeout && port_.InBufferCount() > seen) {
    DoEvents();
    seen = port_.InBufferCount();
    Pause(kSilenceMs);
  }
  if (state_.Timeout) {
    LogReply("<Overflow>");
    return kNeverSilent;
  }
  StopTimeout();
  const int count = std::min(port_.InBufferCount(), 0x7FFF);
  reply = port_.Input();
  const auto logged = std::min<std::size_t>(static_cast<std::size_t>(count), reply.size());
  LogReply(HexText(std::span<const std::uint8_t>(reply).first(logged)));
  return static_cast<std::int16_t>(count);
}

void Transport::StartTimeout(std::int16_t ticks) {
  timeout_timer_->SetEnabled(false);
  state_.Timeout = false;
  state_.timeoutTicks = ticks;
  timeout_timer_->SetInterval(kTickMs);
  timeout_timer_->SetEnabled(true);
}

void Transport::StopTimeout() {
  timeout_timer_->SetEnabled(false);
}

void Transport::Pause(std::int16_t milliseconds) {
  const int ms = std::clamp<int>(milliseconds, 10, 1000);
  wait_timer_->SetInterval(ms);
  state_.waitElapsed = false;
  wait_timer_->SetEnabled(true);
  while (!state_.waitElapsed) WaitPass();
}

void Transport::TimeoutTimerTick() {
  if (state_.timeoutTicks >= 1) {
    --state_.timeoutTicks;
  } else {
    state_.Timeout = true;
    timeout_timer_->SetEnabled(false);
  }
}

void Transport::WaitTimerTick() {
  state_.waitElapsed = true;
  wait_timer_->SetEnabled(false);
}

void Transport::AddToLog(std::array<std::string, 3>& log, std::string text) {
  log[2] = std::move(log[1]);
  log[1] = std::move(log[0]);
  log[0] = std::move(text);
}

void Transport::LogSent(std::string text) {
  if (trace_) trace_(TraceDirection::kSent, text);
  AddToLog(state_.sentLog, std::move(text));
}

void Transport::LogReply(std::string text) {
  if (trace_) trace_(TraceDirection::kReceived, text);
  AddToLog(state_.replyLog, std::move(text));
}

}  // namespace velmar
