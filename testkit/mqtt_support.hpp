// A real Mosquitto broker on 127.0.0.1 (a free port) and a real MQTT subscriber, for the
// collector's tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "process.hpp"

struct mosquitto;
struct mosquitto_message;

namespace velmar::testing {

// True when the broker program is installed (the tests skip without it).
bool HaveBroker();

// A TCP port on 127.0.0.1 that nothing listens on just now.
std::uint16_t FreeLoopbackPort();

class TestBroker {
 public:
  // `extra` lines go into its configuration after its listener (authentication, TLS, more
  // listeners), `global` lines before it (options that must precede listeners). The broker keeps
  // its sessions on disk, so a subscriber's queued messages survive a restart.
  explicit TestBroker(const std::string& extra = "", const std::string& global = "");
  ~TestBroker();
  // Starts it and returns once every listener of its configuration accepts connections.
  void Start();
  // Stops it (SIGTERM: it saves its sessions) and waits for it to end.
  void Stop();
  // Stops it where it is (SIGSTOP): connections stay open, nothing is read or answered.
  void Freeze();
  // Ends it at once (SIGKILL, also when frozen): what it held in memory only is gone.
  void Kill();
  std::uint16_t Port() const { return port_; }
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::vector<std::uint16_t> listeners_;  // its own and those of `extra` and `global`
  std::uint16_t port_ = 0;
  std::unique_ptr<BackgroundProcess> process_;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// Subscribes to `filter` with QoS 1 in a session the broker keeps while it is away, and
// reconnects on its own.
class Subscriber {
 public:
  Subscriber(std::uint16_t port, const std::string& filter, const std::string& id);
  ~Subscriber();
  std::vector<Received> Messages();
  // Waits until `done` holds for the messages so far; false after `limit`.
  bool WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
               std::chrono::milliseconds limit);

 private:
  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnMessage(mosquitto* m, void* self, const mosquitto_message* msg);
  std::string filter_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::vector<Received> messages_;
};

}  // namespace velmar::testing
