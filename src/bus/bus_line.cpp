#include "bus/bus_line.hpp"

#include <algorithm>
#include <cmath>

#include "bus/frame_judge.hpp"
#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"

namespace velmar::bus {
namespace {

constexpr std::size_t kLongestFrame = 255 + 6;
// After closing: a gateway serves one client at a time and turns away one that connects before
// it has seen the last one go; a converter's supply falls with RTS.
constexpr int kCloseRestMs = 50;
// While the line is silent the loop looks at least this often: a first byte that lands just
// as it goes to sleep waits no longer.
constexpr int kFirstByteLookMs = 50;
constexpr std::size_t kWokenFor = 3;  // the last characters of a frame, taken as they arrive

// Where a reply stands while its bytes come in.
enum class Phase { kEcho, kAnswer };

bool PrefixOf(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

BusLine::BusLine(EventLoop& events, SerialPort& port)
    : events_(events),
      port_(port),
      deadline_(events.CreateTimer([this] {
        deadline_passed_ = true;
        deadline_->SetEnabled(false);
      })),
      limit_(events.CreateTimer([this] {
        limit_passed_ = true;
        limit_->SetEnabled(false);
      })),
      nap_(events.CreateTimer([this] {
        nap_passed_ = true;
        nap_->SetEnabled(false);
      })) {}

BusLine::~BusLine() = default;

void BusLine::Arm(int ms) {
  deadline_->SetEnabled(false);
  deadline_passed_ = false;
  deadline_->SetInterval(std::max(ms, 1));
  deadline_->SetEnabled(true);
}

void BusLine::ArmLimit(int ms) {
  limit_->SetEnabled(false);
  limit_passed_ = false;
  limit_->SetInterval(std::max(ms, 1));
  limit_->SetEnabled(true);
}

// Sleeps while the rest of a frame whose length is known is still on the line: the bytes wait
// in the port meanwhile, so the loop is not woken for each of them.
void BusLine::Nap(int ms) {
  nap_->SetEnabled(false);
  nap_passed_ = false;
  nap_->SetInterval(std::max(ms, 1));
  nap_->SetEnabled(true);
  while (!nap_passed_ && !deadline_passed_ && !limit_passed_) events_.WaitForEvents();
  nap_->SetEnabled(false);
}

// A port wakes the loop for the first byte of a burst; the bytes after it wait in its queue
// until asked for. One that lands between the last look and the sleep wakes nothing, so a wait
// for the next byte of a frame is never longer than the time the byte takes on the line.
void BusLine::PassAtMost(int ms) {
  nap_->SetEnabled(false);
  nap_passed_ = false;
  nap_->SetInterval(std::max(ms, 1));
  nap_->SetEnabled(true);
  events_.WaitForEvents();
  nap_->SetEnabled(false);
}

void BusLine::Wait(int ms) {
  Arm(ms);
  while (!deadline_passed_) events_.WaitForEvents();
}

void BusLine::Open() {
  if (port_.PortOpen()) return;
  port_.SetPortOpen(true);
  if (settle_ms_ > 0) Wait(settle_ms_);
}

void BusLine::Close() {
  try {
    if (port_.PortOpen()) {
      port_.SetPortOpen(false);
      Wait(kCloseRestMs);
    }
  } catch (const Error&) {
    // A port that is gone is closed as far as the bus is concerned.
  }
}

double BusLine::CharacterSeconds() const {
  std::string now = port_.Settings();
  if (now != settings_ || character_seconds_ == 0) {
    character_seconds_ = SerialSettings::Parse(now).CharacterSeconds();
    settings_ = std::move(now);
  }
  return character_seconds_;
}

void BusLine::Send(std::span<const std::uint8_t> frame) {
  Open();
  port_.ClearInBuffer();  // a late answer to an earlier request is stale now
  port_.Output(frame);
  const double line_ms = static_cast<double>(frame.size()) * CharacterSeconds() * 1000;
  Arm(static_cast<int>(std::ceil(line_ms)) + 1000);
  while (port_.OutBufferCount() != 0 && !deadline_passed_) events_.WaitForEvents();
  deadline_->SetEnabled(false);
  if (port_.OutBufferCount() != 0) throw PortError("a frame did not leave the port");
}

void BusLine::Take(std::vector<std::uint8_t>& into) {
  if (port_.InBufferCount() <= 0) return;
  const auto more = port_.Input();
  into.insert(into.end(), more.begin(), more.end());
}

Heard BusLine::Listen(std::span<const std::uint8_t> sent, const ListenLimits& limits) {
  Heard heard;
  std::vector<std::uint8_t>& b = heard.bytes;
  Phase phase = limits.echo ? Phase::kEcho : Phase::kAnswer;
  const double char_ms = CharacterSeconds() * 1000;
  const int quiet_ms = static_cast<int>(std::ceil(2 * char_ms)) + 1;
  // However the bytes come, a reply ends within the longest frame's line time and a gateway's
  // pause after each of its bytes (a gateway may pass them on one at a time), and no reply is
  // longer than the longest frame.
  ArmLimit(limits.replyTimeoutMs + static_cast<int>(kLongestFrame) * limits.byteTimeoutMs +
           static_cast<int>(std::ceil(kLongestFrame * char_ms)));
  Arm(limits.replyTimeoutMs);
  std::size_t seen = 0;
  for (;;) {
    Take(b);
    if (phase == Phase::kEcho && !b.empty()) {
      if (!PrefixOf(b, sent)) {
        phase = Phase::kAnswer;
      } else if (b.size() == sent.size()) {
        // The converter repeated our frame; the meter's answer time starts now.
        b.clear();
        seen = 0;
        phase = Phase::kAnswer;
        Arm(limits.replyTimeoutMs);
      }
    }
    if (phase == Phase::kAnswer && limits.dropLateAck && !b.empty() && b[0] == kAck) {
      b.erase(b.begin());
      seen = 0;
      Arm(limits.replyTimeoutMs);
      continue;
    }
    if (phase == Phase::kAnswer) {
      if (const auto n = CompleteLength(b)) {
        heard.complete = true;
        if (limits.ackCheck && *n == 1) {
          // Two meters never answer quite in step: a second answer shows within two
          // characters of the first.
          Arm(quiet_ms);
          while (!deadline_passed_) events_.WaitForEvents();
          Take(b);
        } else {
          b.resize(*n);  // what follows the stop byte is not part of the reply
        }
        break;
      }
    }
    if (b.size() >= kLongestFrame) break;  // no frame is this long: noise, or several meters
    if (b.size() > seen) {
      seen = b.size();
      Arm(limits.ackOnly && b[0] != kAck ? quiet_ms : limits.byteTimeoutMs);
    }
    if (deadline_passed_ || limit_passed_) break;
    // Most of a long frame is napped through; its last characters wake the loop as they come.
    const auto need = phase == Phase::kAnswer ? ExpectedLength(b) : std::nullopt;
    if (need && *need > b.size() + kWokenFor) {
      Nap(static_cast<int>(static_cast<double>(*need - b.size() - kWokenFor) * char_ms));
    } else {
      // A byte due within a character is looked for then, woken or not.
      PassAtMost(b.empty() ? std::max(kFirstByteLookMs, quiet_ms) : quiet_ms);
    }
  }
  deadline_->SetEnabled(false);
  limit_->SetEnabled(false);
  return heard;
}

// The rest of a reply that was given up on may still be on its way (a gateway passes it on in
// bursts): taken and dropped until the line is quiet for a pause, so that it is never heard as
// the answer to the next request. Bounded by the longest frame's line time and four pauses,
// so a line that never falls quiet cannot hold the bus.
void BusLine::DrainUntilQuiet(int pauseMs) {
  std::vector<std::uint8_t> dropped;
  ArmLimit(4 * pauseMs + static_cast<int>(std::ceil(kLongestFrame * CharacterSeconds() * 1000)));
  Arm(pauseMs);
  while (!deadline_passed_ && !limit_passed_) {
    events_.WaitForEvents();
    const std::size_t before = dropped.size();
    Take(dropped);
    if (dropped.size() > before) Arm(pauseMs);
  }
  deadline_->SetEnabled(false);
  limit_->SetEnabled(false);
}

}  // namespace velmar::bus
