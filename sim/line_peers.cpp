#include "line_peers.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace velmar::sim {

void VirtualMeterPeer::OnByteFromMaster(std::uint8_t b, virt::VirtualSerialPort& line) {
  auto frame = assembler_.Feed(b);
  if (!frame) return;
  auto reply = AnswerOnBus(meters_, *frame);
  if (!reply) return;
  line.SendToMaster(reply->bytes, line.Now() + virt::Ms(reply->delayMs), virt::Ms(reply->gapMs));
}

PtyMeterServer::PtyMeterServer(std::vector<SimMeter*> meters, int baud)
    : StreamMeterServer(std::move(meters), baud) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (master_ >= 0) ::close(master_);
    throw std::runtime_error("cannot create a pseudo-terminal for the simulator");
  }
  device_ = ptsname(master_);
  // Holding the slave open keeps the master readable while no control has the port open, and
  // raw mode stops the terminal from echoing the meter's answers back to it.
  holder_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (holder_ < 0 || tcgetattr(holder_, &tio) != 0) {
    for (int fd : {master_, holder_}) {
      if (fd >= 0) ::close(fd);
    }
    throw std::runtime_error("cannot open the simulator's pseudo-terminal " + device_);
  }
  cfmakeraw(&tio);
  tcsetattr(holder_, TCSANOW, &tio);
  Start();
}

PtyMeterServer::~PtyMeterServer() {
  Stop();
  CloseDevice();
}

void PtyMeterServer::Unplug() {
  Stop();
  CloseDevice();
}

// Only with the serving thread stopped (or from that thread as it ends).
void PtyMeterServer::CloseDevice() {
  for (int* fd : {&master_, &holder_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

bool PtyMeterServer::ServeOnce() {
  bool readable = false;
  if (!WaitReadable(master_, 500, readable)) return false;
  if (!readable) return true;
  std::uint8_t buf[512];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  if (n <= 0) {
    // No reader on the slave side for a moment: wait instead of spinning.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
  }
  const int frames = Consume(master_, buf, static_cast<std::size_t>(n));
  if (frames > 0 && unplug_after_ > 0 && (unplug_after_ -= frames) <= 0) {
    CloseDevice();
    return false;
  }
  return true;
}

}  // namespace velmar::sim
