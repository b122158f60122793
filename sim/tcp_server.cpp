#include "tcp_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velmar::sim {

int ListenOnLoopback(std::uint16_t port, std::uint16_t& bound) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("cannot create a socket for the simulator");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
  }
  bound = ntohs(addr.sin_port);
  return fd;
}

TcpMeterServer::TcpMeterServer(std::vector<SimMeter*> meters, std::uint16_t port, int baud)
    : StreamMeterServer(std::move(meters), baud) {
  listener_ = ListenOnLoopback(port, port_);
  Start();
}

TcpMeterServer::~TcpMeterServer() {
  Stop();
  DropClient();
  ::close(listener_);
}

bool TcpMeterServer::ServeOnce() {
  pollfd fds[3] = {{WakeFd(), POLLIN, 0}, {listener_, POLLIN, 0}, {client_, POLLIN, 0}};
  if (poll(fds, client_ >= 0 ? 3 : 2, 500) <= 0) return !Stopping();
  if (fds[0].revents) return false;
  if (fds[1].revents & POLLIN) AcceptClient();
  if (client_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
    std::uint8_t buf[512];
    const ssize_t n = ::recv(client_, buf, sizeof buf, 0);
    if (n <= 0) {
      DropClient();
    } else {
      Consume(client_, buf, static_cast<std::size_t>(n));
    }
  }
  return true;
}

void TcpMeterServer::AcceptClient() {
  const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (client_ >= 0) {
    ::close(fd);  // one master per bus
    return;
  }
  // Each answer byte goes out on its own, paced like the serial line; no batching.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  client_ = fd;
  ResetFrame();
}

void TcpMeterServer::DropClient() {
  if (client_ >= 0) ::close(client_);
  client_ = -1;
  ResetFrame();
}

bool TcpMeterServer::SendByte(int fd, std::uint8_t b) {
  // A client that hung up must not take the simulator down with SIGPIPE.
  return ::send(fd, &b, 1, MSG_NOSIGNAL) == 1;
}

}  // namespace velmar::sim
