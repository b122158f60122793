#include <algorithm>
#include <array>
#include <span>
#include <stdexcept>

#include "velmar/virtual_platform.hpp"

namespace velmar::virt {
namespace {

class VirtualTimer : public Timer, public VirtualEventLoop::Source {
 public:
  VirtualTimer(VirtualEventLoop& loop, std::function<void()> on_tick)
      : loop_(loop), on_tick_(std::move(on_tick)) {
    loop_.AddSource(this);
  }
  ~VirtualTimer() override { loop_.RemoveSource(this); }

  void SetInterval(int milliseconds) override {
    interval_ = milliseconds;
    if (enabled_) next_ = loop_.Now() + Ms(interval_);
  }
  int Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override {
    enabled_ = enabled && interval_ > 0;
    if (enabled_) next_ = loop_.Now() + Ms(interval_);
  }
  bool Enabled() const override { return enabled_; }

  std::optional<Nanos> NextEventTime() const override {
    return enabled_ ? std::optional<Nanos>(next_) : std::nullopt;
  }
  void RunDue(Nanos now) override {
    if (!enabled_ || next_ > now) return;
    next_ += Ms(interval_);
    on_tick_();
  }

 private:
  VirtualEventLoop& loop_;
  std::function<void()> on_tick_;
  int interval_ = 0;
  bool enabled_ = false;
  Nanos next_ = 0;
};

}  // namespace

class VirtualEventLoop::HostActions : public Source {
 public:
  std::optional<Nanos> NextEventTime() const override {
    if (actions_.empty()) return std::nullopt;
    return actions_.begin()->first;
  }
  void RunDue(Nanos now) override {
    while (!actions_.empty() && actions_.begin()->first <= now) {
      auto action = std::move(actions_.begin()->second);
      actions_.erase(actions_.begin());
      action();
    }
  }
  std::multimap<Nanos, std::function<void()>> actions_;
};

VirtualEventLoop::VirtualEventLoop() : actions_(std::make_unique<HostActions>()) {
  AddSource(actions_.get());
}

VirtualEventLoop::~VirtualEventLoop() = default;

void VirtualEventLoop::ProcessEvents() {
  RunDue();
}

void VirtualEventLoop::WaitForEvents() {
  std::optional<Nanos> next;
  for (Source* s : sources_) {
    auto t = s->NextEventTime();
    if (t && (!next || *t < *next)) next = t;
  }
  if (next) now_ = std::max(now_, *next);
  RunDue();
}

void VirtualEventLoop::RunDue() {
  if (++passes_ > pass_limit_) {
    throw std::logic_error("virtual event loop: pass limit exceeded (a wait that never ends)");
  }
  // Sources may come and go while events run; each is visited once if it is still there. A
  // control has four sources (two timers, its port, the host's actions), so the snapshot lives
  // on the stack: a test or fuzz run makes millions of passes.
  constexpr std::size_t kOnStack = 16;
  std::array<Source*, kOnStack> on_stack;
  std::vector<Source*> on_heap;
  std::span<Source*> snapshot;
  if (sources_.size() <= kOnStack) {
    std::copy(sources_.begin(), sources_.end(), on_stack.begin());
    snapshot = std::span<Source*>(on_stack.data(), sources_.size());
  } else {
    on_heap = sources_;
    snapshot = on_heap;
  }
  for (Source* s : snapshot) {
    if (std::find(sources_.begin(), sources_.end(), s) != sources_.end()) s->RunDue(now_);
  }
}

std::unique_ptr<Timer> VirtualEventLoop::CreateTimer(std::function<void()> on_tick) {
  return std::make_unique<VirtualTimer>(*this, std::move(on_tick));
}

void VirtualEventLoop::AddSource(Source* source) {
  sources_.push_back(source);
}

void VirtualEventLoop::RemoveSource(Source* source) {
  sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

void VirtualEventLoop::At(Nanos when, std::function<void()> action) {
  actions_->actions_.emplace(when, std::move(action));
}

Variant MemoryPropertySet::Read(const std::string& name, const Variant& default_value) {
  reads.push_back(name);
  auto it = values.find(name);
  return it == values.end() ? default_value : it->second;
}

void MemoryPropertySet::Write(const std::string& name, const Variant& value, const Variant&) {
  writes.push_back(name);
  values[name] = value;
}

}  // namespace velmar::virt
