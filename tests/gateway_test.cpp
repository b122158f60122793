// A transparent M-Bus to Ethernet gateway on loopback: the control reads through it exactly as
// through a serial line, and a gateway that drops the connection, refuses it or stays silent
// ends the call the way a serial adapter would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "line_peers.hpp"
#include "posix_host.hpp"
#include "tcp_server.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar {
namespace {

using GatewayHost = testing::PosixHostOn<posix::TcpGatewayPort>;
using testing::OpenDescriptors;

// A listening socket on a free loopback port.
struct Listener {
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
  int fd = -1;
  std::uint16_t port = 0;
};

TEST(Gateway, ReadsAndWritesLikeASerialLine) {
  sim::SimMeter meter;
  sim::TcpMeterServer server(meter, 0, 9600);
  GatewayHost host("127.0.0.1", server.Port());
  ASSERT_EQ(host.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(host.control->MeterID(), Variant(meter.config().identNumber));
  EXPECT_FALSE(host.port->PortOpen());  // closing disconnects
  std::string password = "00000000";
  ASSERT_EQ(host.control->givePassword(password), 0);
  std::string clock = "101500241226";
  EXPECT_EQ(host.control->SetDateTime(clock), 0);
  server.WithMeters([&] { EXPECT_EQ(meter.config().dateTime, "261224101500"); });
  // The speed is kept and reported, not sent anywhere.
  host.control->CommSpeed(Variant(std::int32_t{300}));
  EXPECT_EQ(host.control->CommSpeed(), Variant(" 300"));
  EXPECT_EQ(host.control->cmd_ReqUD2(), 0);
}

TEST(Gateway, ARefusedConnectionFailsTheOpenWithItsReason) {
  std::uint16_t closed_port;
  {
    Listener l;
    closed_port = l.port;
  }
  GatewayHost host("127.0.0.1", closed_port);
  EXPECT_EQ(host.control->cmd_ReqUD2(), ReadResult::kCouldNotInit);
  EXPECT_NE(host.port->LastError().find("127.0.0.1:" + std::to_string(closed_port)),
            std::string::npos);
  EXPECT_NE(host.port->LastError().find("refused"), std::string::npos) << host.port->LastError();
}

// A gateway whose accept queue is full never completes the handshake: the open gives up at the
// connect time-out and says so, instead of counting the half-open socket as connected.
TEST(Gateway, AHandshakeThatNeverCompletesFailsTheOpenAtTheTimeOut) {
  Listener l;
  ::listen(l.fd, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {  // fill the accept queue; later handshakes go unanswered
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(l.port);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(c);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  posix::PosixEventLoop loop;
  posix::TcpGatewayPort port(loop, "127.0.0.1", l.port);
  port.SetConnectTimeout(std::chrono::milliseconds(300));
  try {
    port.SetPortOpen(true);
    ADD_FAILURE() << "the open succeeded without a completed handshake";
  } catch (const PortError& e) {
    const std::string why = e.what();
    EXPECT_NE(why.find("127.0.0.1:" + std::to_string(l.port)), std::string::npos) << why;
    EXPECT_NE(why.find("no answer within"), std::string::npos) << why;
  }
  EXPECT_FALSE(port.PortOpen());
  for (int c : fillers) ::close(c);
}

// A watch that, as a GUI toolkit's socket notifier does, only ever says "readable": a socket
// the other end closed is then known gone only by its read of no bytes.
struct ReadableOnlyWatch : posix::DescriptorWatch {
  void AddSource(posix::DescriptorSource* s) override { source = s; }
  void RemoveSource(posix::DescriptorSource*) override { source = nullptr; }
  posix::DescriptorSource* source = nullptr;
};

TEST(Gateway, AConnectionTheGatewayClosesIsLostWhenOnlyReadabilityIsWatched) {
  Listener l;
  std::thread gateway([&] { ::close(::accept(l.fd, nullptr, nullptr)); });
  ReadableOnlyWatch watch;
  posix::TcpGatewayPort port(watch, "127.0.0.1", l.port);
  port.SetPortOpen(true);
  gateway.join();
  ASSERT_NE(watch.source, nullptr);
  pollfd end{watch.source->Fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&end, 1, 5000), 1);  // the close has arrived
  watch.source->OnReady(posix::kReadable);
  try {
    port.InBufferCount();
    ADD_FAILURE() << "a closed connection is still taken for a quiet one";
  } catch (const PortError& e) {
    EXPECT_NE(std::string(e.what()).find("closed the connection"), std::string::npos) << e.what();
  }
  port.SetPortOpen(false);
}

// The gateway answers the link reset, then closes the connection in the middle of the reply.
TEST(Gateway, ADroppedConnectionEndsTheCallAndTheNextCallReconnects) {
  Listener l;
  const int before = OpenDescriptors();
  std::thread gateway([&] {
    const int c = ::accept(l.fd, nullptr, nullptr);
    std::uint8_t buf[64];
    ::recv(c, buf, 5, MSG_WAITALL);  // SND_NKE
    const std::uint8_t ack = 0xE5;
    ::send(c, &ack, 1, 0);
    ::recv(c, buf, 5, MSG_WAITALL);  // REQ_UD2
    const std::uint8_t half[] = {0x68, 0x1F, 0x1F, 0x68, 0x08, 0x01, 0x72};
    ::send(c, half, sizeof half, 0);
    ::close(c);
  });
  {
    GatewayHost host("127.0.0.1", l.port);
    EXPECT_THROW(host.control->cmd_ReqUD2(), PortError);
    gateway.join();
    EXPECT_EQ(host.control->closePort(), 0);
    EXPECT_FALSE(host.port->PortOpen());

    std::thread second([&] {
      const int c = ::accept(l.fd, nullptr, nullptr);
      std::uint8_t buf[8];
      ::recv(c, buf, 5, MSG_WAITALL);
      const std::uint8_t ack = 0xE5;
      ::send(c, &ack, 1, 0);
      ::recv(c, buf, 5, MSG_WAITALL);
      ::recv(c, buf, sizeof buf, 0);  // silent until the control disconnects
      ::close(c);
    });
    EXPECT_EQ(host.control->cmd_ReqUD2(), 0);  // reconnected; a silent gateway: no reply
    EXPECT_TRUE(host.control->Timeout());
    second.join();
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace velmar
