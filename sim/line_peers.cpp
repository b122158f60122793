#include "line_peers.hpp"

#include "platform/serial_settings.hpp"

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
  if (behaviour_.echo) line.SendToMaster(*frame, line.Now());
  const int baud = SerialSettings::Parse(line.Settings()).speed.bitsPerSecond;
  auto reply = AnswerOnBus(ListeningAt(meters_, baud), *frame);
  if (!reply) return;
  const virt::Nanos start = line.Now() + virt::Ms(reply->delayMs);
  const auto chunk = static_cast<std::size_t>(behaviour_.burstBytes);
  if (chunk == 0) {
    line.SendToMaster(reply->bytes, start, virt::Ms(reply->gapMs));
    return;
  }
  // A gateway passes on what it has collected, a burst at a time, with pauses between.
  const std::span<const std::uint8_t> all(reply->bytes);
  for (std::size_t at = 0, n = 0; at < all.size(); at += chunk, ++n) {
    const auto part = all.subspan(at, std::min(chunk, all.size() - at));
    line.SendToMaster(part, start + static_cast<virt::Nanos>(n) * virt::Ms(behaviour_.burstGapMs));
  }
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

// The master sets the speed on its side of the pseudo-terminal; the meter side sees the same
// settings, so a meter that switched speed hears only a master that switched too.
int PtyMeterServer::LineBaud(int fd) const {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return StreamMeterServer::LineBaud(fd);
  static constexpr std::pair<speed_t, int> kSpeeds[] = {
      {B300, 300},   {B600, 600},     {B1200, 1200},   {B2400, 2400},   {B4800, 4800},
      {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (const auto& [code, baud] : kSpeeds) {
    if (cfgetispeed(&tio) == code) return baud;
  }
  return StreamMeterServer::LineBaud(fd);
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
