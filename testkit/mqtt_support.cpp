#include "mqtt_support.hpp"

#include <signal.h>

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velmar::testing {
namespace {

const char* kBroker = "/usr/sbin/mosquitto";

}  // namespace

std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

namespace {

bool Accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// The ports of the `listener PORT ...` lines of a broker configuration.
std::vector<std::uint16_t> ListenerPorts(const std::string& conf) {
  std::vector<std::uint16_t> ports;
  std::istringstream lines(conf);
  std::string word;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    unsigned port = 0;
    if (words >> word && word == "listener" && words >> port) {
      ports.push_back(static_cast<std::uint16_t>(port));
    }
  }
  return ports;
}

}  // namespace

bool HaveBroker() {
  return ::access(kBroker, X_OK) == 0;
}

TestBroker::TestBroker(const std::string& extra, const std::string& global)
    : listeners_(ListenerPorts(global + extra)) {
  // A port the caller already gave another listener is free just now too: pick past it.
  do {
    port_ = FreeLoopbackPort();
  } while (std::find(listeners_.begin(), listeners_.end(), port_) != listeners_.end());
  listeners_.push_back(port_);
  char pattern[] = "/tmp/velmar-broker-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  std::ofstream conf(dir_ / "mosquitto.conf");
  // Run as root, the broker would change to its own user and could not write into this folder.
  const passwd* me = ::getpwuid(::getuid());
  conf << global << "listener " << port_ << " 127.0.0.1\n"
       << "user " << (me != nullptr ? me->pw_name : "root") << "\n"
       << "persistence true\npersistence_location " << dir_.string()
       << "/\n"
       // Sessions reach the disk every second, so a broker killed outright keeps them.
       << "autosave_interval 1\n"
       << "log_dest file " << (dir_ / "broker.log").string() << "\n"
       << (extra.empty() ? "allow_anonymous true\n" : extra);
}

TestBroker::~TestBroker() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TestBroker::Start() {
  process_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{kBroker, "-c", (dir_ / "mosquitto.conf").string()});
  // The broker opens its listeners one after another: the test may use any of them.
  for (const std::uint16_t port : listeners_) {
    for (int i = 0; i < 500 && !Accepts(port); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Accepts(port)) {
      throw std::runtime_error("the broker does not listen on " + std::to_string(port));
    }
  }
}

void TestBroker::Freeze() {
  if (process_) ::kill(process_->Pid(), SIGSTOP);
}

void TestBroker::Kill() {
  if (process_) process_->Stop(SIGKILL, 10000);
  process_.reset();
}

void TestBroker::Stop() {
  if (process_) process_->Stop(SIGTERM, 10000);
  process_.reset();
}

Subscriber::Subscriber(std::uint16_t port, const std::string& filter, const std::string& id)
    : filter_(filter) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(id.c_str(), false, this);
  mosquitto_connect_callback_set(mosq_, &Subscriber::OnConnect);
  mosquitto_message_callback_set(mosq_, &Subscriber::OnMessage);
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("the subscriber cannot connect");
  }
  mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
}

void Subscriber::OnConnect(mosquitto* m, void* self, int rc) {
  if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
}

void Subscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* msg) {
  auto* s = static_cast<Subscriber*>(self);
  std::lock_guard lock(s->mutex_);
  s->messages_.push_back({msg->topic,
                          std::string(static_cast<const char*>(msg->payload),
                                      static_cast<std::size_t>(msg->payloadlen)),
                          msg->retain});
}

std::vector<Received> Subscriber::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
                         std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (done(Messages())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done(Messages());
}

}  // namespace velmar::testing
