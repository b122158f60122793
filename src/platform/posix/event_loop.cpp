#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

#include "velmar/posix_platform.hpp"

namespace velmar::posix {
namespace {

// A socket whose other end closed reports POLLRDHUP even while its input is not watched, so a
// gateway that drops the connection ends the wait at once; a terminal never reports it.
short PollEvents(unsigned events) {
  return static_cast<short>(((events & kReadable) ? POLLIN : 0) |
                            ((events & kWritable) ? POLLOUT : 0) | POLLRDHUP);
}

unsigned IoEventsOf(short revents) {
  return ((revents & POLLIN) ? kReadable : 0u) | ((revents & POLLOUT) ? kWritable : 0u) |
         ((revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) ? kHangUp : 0u);
}

timespec TimeUntil(Clock::time_point deadline) {
  const auto wait = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

struct PosixEventLoop::PollSet {
  std::vector<pollfd> fds;
  std::vector<Source*> watched;  // the source of each entry; null for the deadline timer
};

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

// The wait for the next deadline is a timerfd set to the absolute time rather than a poll()
// time-out: poll time-outs are rounded up by the kernel's timer slack (50 us by default) and
// every pause of a meter exchange would end that much late.
PosixEventLoop::PosixEventLoop()
    : deadline_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      poll_(std::make_unique<PollSet>()) {
  if (deadline_fd_ < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
}

PosixEventLoop::~PosixEventLoop() {
  ::close(deadline_fd_);
}

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
  std::vector<pollfd>& fds = poll_->fds;
  std::vector<Source*>& watched = poll_->watched;
  fds.clear();
  watched.clear();
  for (Source* s : sources_) {
    if (s->Fd() >= 0) {
      fds.push_back({s->Fd(), PollEvents(s->Events()), 0});
      watched.push_back(s);
    }
  }
  timespec relative{0, 0};
  const timespec* timeout = &relative;
  std::optional<Clock::time_point> armed;
  if (auto deadline = wait ? NextDeadline() : std::nullopt) {
    armed = ArmDeadline(*deadline - wake_latency_);
    if (armed) {
      fds.push_back({deadline_fd_, POLLIN, 0});
      watched.push_back(nullptr);
      timeout = nullptr;  // the timerfd ends the wait
    } else {
      relative = TimeUntil(*deadline - wake_latency_);
    }
  }
  const int ready = ppoll(fds.data(), fds.size(), timeout, nullptr);
  if (armed && ready > 0 && fds.back().revents != 0) LearnWakeLatency(Clock::now() - *armed);
  for (std::size_t i = 0; ready > 0 && i < watched.size(); ++i) {
    if (fds[i].revents != 0 && watched[i] != nullptr &&
        std::find(sources_.begin(), sources_.end(), watched[i]) != sources_.end()) {
      watched[i]->OnReady(IoEventsOf(fds[i].revents));
    }
  }
  RunDueTimers();
}

// Sets the timerfd to `when`; nothing when that has passed already or the timer cannot be set,
// and the caller falls back to a poll() time-out.
std::optional<Clock::time_point> PosixEventLoop::ArmDeadline(Clock::time_point when) {
  if (when <= Clock::now()) return std::nullopt;
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  itimerspec expiry{};
  expiry.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  expiry.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  if (timerfd_settime(deadline_fd_, TFD_TIMER_ABSTIME, &expiry, nullptr) != 0) return std::nullopt;
  return when;
}

// A thread woken by a timer runs some time after the timer expired: tens of microseconds on bare
// metal, over a hundred in a virtual machine. Every pause of an exchange would end that much
// late, and a meter read chains about twenty of them. The loop learns the delay (a running
// average, single outliers capped) and sets its timer that much early; timers due within that
// margin fire on the pass that wakes. A pause thus ends within a few microseconds of its time
// on average, instead of always late, and no CPU is spent spinning.
void PosixEventLoop::LearnWakeLatency(Clock::duration late) {
  constexpr Clock::duration kCap = std::chrono::microseconds(500);
  const Clock::duration sample = std::clamp(late, Clock::duration::zero(), kCap);
  wake_latency_ += (sample - wake_latency_) / 8;
}

void PosixEventLoop::RunDueTimers() {
  const auto now = Clock::now() + wake_latency_;
  std::vector<PosixTimer*> snapshot = timers_;
  for (PosixTimer* t : snapshot) {
    if (std::find(timers_.begin(), timers_.end(), t) != timers_.end()) t->FireIfDue(now);
  }
}

}  // namespace velmar::posix
