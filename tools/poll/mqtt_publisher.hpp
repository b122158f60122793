// Hands spooled readings to the MQTT broker, oldest first, QoS 1, and forgets each one only when
// the broker has acknowledged it. Runs its own thread around libmosquitto's socket: a reading is
// on its way within a poll wake-up of being spooled. While the broker is away it keeps trying
// (with back-off up to 30 s) and the readings wait in the spool; when it answers, publishing
// resumes from the oldest. A reading in flight when the connection broke is sent again, so it may
// arrive twice but never not at all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "poll_config.hpp"
#include "poll_log.hpp"
#include "spool.hpp"

struct mosquitto;

namespace velmar::tools {

struct MqttMessage {
  std::string topic;
  std::string payload;
};

class MqttPublisher {
 public:
  // `retained` are sent (retained, QoS 1) on every connection, as is what Retain() adds. The
  // collector's status topic PREFIX/status gets "online" on every connection and "offline" as
  // the last will and when stopping. Readings are retained when the configuration's
  // retain_state says so. Throws Error when the TLS files are refused.
  MqttPublisher(const MqttEntry& config, Spool& spool, PollLog& log,
                std::vector<MqttMessage> retained);
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  void Start();
  // A reading was spooled: publish it now. Never blocks.
  void Wake();
  // Keeps `payload` as the retained message of `topic` (a meter's availability, a discovery
  // configuration): sent now when it differs from what the topic had, and again on every
  // connection. Thread-safe; never blocks beyond a lock.
  void Retain(const std::string& topic, const std::string& payload);
  // Publishes what it can within `drain`, then "offline", disconnects and ends the thread.
  // What is left stays in the spool for the next start. At most `drain` plus one second.
  void Stop(std::chrono::milliseconds drain);
  // Why the broker refused the collector (credentials, authorisation) or failed the TLS check
  // (its certificate not signed by tls_ca or not for this host), or "": the collector cannot
  // go on.
  std::string Fatal() const;
  std::int64_t Published() const { return published_; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class State { kDown, kConnecting, kUp };

  void Run();
  void Connect();
  void Create();
  void Drop(const std::string& why);
  void PublishMore();
  void PublishRetained();
  void Service(int timeout_ms);
  void Finish();
  bool Drained();
  int MillisecondsUntil(Clock::time_point when) const;
  void RefuseTls();
  static void OnLog(mosquitto* mosq, void* self, int level, const char* text);
  static void OnConnect(mosquitto* mosq, void* self, int rc);
  static void OnDisconnect(mosquitto* mosq, void* self, int rc);
  static void OnPublish(mosquitto* mosq, void* self, int mid);

  MqttEntry config_;
  Spool& spool_;
  PollLog& log_;
  std::mutex retained_mutex_;
  std::map<std::string, std::string> retained_;  // topic -> payload
  std::set<std::string> unsent_;                 // retained topics not yet sent on this connection
  std::string status_topic_;
  std::string client_id_;
  mosquitto* mosq_ = nullptr;
  State state_ = State::kDown;
  bool lost_ = false;
  std::string lost_reason_;
  std::map<int, std::int64_t> inflight_;  // message id -> spool id
  std::int64_t sent_up_to_ = 0;
  Clock::time_point next_attempt_{};
  Clock::time_point connect_deadline_{};
  std::chrono::milliseconds backoff_{500};
  bool away_ = false;  // the broker is away and the log said so
  int offline_mid_ = -1;
  bool offline_acked_ = false;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  Clock::time_point drain_until_{};
  mutable std::mutex fatal_mutex_;
  std::string fatal_;
  std::string tls_error_;  // the TLS library's last complaint, for the message
  std::atomic<std::int64_t> published_{0};
};

}  // namespace velmar::tools
