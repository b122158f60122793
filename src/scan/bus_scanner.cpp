#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

#include "link/frames.hpp"
#include "platform/serial_settings.hpp"
#include "transport/transport.hpp"
#include "velmar/error.hpp"
#include "velmar/records.hpp"
#include "velmar/scan.hpp"

namespace velmar {
namespace {

constexpr std::uint8_t kAck = 0xE5;
constexpr int kMaxPauseMs = 1000;  // the longest single pause of the transport

// A reply is complete once it is an acknowledge, or a long frame with all its L + 6 bytes.
bool Complete(const std::vector<std::uint8_t>& r) {
  if (r.size() == 1) return r[0] == kAck;
  return r.size() >= 6 && r[0] == 0x68 && r.size() >= r[1] + 6u;
}

bool ValidPattern(const std::string& p) {
  return p.size() == 8 && std::all_of(p.begin(), p.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == 'F' || c == 'f';
         });
}

// Identification digits, most significant first, as the four BCD bytes of a selection (least
// significant byte first); F stays F, a wildcard nibble.
std::array<std::uint8_t, 4> IdBytes(const std::string& pattern) {
  auto nibble = [&](std::size_t i) {
    const char c = pattern[i];
    return static_cast<std::uint8_t>(c == 'F' || c == 'f' ? 0xF : c - '0');
  };
  std::array<std::uint8_t, 4> id{};
  for (std::size_t b = 0; b < 4; ++b) {
    id[b] = static_cast<std::uint8_t>((nibble(6 - 2 * b) << 4) | nibble(7 - 2 * b));
  }
  return id;
}

std::string Digits(std::uint32_t ident) {
  std::string s = std::to_string(ident);
  return std::string(8 - std::min<std::size_t>(8, s.size()), '0') + s;
}

}  // namespace

struct BusScanner::Impl {
  Impl(EventLoop& events, SerialPort& port) : port(port), transport(port, events) {}

  SerialPort& port;
  Transport transport;
  std::function<void(const FoundMeter&)> found;
  std::function<void(int, int)> progress;
  std::atomic<bool> stop{false};
  int probes = 0;
  double floor = 0;
  std::vector<FoundMeter> results;

  double CharSeconds() const { return SerialSettings::Parse(port.Settings()).CharacterSeconds(); }
  double WindowSeconds() const {
    return 330.0 / SerialSettings::Parse(port.Settings()).speed.bitsPerSecond + 0.050;
  }

  void Wait(int ms) {
    for (; ms > 0; ms -= kMaxPauseMs)
      transport.Pause(static_cast<std::int16_t>(std::min(ms, kMaxPauseMs)));
  }

  // Sends a frame, listens for the probe window and for as long as an answer keeps coming.
  std::vector<std::uint8_t> Exchange(std::span<const std::uint8_t> frame, std::size_t length) {
    ++probes;
    if (transport.SendFrame(frame, static_cast<std::int16_t>(length)) != 0) {
      throw PortError("the frame did not leave the port within 2.1 s");
    }
    const double window = WindowSeconds();
    Wait(static_cast<int>(std::ceil(window * 1000)));
    std::vector<std::uint8_t> reply = port.Input();
    const int gap_ms = std::max(10, static_cast<int>(std::ceil(2 * CharSeconds() * 1000)));
    while (!reply.empty() && !Complete(reply)) {
      const std::size_t before = reply.size();
      transport.Pause(static_cast<std::int16_t>(gap_ms));
      const auto more = port.Input();
      reply.insert(reply.end(), more.begin(), more.end());
      if (reply.size() == before) break;  // silent: the answer is what came
    }
    floor += static_cast<double>(length) * CharSeconds() +
             std::max(window, static_cast<double>(reply.size()) * CharSeconds());
    return reply;
  }

  static ProbeAnswer Judge(const std::vector<std::uint8_t>& reply) {
    if (reply.empty()) return ProbeAnswer::kNothing;
    return reply.size() == 1 && reply[0] == kAck ? ProbeAnswer::kOne : ProbeAnswer::kCollision;
  }

  std::optional<std::vector<std::uint8_t>> RequestData(std::uint8_t address) {
    std::array<std::uint8_t, 256> frame{};
    const auto reply = Exchange(frame, static_cast<std::size_t>(ReqUd2(frame, address)));
    if (!Complete(reply) || reply.size() == 1) return std::nullopt;
    return reply;
  }

  // Reads the meter at `address` (a primary address, or 0xFD for the selected one).
  FoundMeter Read(std::uint8_t address, int primary) {
    FoundMeter m;
    m.primaryAddress = primary;
    const auto reply = RequestData(address);
    DecodedTelegram t;
    if (!reply || DecodeTelegram(*reply, t) != 0) {
      m.readable = false;
      return m;
    }
    m.identNumber = t.header.identNumber;
    m.manufacturer = t.header.manufacturer;
    m.version = t.header.version;
    m.medium = t.header.medium;
    if (primary < 0 && address == kSelectedMeter) m.primaryAddress = -1;
    return m;
  }

  void Report(const FoundMeter& m) {
    results.push_back(m);
    if (found) found(m);
  }

  ProbeAnswer Select(const std::string& pattern) {
    std::array<std::uint8_t, 256> frame{};
    const auto id = IdBytes(pattern);
    const std::uint8_t body[] = {0x53,  kSelectedMeter, 0x52, id[0], id[1], id[2],
                                 id[3], 0xFF,           0xFF, 0xFF,  0xFF};
    std::copy(std::begin(body), std::end(body), frame.begin());
    BuildLongFrame(frame, sizeof body);
    return Judge(Exchange(frame, sizeof body + 6));
  }

  // Fixes the first wildcard from the left, digit by digit, wherever several meters answer.
  void Search(std::string pattern) {
    if (stop) return;
    const ProbeAnswer answer = Select(pattern);
    if (progress) progress(probes, 0);
    if (answer == ProbeAnswer::kNothing) return;
    const auto wildcard = pattern.find_first_of("Ff");
    if (answer == ProbeAnswer::kOne || wildcard == std::string::npos) {
      FoundMeter m = Read(kSelectedMeter, -1);
      if (answer == ProbeAnswer::kCollision) m.readable = false;  // one number, several meters
      const bool seen = std::any_of(results.begin(), results.end(), [&](const FoundMeter& r) {
        return r.readable && m.readable && r.identNumber == m.identNumber;
      });
      if (!seen) Report(m);
      return;
    }
    for (char d = '0'; d <= '9' && !stop; ++d) {
      pattern[wildcard] = d;
      Search(pattern);
    }
  }

  void Open() {
    results.clear();
    stop = false;
    if (transport.OpenPort() != 0) throw PortError("the port did not open");
  }
};

BusScanner::BusScanner(EventLoop& events, SerialPort& port)
    : impl_(std::make_unique<Impl>(events, port)) {}

BusScanner::~BusScanner() = default;

std::vector<FoundMeter> BusScanner::ScanPrimary(int first, int last) {
  if (first < 0 || last > 250 || first > last) {
    throw ArgumentError("primary scan range " + std::to_string(first) + "-" + std::to_string(last) +
                        " is not within 0-250");
  }
  impl_->Open();
  for (int a = first; a <= last && !impl_->stop; ++a) {
    std::array<std::uint8_t, 256> frame{};
    const auto answer = Impl::Judge(impl_->Exchange(
        frame, static_cast<std::size_t>(SndNke(frame, static_cast<std::uint8_t>(a)))));
    if (answer == ProbeAnswer::kOne) {
      impl_->Report(impl_->Read(static_cast<std::uint8_t>(a), a));
    } else if (answer == ProbeAnswer::kCollision) {
      FoundMeter m;
      m.primaryAddress = a;
      m.readable = false;
      impl_->Report(m);
    }
    if (impl_->progress) impl_->progress(a - first + 1, last - first + 1);
  }
  impl_->transport.closePort();
  return impl_->results;
}

std::vector<FoundMeter> BusScanner::SearchSecondary(const std::string& pattern) {
  if (!ValidPattern(pattern)) {
    throw ArgumentError("pattern \"" + pattern.substr(0, 20) +
                        "\" is not 8 characters of digits and F (F: any digit)");
  }
  impl_->Open();
  // A link reset at the selected-meter address first: no meter stays selected from before.
  std::array<std::uint8_t, 256> frame{};
  impl_->Exchange(frame, static_cast<std::size_t>(SndNke(frame, kSelectedMeter)));
  impl_->Search(pattern);
  impl_->transport.closePort();
  return impl_->results;
}

std::optional<std::vector<std::uint8_t>> BusScanner::ReadByIdent(std::uint32_t identNumber) {
  impl_->Open();
  if (impl_->Select(Digits(identNumber)) != ProbeAnswer::kOne) return std::nullopt;
  return impl_->RequestData(kSelectedMeter);
}

void BusScanner::SetFoundCallback(std::function<void(const FoundMeter&)> callback) {
  impl_->found = std::move(callback);
}
void BusScanner::SetProgressCallback(std::function<void(int, int)> callback) {
  impl_->progress = std::move(callback);
}
void BusScanner::SetTraceCallback(TraceCallback callback) {
  impl_->transport.SetTraceCallback(std::move(callback));
}
void BusScanner::RequestStop() {
  impl_->stop = true;
}
int BusScanner::Probes() const {
  return impl_->probes;
}
double BusScanner::FloorSeconds() const {
  return impl_->floor;
}
int BusScanner::ProbeWindowMs() const {
  return static_cast<int>(std::ceil(impl_->WindowSeconds() * 1000));
}

}  // namespace velmar
