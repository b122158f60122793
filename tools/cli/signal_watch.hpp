// SIGINT, SIGTERM and SIGHUP as events of the command's own loop. While a watch lives the three
// signals are blocked and read from a signalfd the loop watches, so a signal never kills the
// process in the middle of a wait: the wait in progress ends with Interrupted, the command
// unwinds, its port closes (and gives the device its saved settings back), and only then does
// the process end, with 128 + the signal's number.
#pragma once

#include <functional>
#include <string>

#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::tools {

// A wait ended by a signal.
class Interrupted : public Error {
 public:
  explicit Interrupted(int signal);
  int Signal() const { return signal_; }

 private:
  int signal_;
};

class SignalWatch : public posix::DescriptorSource {
 public:
  // Blocks the signals for this thread (and the threads it starts later) and watches them on
  // `loop`. Throws Error when the system has no signalfd left.
  explicit SignalWatch(posix::DescriptorWatch& loop);
  ~SignalWatch() override;
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // What a signal does: by default it throws Interrupted out of the loop's pass; a command that
  // can stop by itself (a scan) sets its own reaction instead.
  void OnSignal(std::function<void(int signal)> handler) { handler_ = std::move(handler); }
  // The first signal received, 0 for none; also one that arrived while no wait ran.
  int Received();

  int Fd() const override { return fd_; }
  unsigned Events() const override { return posix::kReadable; }
  void OnReady(unsigned events) override;

 private:
  int Take();

  posix::DescriptorWatch& loop_;
  int fd_ = -1;
  int received_ = 0;
  std::function<void(int)> handler_;
};

}  // namespace velmar::tools
