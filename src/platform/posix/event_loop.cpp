#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "velmar/posix_platform.hpp"

namespace velmar::posix {

class PosixEventLoop::PosixTimer : public Timer {
 public:
  PosixTimer(PosixEventLoop& loop, std::function<void()> on_tick)
      : loop_(loop), on_tick_(std::move(on_tick)) {
    loop_.AddTimer(this);
  }
  ~PosixTimer() override { loop_.RemoveTimer(this); }

  void SetInterval(int milliseconds) override {
    interval_ = std::chrono::milliseconds(milliseconds);
    if (enabled_) next_ = Clock::now() + interval_;
  }
  int Interval() const override { return static_cast<int>(interval_.count()); }
  void SetEnabled(bool enabled) override {
    enabled_ = enabled && interval_.count() > 0;
    if (enabled_) next_ = Clock::now() + interval_;
  }
  bool Enabled() const override { return enabled_; }

  std::optional<Clock::time_point> Deadline() const {
    return enabled_ ? std::optional<Clock::time_point>(next_) : std::nullopt;
  }
  void FireIfDue(Clock::time_point now) {
    if (!enabled_ || next_ > now) return;
    // Ticks keep their fixed rate; a host that stalled longer than a period gets one tick.
    next_ += interval_;
    if (next_ <= now) next_ = now + interval_;
    on_tick_();
  }

 private:
  PosixEventLoop& loop_;
  std::function<void()> on_tick_;
  std::chrono::milliseconds interval_{0};
  bool enabled_ = false;
  Clock::time_point next_{};
};

PosixEventLoop::PosixEventLoop() = default;
PosixEventLoop::~PosixEventLoop() = default;

std::unique_ptr<Timer> PosixEventLoop::CreateTimer(std::function<void()> on_tick) {
  return std::make_unique<PosixTimer>(*this, std::move(on_tick));
}

void PosixEventLoop::AddSource(Source* source) {
  sources_.push_back(source);
}
void PosixEventLoop::RemoveSource(Source* source) {
  sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}
void PosixEventLoop::AddTimer(PosixTimer* timer) {
  timers_.push_back(timer);
}
void PosixEventLoop::RemoveTimer(PosixTimer* timer) {
  timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
}

std::optional<Clock::time_point> PosixEventLoop::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&](std::optional<Clock::time_point> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  for (const PosixTimer* t : timers_) consider(t->Deadline());
  for (const Source* s : sources_) consider(s->WakeAt());
  return next;
}

void PosixEventLoop::ProcessEvents() {
  Pass(false);
}
void PosixEventLoop::WaitForEvents() {
  Pass(true);
}

void PosixEventLoop::Pass(bool wait) {
  ++passes_;
  std::vector<pollfd> fds;
  std::vector<Source*> watched;
  for (Source* s : sources_) {
    if (s->Fd() >= 0 && s->Events() != 0) {
      fds.push_back({s->Fd(), s->Events(), 0});
      watched.push_back(s);
    }
  }
  timespec timeout{0, 0};
  if (auto deadline = wait ? NextDeadline() : std::nullopt) {
    auto wait = std::max(*deadline - Clock::now(), Clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
  if (ready > 0) {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents != 0 &&
          std::find(sources_.begin(), sources_.end(), watched[i]) != sources_.end()) {
        watched[i]->OnReady(fds[i].revents);
      }
    }
  }
  RunDueTimers();
}

void PosixEventLoop::RunDueTimers() {
  const auto now = Clock::now();
  std::vector<PosixTimer*> snapshot = timers_;
  for (PosixTimer* t : snapshot) {
    if (std::find(timers_.begin(), timers_.end(), t) != timers_.end()) t->FireIfDue(now);
  }
}

}  // namespace velmar::posix
