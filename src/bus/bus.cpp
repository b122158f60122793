#include "velmar/bus.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "bus/bus_line.hpp"
#include "bus/frame_judge.hpp"
#include "codec/hex.hpp"
#include "link/frames.hpp"
#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"
#include "velmar/results.hpp"

namespace velmar {
namespace {

using bus::Expect;
using Frame = std::vector<std::uint8_t>;

constexpr std::uint8_t kSndNke = 0x40;
constexpr std::uint8_t kReqUd2 = 0x5B;  // with the frame-count bit: 0x7B
constexpr std::uint8_t kSndUd = 0x53;   // with the frame-count bit: 0x73
constexpr std::uint8_t kFcb = 0x20;
constexpr std::uint8_t kCiApplicationReset = 0x50;
constexpr std::uint8_t kCiBaudBase = 0xB8;  // 0xB8 300 baud .. 0xBF 38400 baud
constexpr std::uint8_t kDifOneByte = 0x01;
constexpr std::uint8_t kVifBusAddress = 0x7A;
constexpr int kSpeeds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400};

Frame ShortFrame(std::uint8_t c, std::uint8_t a) {
  Frame f(5);
  f[0] = c;
  f[1] = a;
  BuildShortFrame(f);
  return f;
}

// C, A, CI and the data, wrapped into a long frame.
Frame LongFrame(std::uint8_t c, std::uint8_t a, std::uint8_t ci,
                std::span<const std::uint8_t> data) {
  Frame f(data.size() + 9);
  f[0] = c;
  f[1] = a;
  f[2] = ci;
  std::copy(data.begin(), data.end(), f.begin() + 3);
  BuildLongFrame(f, static_cast<std::uint8_t>(data.size() + 3));
  return f;
}

// The selection's data: the identification number's BCD bytes (least significant first), the
// manufacturer, version and medium, each all ones where any will do.
Frame SelectionFrame(const Address& address) {
  std::array<std::uint8_t, 8> d{};
  std::uint32_t nibbles = 0;
  if (address.wildcardIdent) {
    nibbles = *address.wildcardIdent;
  } else {
    for (std::uint32_t id = address.identNumber, shift = 0; shift < 32; shift += 4, id /= 10) {
      nibbles |= (id % 10) << shift;
    }
  }
  for (std::size_t i = 0; i < 4; ++i) d[i] = static_cast<std::uint8_t>(nibbles >> (8 * i));
  const std::uint16_t man = address.manufacturer.value_or(0xFFFF);
  d[4] = static_cast<std::uint8_t>(man & 0xFF);
  d[5] = static_cast<std::uint8_t>(man >> 8);
  d[6] = address.version.value_or(0xFF);
  d[7] = address.medium.value_or(0xFF);
  return LongFrame(kSndUd, kSelectedMeter, kCiSelect, d);
}

std::string WithSpeed(const std::string& settings, int baud) {
  const auto comma = settings.find(',');
  return std::to_string(baud) + (comma == std::string::npos ? "" : settings.substr(comma));
}

}  // namespace

struct Bus::Impl {
  Impl(EventLoop& events, SerialPort& port, BusOptions o) : line(events, port), options(o) {
    line.SetSettle(std::max(o.settleMs, 0));
  }

  bus::BusLine line;
  BusOptions options;
  TraceCallback trace;
  bool fcbSndUd = true;  // frame-count bit of the next SND_UD
  BusStats stats;
  std::string portFailure;

  int ReplyTimeout() const {
    if (options.replyTimeoutMs > 0) return options.replyTimeoutMs;
    const int bps = SerialSettings::Parse(line.port().Settings()).speed.bitsPerSecond;
    return static_cast<int>(std::ceil(330.0 * 1000 / bps)) + 50;
  }

  // One request and what came back, with no repeats.
  bus::Verdict Once(const Frame& frame, Expect expect, Frame& reply, bool probe) {
    ++stats.framesSent;
    if (trace) trace(TraceDirection::kSent, HexText(frame));
    line.Send(frame);
    bus::ListenLimits limits;
    limits.replyTimeoutMs = ReplyTimeout();
    limits.byteTimeoutMs = std::max(options.byteTimeoutMs, 1);
    limits.echo = options.echo == EchoMode::kAuto;
    limits.ackCheck = probe;
    limits.ackOnly = expect == Expect::kAck;
    limits.dropLateAck = expect == Expect::kUserData;
    bus::Heard heard = line.Listen(frame, limits);
    reply = std::move(heard.bytes);
    const double ch = line.CharacterSeconds();
    stats.sentSeconds += static_cast<double>(frame.size()) * ch;
    if (reply.empty()) {
      stats.silentSeconds += limits.replyTimeoutMs / 1000.0;
    } else {
      ++stats.repliesHeard;
      stats.heardSeconds += static_cast<double>(reply.size()) * ch;
    }
    if (trace) trace(TraceDirection::kReceived, reply.empty() ? "<TimeOut>" : HexText(reply));
    if (!heard.complete && !reply.empty()) {
      // Bytes that never formed a whole frame: several meters at once where one E5 belongs,
      // otherwise a damaged frame with the code the link check gives it.
      if (expect == Expect::kAck) return {Status::kCollision, LinkResult::kStructureError};
      const std::int16_t code = bus::LongFrameCode(reply);
      return {Status::kDamagedReply,
              code != 0 ? code : static_cast<std::int16_t>(LinkResult::kStructureError)};
    }
    return bus::Judge(reply, expect);
  }

  // A request repeated while it gets no reply or a damaged one; the last verdict.
  bus::Verdict Exchange(const Frame& frame, Expect expect, Frame& reply, int* attempts = nullptr,
                        int retries = -1, bool probe = false) {
    const int tries = 1 + std::max(0, retries < 0 ? options.retries : retries);
    bus::Verdict v;
    for (int i = 0; i < tries; ++i) {
      if (attempts) ++*attempts;
      v = Once(frame, expect, reply, probe);
      const bool repeat = v.result == Status::kNoReply || v.result == Status::kDamagedReply ||
                          v.result == Status::kChecksum || v.result == Status::kCollision;
      if (!repeat) break;
    }
    return v;
  }

  // An acknowledged request. A probe also listens two characters past the E5: two meters never
  // answer quite in step, and a second answer shows there.
  Status Ack(const Frame& frame, int retries = -1, bool probe = false) {
    Frame reply;
    return Exchange(frame, Expect::kAck, reply, nullptr, retries, probe).result;
  }

  Status SndUd(std::uint8_t a, std::uint8_t ci, std::span<const std::uint8_t> data) {
    const auto c = static_cast<std::uint8_t>(kSndUd | (fcbSndUd ? kFcb : 0));
    const Status r = Ack(LongFrame(c, a, ci, data));
    if (r == Status::kOk) fcbSndUd = !fcbSndUd;
    return r;
  }

  Status ResetAt(std::uint8_t a, int retries = -1) {
    const Status r = Ack(ShortFrame(kSndNke, a), retries);
    if (r == Status::kOk) fcbSndUd = true;
    return r;
  }

  // Makes the meter answer at `target`: a primary address as it is; an identification number
  // by a reset of whatever meter was selected, then its selection, answered at 253.
  Status Reach(const Address& address, std::uint8_t& target) {
    if (!address.secondary) {
      target = address.primary;
      return ResetAt(target);
    }
    target = kSelectedMeter;
    ResetAt(kSelectedMeter, 0);  // ends an earlier selection; nobody need answer
    return Ack(SelectionFrame(address));
  }

  template <typename F>
  auto Guard(F&& work, decltype(work()) failed) -> decltype(work()) {
    try {
      return work();
    } catch (const PortError& e) {
      portFailure = e.what();
      line.Close();
      return failed;
    }
  }

  Status GuardResult(auto&& work) { return Guard(work, Status::kPortError); }

  void ReadTelegrams(Reading& r, std::uint8_t target, const ReadOptions& o) {
    bool fcb = true;  // after the link reset the first REQ_UD2 carries it set
    const int most = o.allTelegrams ? std::max(1, o.maxTelegrams) : 1;
    for (int n = 0; n < most; ++n) {
      Frame reply;
      const auto c = static_cast<std::uint8_t>(kReqUd2 | (fcb ? kFcb : 0));
      const bus::Verdict v = Exchange(ShortFrame(c, target), Expect::kUserData, reply, &r.attempts);
      r.result = v.result;
      r.linkResult = v.linkResult;
      if (v.result != Status::kOk) return;
      r.AddTelegram({std::move(reply), std::chrono::system_clock::now()});
      fcb = !fcb;
      if (!r.moreRecords) return;
    }
  }
};

Bus::Bus(EventLoop& events, SerialPort& port, BusOptions options)
    : impl_(std::make_unique<Impl>(events, port, options)) {}

Bus::~Bus() {
  impl_->line.Close();
}

Status Bus::Reset(const Address& address) {
  return impl_->GuardResult([&] {
    std::uint8_t target = 0;
    return impl_->Reach(address, target);
  });
}

Status Bus::Select(const Address& address) {
  if (!address.secondary) return Status::kBadAddress;
  return impl_->GuardResult([&] { return impl_->Ack(SelectionFrame(address)); });
}

Status Bus::Probe(const Address& address) {
  return impl_->GuardResult([&] {
    const Frame f =
        address.secondary ? SelectionFrame(address) : ShortFrame(kSndNke, address.primary);
    return impl_->Ack(f, 0, true);
  });
}

Status Bus::DrainLine() {
  return impl_->GuardResult([&] {
    if (impl_->line.port().PortOpen()) {
      impl_->line.DrainUntilQuiet(std::max(impl_->options.byteTimeoutMs, 1));
    }
    return Status::kOk;
  });
}

Reading Bus::Read(const Address& address, ReadOptions options) {
  Reading r;
  const Status failed = impl_->Guard(
      [&] {
        std::uint8_t target = 0;
        const Status reached = impl_->Reach(address, target);
        if (reached != Status::kOk) return reached;
        impl_->ReadTelegrams(r, target, options);
        return r.result;
      },
      Status::kPortError);
  r.result = failed;
  if (failed != Status::kOk && r.linkResult == 0 && failed != Status::kNoReply &&
      failed != Status::kPortError) {
    r.linkResult = LinkResult::kStructureError;  // the meter was not reached: its reset or
                                                 // selection was answered wrongly
  }
  r.moreRecords = r.moreRecords && r.result == Status::kOk;
  return r;
}

Status Bus::ApplicationReset(const Address& address, std::optional<std::uint8_t> subcode) {
  return impl_->GuardResult([&] {
    std::uint8_t target = 0;
    const Status reached = impl_->Reach(address, target);
    if (reached != Status::kOk) return reached;
    std::vector<std::uint8_t> data;
    if (subcode) data.push_back(*subcode);
    return impl_->SndUd(target, kCiApplicationReset, data);
  });
}

Status Bus::SetPrimaryAddress(const Address& address, std::uint8_t newAddress) {
  if (newAddress > 250) return Status::kBadArgument;
  return impl_->GuardResult([&] {
    std::uint8_t target = 0;
    const Status reached = impl_->Reach(address, target);
    if (reached != Status::kOk) return reached;
    const std::uint8_t data[] = {kDifOneByte, kVifBusAddress, newAddress};
    const Status set = impl_->SndUd(target, kCiSndUd, data);
    if (set != Status::kOk) return set;
    return impl_->ResetAt(newAddress);
  });
}

Status Bus::SetBaudRate(const Address& address, int baud) {
  const auto* at = std::find(std::begin(kSpeeds), std::end(kSpeeds), baud);
  if (at == std::end(kSpeeds)) return Status::kBadArgument;
  const auto ci = static_cast<std::uint8_t>(kCiBaudBase + (at - std::begin(kSpeeds)));
  return impl_->GuardResult([&] {
    std::uint8_t target = 0;
    const Status reached = impl_->Reach(address, target);
    if (reached != Status::kOk) return reached;
    const Status asked = impl_->SndUd(target, ci, {});
    if (asked != Status::kOk) return asked;
    SerialPort& port = impl_->line.port();
    port.SetSettings(WithSpeed(port.Settings(), baud));
    // A selected meter stays selected across the switch; a reset at 253 would end that.
    return address.secondary ? impl_->Ack(SelectionFrame(address)) : impl_->ResetAt(target);
  });
}

RawReply Bus::SendRaw(std::span<const std::uint8_t> frame) {
  RawReply out;
  out.result = impl_->GuardResult([&] {
    return impl_->Exchange(Frame(frame.begin(), frame.end()), Expect::kAny, out.bytes, nullptr, 0)
        .result;
  });
  return out;
}

void Bus::Close() {
  impl_->line.Close();
}
const BusOptions& Bus::Options() const {
  return impl_->options;
}
void Bus::SetOptions(const BusOptions& options) {
  impl_->options = options;
  impl_->line.SetSettle(std::max(options.settleMs, 0));
}
int Bus::ReplyTimeoutMs() const {
  return impl_->ReplyTimeout();
}
void Bus::SetTraceCallback(TraceCallback callback) {
  impl_->trace = std::move(callback);
}
const BusStats& Bus::Stats() const {
  return impl_->stats;
}
const std::string& Bus::PortFailure() const {
  return impl_->portFailure;
}

}  // namespace velmar
