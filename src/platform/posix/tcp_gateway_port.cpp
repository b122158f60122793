#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/text.hpp"

namespace velmar::posix {
namespace {

// Connects without blocking longer than `timeout`; the descriptor, or -1 with errno set
// (ETIMEDOUT when the gateway never answered).
int ConnectWithin(const addrinfo& a, std::chrono::milliseconds timeout) {
  const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) return -1;
  if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int ready;
  while ((ready = ::poll(&p, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
  }
  int err = ETIMEDOUT;
  socklen_t len = sizeof err;
  if (ready == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) {
    ::close(fd);
    errno = err;
    return -1;
  }
  // A frame goes out as soon as it is written: the line's timing is the control's.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

bool ParseGatewayAddress(const std::string& text, std::string& host, std::uint16_t& port) {
  constexpr std::string_view kScheme = "tcp://";
  if (text.rfind(kScheme, 0) != 0) return false;
  const std::string rest = text.substr(kScheme.size());
  const auto colon = rest.rfind(':');
  int number = 0;
  const char* first = rest.data() + (colon == std::string::npos ? rest.size() : colon + 1);
  const char* last = rest.data() + rest.size();
  const auto [end, ec] = std::from_chars(first, last, number);
  if (colon == std::string::npos || colon == 0 || ec != std::errc() || end != last || number < 1 ||
      number > 65535) {
    throw ArgumentError("gateway \"" + Shown(text) +
                        "\" is not tcp://HOST:PORT with a port from 1 to 65535");
  }
  host = rest.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);  // [::1]
  }
  port = static_cast<std::uint16_t>(number);
  return true;
}

TcpGatewayPort::TcpGatewayPort(DescriptorWatch& loop, std::string host, std::uint16_t port)
    : PosixStreamPort(loop), host_(std::move(host)), port_(port) {}

TcpGatewayPort::~TcpGatewayPort() = default;

std::string TcpGatewayPort::Name() const {
  return "gateway " + host_ + ":" + std::to_string(port_);
}

int TcpGatewayPort::OpenDescriptor() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port_);
  if (const int rc = getaddrinfo(host_.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw PortError("cannot find " + Name() + ": " + gai_strerror(rc));
  }
  int err = 0;
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ConnectWithin(*a, connect_timeout_);
    if (fd < 0) err = errno;
  }
  freeaddrinfo(found);
  if (fd >= 0) return fd;
  if (err == ETIMEDOUT) {
    throw PortError("cannot connect to " + Name() + ": no answer within " +
                    std::to_string(connect_timeout_.count() / 1000.0).substr(0, 3) + " s");
  }
  throw PortError("cannot connect to " + Name() + ": " + std::strerror(err));
}

std::unique_ptr<SerialPortBase> PortForDevice(DescriptorWatch& loop, const std::string& device) {
  std::string host;
  std::uint16_t port = 0;
  if (ParseGatewayAddress(device, host, port)) {
    return std::make_unique<TcpGatewayPort>(loop, host, port);
  }
  auto serial = std::make_unique<PosixSerialPort>(loop);
  serial->SetDefaultDevice(device);
  return serial;
}

}  // namespace velmar::posix
