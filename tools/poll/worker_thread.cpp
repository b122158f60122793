#include "worker_thread.hpp"

namespace velmar::tools {

WorkerThread::~WorkerThread() {
  RequestStop();
  Join();
}

void WorkerThread::Start(std::function<void()> body,
                         std::function<void(const std::exception&)> ended) {
  thread_ = std::thread([body = std::move(body), ended = std::move(ended)] {
    try {
      body();
    } catch (const std::exception& e) {
      ended(e);
    }
  });
}

void WorkerThread::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool WorkerThread::SleepUntil(Clock::time_point when) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_until(lock, when, [this] { return stop_.load(); });
}

}  // namespace velmar::tools
