#include "line_peers.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace velmar::sim {
namespace {

std::optional<SimReply> Dispatch(const std::vector<SimMeter*>& meters,
                                 const std::vector<std::uint8_t>& frame) {
  std::optional<SimReply> first;
  for (SimMeter* m : meters) {
    auto reply = m->OnFrame(frame);
    if (reply && !first) first = std::move(reply);
  }
  return first;
}

}  // namespace

void VirtualMeterPeer::OnByteFromMaster(std::uint8_t b, virt::VirtualSerialPort& line) {
  auto frame = assembler_.Feed(b);
  if (!frame) return;
  auto reply = Dispatch(meters_, *frame);
  if (!reply) return;
  line.SendToMaster(reply->bytes, line.Now() + virt::Ms(reply->delayMs), virt::Ms(reply->gapMs));
}

PtyMeterServer::PtyMeterServer(std::vector<SimMeter*> meters, int baud)
    : meters_(std::move(meters)), baud_(baud) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("cannot create a pseudo-terminal for the simulator");
  }
  device_ = ptsname(master_);
  // Holding the slave open keeps the master readable while no control has the port open, and
  // raw mode stops the terminal from echoing the meter's answers back to it.
  holder_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (holder_ < 0 || tcgetattr(holder_, &tio) != 0) {
    throw std::runtime_error("cannot open the simulator's pseudo-terminal " + device_);
  }
  cfmakeraw(&tio);
  tcsetattr(holder_, TCSANOW, &tio);
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
  thread_ = std::thread([this] { Run(); });
}

PtyMeterServer::~PtyMeterServer() {
  Stop();
  for (int fd : {master_, holder_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void PtyMeterServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const char c = 's';
  [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
  thread_.join();
}

void PtyMeterServer::Unplug() {
  Stop();
  for (int* fd : {&master_, &holder_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void PtyMeterServer::WithMeters(const std::function<void()>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  fn();
}

void PtyMeterServer::Run() {
  while (!stop_) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, 500) <= 0) continue;
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) {
      // No reader on the slave side for a moment: wait instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    std::uint8_t buf[512];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) {
      if (auto frame = assembler_.Feed(buf[i])) Serve(*frame);
    }
  }
}

void PtyMeterServer::Serve(const std::vector<std::uint8_t>& frame) {
  std::optional<SimReply> reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reply = Dispatch(meters_, frame);
  }
  if (!reply) return;
  using Clock = std::chrono::steady_clock;
  const auto char_time = std::chrono::nanoseconds(static_cast<long>(11.0 * 1e9 / baud_));
  const auto gap = std::chrono::milliseconds(reply->gapMs);
  auto due = Clock::now() + std::chrono::milliseconds(reply->delayMs);
  for (std::size_t i = 0; i < reply->bytes.size() && !stop_; ++i) {
    due += char_time + (i > 0 ? gap : Clock::duration::zero());
    std::this_thread::sleep_until(due);
    if (::write(master_, &reply->bytes[i], 1) != 1) return;
  }
}

}  // namespace velmar::sim
