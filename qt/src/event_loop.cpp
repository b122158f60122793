#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "velmar/error.hpp"
#include "velmar/qt.hpp"

namespace velmar::qt {

using Clock = std::chrono::steady_clock;

class QtEventLoop::QtTimer : public Timer {
 public:
  QtTimer(QtEventLoop& loop, std::function<void()> on_tick)
      : loop_(loop), on_tick_(std::move(on_tick)) {
    // Coarse Qt timers may fire 5 % late; the meter's pauses are specified in milliseconds.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { on_tick_(); });
    loop_.timers_.push_back(this);
  }
  ~QtTimer() override { std::erase(loop_.timers_, this); }

  void SetInterval(int milliseconds) override {
    interval_ = milliseconds;
    if (enabled_) timer_.start(interval_);
  }
  int Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override {
    enabled_ = enabled && interval_ > 0;
    if (enabled_) {
      timer_.start(interval_);  // a fresh period from now, also when it was running
    } else {
      timer_.stop();
    }
  }
  bool Enabled() const override { return enabled_; }

 private:
  QtEventLoop& loop_;
  std::function<void()> on_tick_;
  QTimer timer_;
  int interval_ = 0;
  bool enabled_ = false;
};

// A port's descriptor as Qt watches it. The notifiers live only while a pass runs: between
// commands the port may close its descriptor, and a notifier must never watch a closed one.
struct QtEventLoop::Watched {
  posix::DescriptorSource* source = nullptr;
  int fd = -1;
  QSocketNotifier* read = nullptr;
  QSocketNotifier* write = nullptr;
  QTimer wake;  // ends a wait when the port's output should have left

  void Drop() {
    // A notifier may be the one whose signal is running now: delete it once that returns.
    for (QSocketNotifier* n : {read, write}) {
      if (n == nullptr) continue;
      n->setEnabled(false);
      n->deleteLater();
    }
    read = write = nullptr;
    fd = -1;
  }
};

QtEventLoop::QtEventLoop() = default;

QtEventLoop::~QtEventLoop() {
  for (auto& w : sources_) w->Drop();
}

std::unique_ptr<Timer> QtEventLoop::CreateTimer(std::function<void()> on_tick) {
  return std::make_unique<QtTimer>(*this, std::move(on_tick));
}

void QtEventLoop::AddSource(posix::DescriptorSource* source) {
  auto w = std::make_unique<Watched>();
  w->source = source;
  w->wake.setSingleShot(true);
  w->wake.setTimerType(Qt::PreciseTimer);
  sources_.push_back(std::move(w));
}

void QtEventLoop::RemoveSource(posix::DescriptorSource* source) {
  auto it = std::find_if(sources_.begin(), sources_.end(),
                         [source](const auto& w) { return w->source == source; });
  if (it == sources_.end()) return;
  (*it)->Drop();
  sources_.erase(it);
}

void QtEventLoop::ProcessEvents() {
  Pass(false);
}

void QtEventLoop::WaitForEvents() {
  Pass(true);
}

void QtEventLoop::Abort(const QString& why) {
  aborted_ = true;
  abort_reason_ = why;
}

void QtEventLoop::Resume() {
  aborted_ = false;
}

void QtEventLoop::ResetGaps() {
  last_pass_ = {};
  longest_gap_ = {};
}

void QtEventLoop::NoteGap() {
  const auto now = Clock::now();
  if (last_pass_ != Clock::time_point{}) longest_gap_ = std::max(longest_gap_, now - last_pass_);
  last_pass_ = now;
}

void QtEventLoop::Pass(bool wait) {
  if (aborted_) throw PortError(abort_reason_.toStdString());
  ++passes_;
  NoteGap();
  WatchSources();
  QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents;
  // Waiting with nothing that could end the wait would hang on an idle window.
  if (wait && SomethingToWaitFor()) flags |= QEventLoop::WaitForMoreEvents;
  try {
    QCoreApplication::processEvents(flags);
  } catch (...) {
    UnwatchSources();
    throw;
  }
  UnwatchSources();
  if (aborted_) throw PortError(abort_reason_.toStdString());
}

bool QtEventLoop::SomethingToWaitFor() const {
  if (std::any_of(timers_.begin(), timers_.end(), [](const QtTimer* t) { return t->Enabled(); })) {
    return true;
  }
  return std::any_of(sources_.begin(), sources_.end(), [](const auto& w) {
    return w->fd >= 0 && ((w->read != nullptr && w->read->isEnabled()) ||
                          (w->write != nullptr && w->write->isEnabled()) || w->wake.isActive());
  });
}

void QtEventLoop::WatchSources() {
  for (auto& owned : sources_) {
    Watched* w = owned.get();
    posix::DescriptorSource* source = w->source;
    const int fd = source->Fd();
    if (fd != w->fd) {
      w->Drop();
      if (fd >= 0) {
        w->fd = fd;
        w->read = new QSocketNotifier(fd, QSocketNotifier::Read);
        w->write = new QSocketNotifier(fd, QSocketNotifier::Write);
        auto ready = [this, source](unsigned events) {
          source->OnReady(events);
          WatchSources();  // what the port wants next (or that it closed)
        };
        QObject::connect(w->read, &QSocketNotifier::activated,
                         [ready] { ready(posix::kReadable); });
        QObject::connect(w->write, &QSocketNotifier::activated,
                         [ready] { ready(posix::kWritable); });
      }
    }
    if (w->fd < 0) {
      w->wake.stop();
      continue;
    }
    const unsigned wanted = source->Events();
    w->read->setEnabled((wanted & posix::kReadable) != 0);
    w->write->setEnabled((wanted & posix::kWritable) != 0);
    if (auto at = source->WakeAt()) {
      const auto left = std::chrono::duration<double, std::milli>(*at - Clock::now()).count();
      w->wake.start(std::max(0, static_cast<int>(std::ceil(left))));
    } else {
      w->wake.stop();
    }
  }
}

void QtEventLoop::UnwatchSources() {
  for (auto& w : sources_) {
    if (w->read != nullptr) w->read->setEnabled(false);
    if (w->write != nullptr) w->write->setEnabled(false);
    w->wake.stop();
  }
}

}  // namespace velmar::qt
