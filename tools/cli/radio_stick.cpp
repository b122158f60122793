#include "radio_stick.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "commands.hpp"
#include "radio_fleet.hpp"
#include "rtl433_lines.hpp"
#include "signal_watch.hpp"
#include "tcp_server.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::tools {
namespace {

// The stick's end of the line: the pseudo-terminal's master side, or one TCP client at a time.
class StickLine : public posix::DescriptorSource {
 public:
  StickLine(posix::PosixEventLoop& loop, const StickOptions& o)
      : loop_(loop), protocol_(MakeReceiverProtocol(o.kind)), kind_(o.kind) {
    if (o.tcpPort >= 0) {
      OpenListener(static_cast<std::uint16_t>(o.tcpPort));
    } else {
      OpenPty();
    }
    // A stick sends nothing until it is told its mode; hex lines flow at once.
    started_ = protocol_->StartCommand(RadioMode::kT1).empty();
    loop_.AddSource(this);
  }
  ~StickLine() override {
    loop_.RemoveSource(this);
    for (int fd : {fd_, holder_, listener_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  StickLine(const StickLine&) = delete;
  StickLine& operator=(const StickLine&) = delete;

  const std::string& Where() const { return where_; }

  // Sends a telegram as the stick delivers it; dropped while nobody listens (as on the air).
  void Deliver(const std::vector<std::uint8_t>& telegram, int rssi) {
    if (!started_ || fd_ < 0) return;
    Write(protocol_->Indication(telegram, rssi));
  }
  int Fd() const override { return fd_ >= 0 ? fd_ : listener_; }
  unsigned Events() const override { return posix::kReadable; }
  void OnReady(unsigned) override {
    if (fd_ < 0) {
      fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      return;
    }
    std::uint8_t buffer[256];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      Drop();
      return;
    }
    const auto answer = protocol_->Answer(std::span(buffer, static_cast<std::size_t>(n)));
    if (!answer.empty()) {
      Write(answer);
      started_ = true;
    }
  }

 private:
  void OpenPty() {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
      throw Error("cannot create a pseudo-terminal for the simulated stick");
    }
    where_ = ptsname(fd_);
    // Holding the other side open keeps the master usable while no receiver has it open; raw
    // mode keeps the terminal from echoing the stick's bytes.
    holder_ = ::open(where_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (holder_ < 0 || tcgetattr(holder_, &tio) != 0) {
      throw Error("cannot open the simulated stick's pseudo-terminal " + where_);
    }
    cfmakeraw(&tio);
    tcsetattr(holder_, TCSANOW, &tio);
  }

  void OpenListener(std::uint16_t port) {
    std::uint16_t bound = 0;
    listener_ = sim::ListenOnLoopback(port, bound);
    where_ = "127.0.0.1:" + std::to_string(bound);
  }

  // A TCP receiver that went away: the next one connects afresh and configures the stick again.
  void Drop() {
    if (listener_ < 0) return;  // a pseudo-terminal without a reader just reads nothing
    ::close(fd_);
    fd_ = -1;
    started_ = protocol_->StartCommand(RadioMode::kT1).empty();
    protocol_ = MakeReceiverProtocol(kind_);
  }

  void Write(const std::vector<std::uint8_t>& bytes) {
    // A full pseudo-terminal (nobody reading) drops the rest, as a stick's buffer overflows; a
    // receiver that hung up is dropped (no SIGPIPE: the stick outlives its receivers).
    const ssize_t n = listener_ >= 0 ? ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                                     : ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && listener_ >= 0) Drop();
  }

  posix::PosixEventLoop& loop_;
  std::unique_ptr<ReceiverProtocol> protocol_;
  ReceiverKind kind_ = ReceiverKind::kHex;
  std::string where_;
  int fd_ = -1;
  int holder_ = -1;
  int listener_ = -1;
  bool started_ = false;
};

// rtl_433 as a program: its lines on standard output, nothing else there.
int RunSimulatedRtl433(const StickOptions& o) {
  posix::PosixEventLoop loop;
  SignalWatch signals(loop);
  bool stop = false;
  signals.OnSignal([&](int) { stop = true; });
  RadioFleet fleet(o.meters, o.key);
  const Rtl433Lines lines;
  int n = 0;
  auto timer = loop.CreateTimer([&] {
    bool damaged = false;
    const auto t = fleet.Next(damaged);
    if (damaged) return;
    const auto line = lines.Indication(t, -60 - (n++ % 30));
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) stop = true;  // the reader left
  });
  timer->SetInterval(o.intervalMs);
  timer->SetEnabled(true);
  std::cerr << "rtl_433 (simulated): " << o.meters << " wireless meters" << std::endl;
  while (!stop) loop.WaitForEvents();
  return kExitOk;
}

}  // namespace

int RunSimulatedStick(const StickOptions& o) {
  if (o.rtl433) return RunSimulatedRtl433(o);
  posix::PosixEventLoop loop;
  SignalWatch signals(loop);
  bool stop = false;
  signals.OnSignal([&](int) { stop = true; });
  StickLine line(loop, o);
  std::cout << line.Where() << std::endl;
  RadioFleet fleet(o.meters, o.key);
  int n = 0;
  auto timer = loop.CreateTimer([&] {
    bool damaged = false;
    auto t = fleet.Next(damaged);
    if (o.kind == ReceiverKind::kHex || o.kind == ReceiverKind::kCul) {
      // Software radios print the frame with its CRCs, and a CUL passes it on with them: a bit
      // flipped on the air fails one.
      t = WithFormatACrcs(t);
      if (damaged) t[12] ^= 0x01;
    } else if (damaged) {
      t.resize(t.size() - 3);  // a stick passes on what it got; L still counts the bytes lost
    }
    line.Deliver(t, -60 - (n++ % 30));
  });
  timer->SetInterval(o.intervalMs);
  timer->SetEnabled(true);
  while (!stop) loop.WaitForEvents();
  return kExitOk;
}

}  // namespace velmar::tools
