// A radio receiver on a port: opened at the stick's settings, started in a link mode, then
// read as its bytes arrive. Waits are loops of host event passes, so a window or a collector's
// other work stays live.
#include <algorithm>
#include <cctype>

#include "velmar/radio.hpp"
#include "wmbus/amb8465.hpp"
#include "wmbus/cul.hpp"
#include "wmbus/hex_lines.hpp"
#include "wmbus/im871a.hpp"

namespace velmar {
namespace {

// A port wakes its loop for the first bytes of a quiet line, not for each that follows (a bus
// master naps through a frame whose length it knows); a receiver, which cannot know when the
// next telegram comes, looks at the port this often while it waits.
constexpr int kTickMs = 20;

struct ReceiverEntry {
  ReceiverKind kind;
  std::string_view name;
  std::string_view settings;
  std::string_view model;  // what a user should check when it does not answer
};

// The CUL talks over USB (the rate is not used); a CUNO's bridge runs at 38400.
constexpr ReceiverEntry kReceivers[] = {
    {ReceiverKind::kIm871a, "im871a", "57600,n,8,1", "an iM871A"},
    {ReceiverKind::kAmb8465, "amb8465", "9600,n,8,1", "an AMB8465"},
    {ReceiverKind::kCul, "cul", "38400,n,8,1", "a CUL running culfw with wireless M-Bus"},
    {ReceiverKind::kHex, "hex", "9600,n,8,1", "a source of hex lines"},
};

const ReceiverEntry& Entry(ReceiverKind kind) {
  for (const ReceiverEntry& e : kReceivers) {
    if (e.kind == kind) return e;
  }
  return kReceivers[0];
}

std::string Lower(std::string_view text) {
  std::string s(text);
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

std::optional<ReceiverKind> ReceiverByName(std::string_view name) {
  for (const ReceiverEntry& e : kReceivers) {
    if (e.name == name) return e.kind;
  }
  return std::nullopt;
}

std::string_view ReceiverName(ReceiverKind kind) {
  return Entry(kind).name;
}

std::string_view ReceiverSettings(ReceiverKind kind) {
  return Entry(kind).settings;
}

std::optional<RadioMode> RadioModeByName(std::string_view name) {
  const std::string n = Lower(name);
  if (n == "t1") return RadioMode::kT1;
  if (n == "c1") return RadioMode::kC1;
  if (n == "s1") return RadioMode::kS1;
  return std::nullopt;
}

std::string_view RadioModeName(RadioMode mode) {
  switch (mode) {
    case RadioMode::kT1:
      return "T1";
    case RadioMode::kC1:
      return "C1";
    case RadioMode::kS1:
      return "S1";
  }
  return "T1";
}

void LineReceiverProtocol::Feed(std::span<const std::uint8_t> bytes,
                                std::vector<HeardTelegram>& heard) {
  for (std::uint8_t b : bytes) {
    if (b != '\n') {
      if (line_.size() < longest_) {
        line_.push_back(static_cast<char>(b));
      } else {
        too_long_ = true;
      }
      continue;
    }
    ++number_;
    if (too_long_) {
      Skip("line " + std::to_string(number_) + " is longer than " + std::to_string(longest_) +
           " characters");
    } else {
      std::string_view line = line_;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Line(line, number_, heard);
    }
    line_.clear();
    too_long_ = false;
  }
}

std::unique_ptr<ReceiverProtocol> MakeReceiverProtocol(ReceiverKind kind, FrameCrcs hex_lines) {
  switch (kind) {
    case ReceiverKind::kIm871a:
      return std::make_unique<wmbus::Im871aProtocol>();
    case ReceiverKind::kAmb8465:
      return std::make_unique<wmbus::Amb8465Protocol>();
    case ReceiverKind::kCul:
      return std::make_unique<wmbus::CulProtocol>();
    case ReceiverKind::kHex:
      return std::make_unique<wmbus::HexLinesProtocol>(hex_lines);
  }
  return std::make_unique<wmbus::HexLinesProtocol>(hex_lines);
}

RadioReceiver::RadioReceiver(EventLoop& events, SerialPort& port, ReceiverKind kind,
                             FrameCrcs hex_lines)
    : RadioReceiver(events, port, MakeReceiverProtocol(kind, hex_lines),
                    std::string(ReceiverSettings(kind)), std::string(Entry(kind).model)) {}

RadioReceiver::RadioReceiver(EventLoop& events, SerialPort& port,
                             std::unique_ptr<ReceiverProtocol> protocol, std::string settings,
                             std::string model)
    : events_(events),
      port_(port),
      protocol_(std::move(protocol)),
      settings_(std::move(settings)),
      model_(std::move(model)),
      deadline_(events.CreateTimer([this] {
        passed_ = true;
        deadline_->SetEnabled(false);
      })),
      tick_(events.CreateTimer([] {})) {
  tick_->SetInterval(kTickMs);
}

RadioReceiver::~RadioReceiver() = default;

void RadioReceiver::Arm(int ms) {
  deadline_->SetEnabled(false);
  passed_ = false;
  deadline_->SetInterval(std::max(ms, 1));
  deadline_->SetEnabled(true);
  tick_->SetEnabled(true);
}

void RadioReceiver::Disarm() {
  deadline_->SetEnabled(false);
  tick_->SetEnabled(false);
}

std::string RadioReceiver::Start(RadioMode mode, int timeoutMs) {
  if (!port_.PortOpen()) {
    port_.SetSettings(settings_);
    port_.SetPortOpen(true);
  }
  const auto command = protocol_->StartCommand(mode);
  if (command.empty()) return {};
  port_.ClearInBuffer();
  port_.Output(command);
  Arm(timeoutMs);
  std::vector<HeardTelegram> early;  // telegrams before the confirmation belong to no mode
  // The answer may be in the port's buffer already (taken in while the command left): look
  // there before each wait.
  for (;;) {
    if (port_.InBufferCount() > 0) protocol_->Feed(port_.Input(), early);
    if (protocol_->Started() || passed_) break;
    events_.WaitForEvents();
  }
  Disarm();
  if (protocol_->Started()) {
    mode_ = mode;
    return {};
  }
  return "the receiver did not confirm link mode " + std::string(RadioModeName(mode)) + " within " +
         std::to_string(timeoutMs) + " ms: is it " + model_ + " at " + settings_ + "?";
}

std::vector<HeardTelegram> RadioReceiver::Listen(int ms, const bool* stop) {
  std::vector<HeardTelegram> heard;
  Arm(ms);
  while (heard.empty() && !passed_ && (stop == nullptr || !*stop)) {
    if (port_.InBufferCount() > 0) {
      protocol_->Feed(port_.Input(), heard);
      continue;
    }
    events_.WaitForEvents();
  }
  Disarm();
  for (HeardTelegram& h : heard) {
    if (!h.mode) h.mode = mode_;
  }
  return heard;
}

}  // namespace velmar
