#include "mqtt_publisher.hpp"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "topics.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

constexpr std::size_t kWindow = 20;  // readings in flight at once (the broker's usual limit)
constexpr auto kMaxBackoff = std::chrono::seconds(30);
constexpr auto kConnackWait = std::chrono::seconds(10);

std::string DefaultClientId() {
  char host[64] = "host";
  gethostname(host, sizeof host - 1);
  return "velmar-" + std::string(host) + "-" + std::to_string(getpid());
}

std::string Reason(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

}  // namespace

MqttPublisher::MqttPublisher(const MqttEntry& config, Spool& spool, PollLog& log,
                             std::vector<MqttMessage> retained)
    : config_(config),
      spool_(spool),
      log_(log),
      status_topic_(StatusTopic(config.prefix)),
      client_id_(config.clientId.empty() ? DefaultClientId() : config.clientId) {
  for (MqttMessage& m : retained) retained_[m.topic] = std::move(m.payload);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) throw Error(std::string("eventfd: ") + std::strerror(errno));
  Create();  // refuses bad TLS files now, before anything starts
}

MqttPublisher::~MqttPublisher() {
  if (thread_.joinable()) Stop(std::chrono::milliseconds(0));
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void MqttPublisher::Create() {
  mosq_ = mosquitto_new(client_id_.c_str(), true, this);
  if (mosq_ == nullptr) throw Error("mqtt: cannot create a client");
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_will_set(mosq_, status_topic_.c_str(), 7, "offline", 1, true);
  if (!config_.username.empty()) {
    mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                              config_.password.empty() ? nullptr : config_.password.c_str());
  }
  if (!config_.tlsCa.empty()) {
    const int rc =
        mosquitto_tls_set(mosq_, config_.tlsCa.c_str(), nullptr,
                          config_.tlsCert.empty() ? nullptr : config_.tlsCert.c_str(),
                          config_.tlsKey.empty() ? nullptr : config_.tlsKey.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      throw Error("mqtt: the TLS files were refused (" + Reason(rc) + "): check tls_ca (" +
                  config_.tlsCa + "), tls_cert and tls_key");
    }
    mosquitto_tls_insecure_set(mosq_, config_.tlsInsecure);
  }
  mosquitto_log_callback_set(mosq_, &MqttPublisher::OnLog);
  mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
}

void MqttPublisher::Start() {
  thread_ = std::thread([this] {
    try {
      Run();
    } catch (const std::exception& e) {
      // The spool failing (a full disk, say) leaves nothing safe to do but stop and say why.
      std::lock_guard lock(fatal_mutex_);
      fatal_ = std::string("publishing stopped: ") + e.what();
    }
  });
}

void MqttPublisher::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(wake_fd_, &one, sizeof one);
}

void MqttPublisher::Stop(std::chrono::milliseconds drain) {
  drain_until_ = Clock::now() + drain;
  stopping_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
}

void MqttPublisher::Retain(const std::string& topic, const std::string& payload) {
  {
    std::lock_guard lock(retained_mutex_);
    std::string& kept = retained_[topic];
    if (kept == payload && !kept.empty()) return;
    kept = payload;
    unsent_.insert(topic);
  }
  Wake();
}

std::string MqttPublisher::Fatal() const {
  std::lock_guard lock(fatal_mutex_);
  return fatal_;
}

int MqttPublisher::MillisecondsUntil(Clock::time_point when) const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::clamp<long>(left.count(), 0, 1000));
}

bool MqttPublisher::Drained() {
  return state_ == State::kUp && inflight_.empty() && spool_.After(sent_up_to_, 1).empty();
}

void MqttPublisher::Run() {
  while (Fatal().empty()) {
    if (stopping_ && (Drained() || state_ != State::kUp || Clock::now() >= drain_until_)) break;
    if (state_ == State::kDown && Clock::now() >= next_attempt_) Connect();
    if (state_ == State::kConnecting && Clock::now() >= connect_deadline_) {
      lost_ = true;
      lost_reason_ = "no answer to the connection request";
    }
    if (state_ == State::kUp) PublishMore();
    if (lost_) Drop(lost_reason_);
    int timeout = state_ == State::kDown ? MillisecondsUntil(next_attempt_) : 1000;
    if (stopping_) timeout = std::min(timeout, MillisecondsUntil(drain_until_));
    Service(timeout);
    if (lost_) Drop(lost_reason_);
  }
  Finish();
}

void MqttPublisher::Connect() {
  if (mosq_ == nullptr) Create();
  const int rc = mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepalive);
  if (rc == MOSQ_ERR_SUCCESS) {
    state_ = State::kConnecting;
    connect_deadline_ = Clock::now() + kConnackWait;
    return;
  }
  if (rc == MOSQ_ERR_TLS) {
    RefuseTls();
    return;
  }
  lost_ = true;
  lost_reason_ = Reason(rc);
  Drop(lost_reason_);
}

// The connection is gone (or never came): a fresh client next time, so nothing the library
// still holds is sent behind the spool's back; the spool resends from its oldest reading.
void MqttPublisher::Drop(const std::string& why) {
  if (!away_) {
    log_.Note("broker " + config_.host + ":" + std::to_string(config_.port) + " unreachable (" +
              why + "): readings are kept " + spool_.Whereabouts() +
              " and published when it answers");
    away_ = true;
  }
  if (mosq_ != nullptr) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
  state_ = State::kDown;
  lost_ = false;
  inflight_.clear();
  sent_up_to_ = 0;
  next_attempt_ = Clock::now() + backoff_;
  backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, kMaxBackoff);
}

void MqttPublisher::Service(int timeout_ms) {
  pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
  nfds_t count = 1;
  if (state_ != State::kDown && mosq_ != nullptr && mosquitto_socket(mosq_) >= 0) {
    fds[1] = {mosquitto_socket(mosq_),
              static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
    count = 2;
  }
  if (::poll(fds, count, timeout_ms) < 0 && errno != EINTR) return;
  if (fds[0].revents & POLLIN) {
    std::uint64_t drained = 0;
    [[maybe_unused]] const auto n = ::read(wake_fd_, &drained, sizeof drained);
  }
  if (count < 2) return;
  int rc = MOSQ_ERR_SUCCESS;
  if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS && mosq_ != nullptr && mosquitto_want_write(mosq_)) {
    rc = mosquitto_loop_write(mosq_, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS && mosq_ != nullptr) rc = mosquitto_loop_misc(mosq_);
  if (rc == MOSQ_ERR_TLS) {
    RefuseTls();
    return;
  }
  if (rc != MOSQ_ERR_SUCCESS && !lost_ && Fatal().empty()) {
    lost_ = true;
    lost_reason_ = Reason(rc);
  }
}

// Retained messages go before the readings, so a consumer learns of an entity before its
// first state.
void MqttPublisher::PublishRetained() {
  std::lock_guard lock(retained_mutex_);
  for (auto it = unsent_.begin(); it != unsent_.end() && !lost_;) {
    const std::string& payload = retained_[*it];
    const int rc = mosquitto_publish(mosq_, nullptr, it->c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
      lost_ = true;
      lost_reason_ = Reason(rc);
      return;
    }
    it = unsent_.erase(it);
  }
}

void MqttPublisher::PublishMore() {
  PublishRetained();
  while (inflight_.size() < kWindow && !lost_) {
    const auto batch = spool_.After(sent_up_to_, static_cast<int>(kWindow - inflight_.size()));
    if (batch.empty()) return;
    for (const Spool::Entry& e : batch) {
      int mid = 0;
      const int rc =
          mosquitto_publish(mosq_, &mid, e.topic.c_str(), static_cast<int>(e.payload.size()),
                            e.payload.data(), 1, config_.retainState);
      if (rc != MOSQ_ERR_SUCCESS) {
        lost_ = true;
        lost_reason_ = Reason(rc);
        return;
      }
      inflight_[mid] = e.id;
      sent_up_to_ = e.id;
    }
  }
}

void MqttPublisher::Finish() {
  if (state_ == State::kUp && mosq_ != nullptr) {
    mosquitto_publish(mosq_, &offline_mid_, status_topic_.c_str(), 7, "offline", 1, true);
    const auto until = Clock::now() + std::chrono::seconds(1);
    while (!offline_acked_ && !lost_ && Clock::now() < until) Service(MillisecondsUntil(until));
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
  }
  state_ = State::kDown;
}

// A broker that fails the TLS check will not pass it by trying again: the collector stops and
// says why, with what the TLS library found.
void MqttPublisher::RefuseTls() {
  std::lock_guard lock(fatal_mutex_);
  fatal_ = "the broker " + config_.host + ":" + std::to_string(config_.port) +
           " failed the TLS check (" + (tls_error_.empty() ? "a TLS error" : tls_error_) +
           "): check mqtt.tls_ca (the CA that signed the broker's certificate), that the "
           "certificate names mqtt.host, and the client certificate if the broker asks for one";
}

// The TLS library's reason for a failed handshake reaches us only through the log.
void MqttPublisher::OnLog(mosquitto*, void* self, int level, const char* text) {
  auto* p = static_cast<MqttPublisher*>(self);
  const std::string_view line(text);
  constexpr std::string_view kTls = "OpenSSL Error";
  if (level != MOSQ_LOG_ERR || line.substr(0, kTls.size()) != kTls) return;
  // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed": the reason is
  // after the last colon.
  const auto colon = line.rfind(':');
  p->tls_error_ = std::string(colon == std::string_view::npos ? line : line.substr(colon + 1));
}

void MqttPublisher::OnConnect(mosquitto* mosq, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (rc == 4 || rc == 5) {
    std::lock_guard lock(p->fatal_mutex_);
    p->fatal_ = "the broker " + p->config_.host + ":" + std::to_string(p->config_.port) +
                " refused the collector: " + mosquitto_connack_string(rc) +
                (p->config_.username.empty() ? " (no username given: set mqtt.username and "
                                               "mqtt.password)"
                                             : " (username " + p->config_.username + ")");
    return;
  }
  if (rc != 0) {
    p->lost_ = true;
    p->lost_reason_ = mosquitto_connack_string(rc);
    return;
  }
  p->state_ = State::kUp;
  p->backoff_ = std::chrono::milliseconds(500);
  mosquitto_publish(mosq, nullptr, p->status_topic_.c_str(), 6, "online", 1, true);
  {
    std::lock_guard lock(p->retained_mutex_);
    for (const auto& [topic, payload] : p->retained_) p->unsent_.insert(topic);
  }
  const auto waiting = p->spool_.Size();
  if (p->away_) {
    p->log_.Note("broker " + p->config_.host + ":" + std::to_string(p->config_.port) +
                 " answers again: publishing " + std::to_string(waiting) + " spooled readings");
  } else {
    p->log_.Note("connected to the broker " + p->config_.host + ":" +
                 std::to_string(p->config_.port) +
                 (waiting > 0 ? ": publishing " + std::to_string(waiting) + " spooled readings"
                              : std::string()));
  }
  p->away_ = false;
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (rc != 0 && !p->lost_) {
    p->lost_ = true;
    p->lost_reason_ = "the connection broke";
  }
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (mid == p->offline_mid_) {
    p->offline_acked_ = true;
    return;
  }
  auto it = p->inflight_.find(mid);
  if (it == p->inflight_.end()) return;  // a status or discovery message
  p->spool_.Remove(it->second);
  p->inflight_.erase(it);
  ++p->published_;
}

}  // namespace velmar::tools
