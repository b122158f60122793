#include "stream_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/serial_settings.hpp"

namespace velmar::sim {

// The meter's line runs 8E1 at the given speed; its character time comes from those settings.
StreamMeterServer::StreamMeterServer(std::vector<SimMeter*> meters, int baud)
    : meters_(std::move(meters)) {
  if (baud <= 0) throw std::invalid_argument("the simulator needs a positive baud rate");
  baud_ = baud;
  // A meter answers at its own speed only: the bus's, unless it was switched to another.
  for (SimMeter* m : meters_) {
    if (m->config().baud == 0) m->config().baud = baud;
  }
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
}

StreamMeterServer::~StreamMeterServer() {
  Stop();
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void StreamMeterServer::Start() {
  thread_ = std::thread([this] {
    // The meter's bytes are paced by sleeping to absolute times; without timer slack each one
    // leaves when it should, not up to 50 us later, so the line timing is the baud rate's.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stop_ && ServeOnce()) {
    }
  });
}

void StreamMeterServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const char c = 's';
  [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
  thread_.join();
}

void StreamMeterServer::WithMeters(const std::function<void()>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  fn();
}

bool StreamMeterServer::SendByte(int fd, std::uint8_t b) {
  return ::write(fd, &b, 1) == 1;
}

// Waits on the wake pipe while the time left is long, so Stop() ends even a 60 s answer delay at
// once; the last millisecond is slept precisely. The pipe is never drained: once Stop() wrote to
// it, every later wait returns at once.
bool StreamMeterServer::SleepUntil(std::chrono::steady_clock::time_point due) {
  using namespace std::chrono;
  for (;;) {
    if (stop_) return false;
    const auto left = due - steady_clock::now();
    if (left <= steady_clock::duration::zero()) return true;
    if (left > milliseconds(2)) {
      pollfd p{wake_[0], POLLIN, 0};
      const auto ms = duration_cast<milliseconds>(left - milliseconds(1)).count();
      if (poll(&p, 1, static_cast<int>(ms)) > 0) return false;
      continue;
    }
    std::this_thread::sleep_until(due);
  }
}

bool StreamMeterServer::WaitReadable(int fd, int timeoutMs, bool& readable) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  readable = false;
  if (poll(fds, 2, timeoutMs) <= 0) return !stop_;
  if (fds[1].revents) return false;
  readable = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  return true;
}

int StreamMeterServer::Consume(int fd, const std::uint8_t* bytes, std::size_t n) {
  int frames = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (auto frame = assembler_.Feed(bytes[i])) {
      Answer(fd, *frame);
      ++frames;
    }
  }
  return frames;
}

void StreamMeterServer::SetLine(const LineBehaviour& behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  behaviour_ = behaviour;
}

int StreamMeterServer::LineBaud(int) const {
  return baud_;
}

// Writes `bytes` paced at the line's character time from `due`, with `gap` more between bytes;
// a gateway in burst mode writes each burst at once and pauses between bursts.
bool StreamMeterServer::Write(int fd, const std::vector<std::uint8_t>& bytes,
                              std::chrono::steady_clock::time_point due,
                              std::chrono::nanoseconds gap, const LineBehaviour& line) {
  using Clock = std::chrono::steady_clock;
  const auto char_time = std::chrono::nanoseconds(static_cast<long>(
      SerialSettings::Parse(std::to_string(LineBaud(fd)) + ",e,8,1").CharacterSeconds() * 1e9));
  const auto burst = static_cast<std::size_t>(line.burstBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (burst == 0) {
      due += char_time + (i > 0 ? gap : Clock::duration::zero());
    } else if (i > 0 && i % burst == 0) {
      due += std::chrono::milliseconds(line.burstGapMs);
    }
    if (!SleepUntil(due) || !SendByte(fd, bytes[i])) return false;
  }
  return true;
}

void StreamMeterServer::Answer(int fd, const std::vector<std::uint8_t>& frame) {
  using Clock = std::chrono::steady_clock;
  std::optional<SimReply> reply;
  LineBehaviour line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line = behaviour_;
    reply = AnswerOnBus(ListeningAt(meters_, LineBaud(fd)), frame);
  }
  if (line.echo && !Write(fd, frame, Clock::now(), {}, LineBehaviour{})) return;
  if (!reply) return;
  const auto due = Clock::now() + std::chrono::milliseconds(reply->delayMs);
  if (!Write(fd, reply->bytes, due, std::chrono::milliseconds(reply->gapMs), line)) return;
  if (on_answered_) on_answered_(reply->bytes);
}

}  // namespace velmar::sim
