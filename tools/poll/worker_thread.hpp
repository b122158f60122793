// The thread a bus or radio of the collector runs on: started once, asked to stop from another
// thread (waking it from its sleep at once), and joined.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace velmar::tools {

class WorkerThread {
 public:
  using Clock = std::chrono::steady_clock;

  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs `body` on a new thread; an exception out of it goes to `ended` (nothing a bus meets may
  // take the others down with it).
  void Start(std::function<void()> body, std::function<void(const std::exception&)> ended);
  // Asks the thread to stop; a sleep in progress ends at once. Never blocks.
  void RequestStop();
  // Waits for the thread to end (at once when it never started).
  void Join();
  bool Stopping() const { return stop_; }
  // Sleeps until `when`; false when woken to stop.
  bool SleepUntil(Clock::time_point when);

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
};

}  // namespace velmar::tools
