// libFuzzer target over the bus master: a read (by primary address or identification number,
// one or all telegrams), a probe, a new primary address or speed, or a raw frame on the virtual
// platform, while the far end answers each frame with fuzzer-chosen bytes, timing, bursts and
// echo (raw bytes, an acknowledge, or the simulated meter's own answer with edits). Whatever
// comes back, the call ends within its time budget in virtual time, a reading said to be good
// holds only sound frames, and a copy of a reading decodes to the same records.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "bus/frame_judge.hpp"
#include "fuzzed_answer.hpp"
#include "meter_model.hpp"
#include "velmar/bus.hpp"
#include "velmar/virtual_platform.hpp"

namespace {

using velmar::virt::Ms;

class FuzzedPeer : public velmar::virt::LinePeer {
 public:
  explicit FuzzedPeer(FuzzedDataProvider& data) : data_(data) {}

  void OnByteFromMaster(std::uint8_t b, velmar::virt::VirtualSerialPort& line) override {
    auto frame = assembler_.Feed(b);
    if (!frame || data_.remaining_bytes() == 0) return;
    if (data_.ConsumeBool()) line.SendToMaster(*frame, line.Now());  // an echo
    if (data_.ConsumeBool()) return;
    const int delay = data_.ConsumeIntegralInRange<int>(0, 1000);
    const std::vector<std::uint8_t> answer = velmar::fuzzing::FuzzedAnswer(data_, meter_, *frame);
    const auto burst = data_.ConsumeIntegralInRange<std::size_t>(0, 40);
    const int gap = data_.ConsumeIntegralInRange<int>(0, 700);
    if (burst == 0) {
      line.SendToMaster(answer, line.Now() + Ms(delay), Ms(gap % 120));
      return;
    }
    for (std::size_t at = 0, n = 0; at < answer.size(); at += burst, ++n) {
      const auto part = std::span(answer).subspan(at, std::min(burst, answer.size() - at));
      line.SendToMaster(part,
                        line.Now() + Ms(delay) + static_cast<velmar::virt::Nanos>(n) * Ms(gap));
    }
  }

 private:
  FuzzedDataProvider& data_;
  velmar::sim::SimMeter meter_ = velmar::sim::SimMeter([] {
    velmar::sim::MeterConfig c;
    c.telegrams = 3;
    return c;
  }());
  velmar::sim::FrameAssembler assembler_;
};

// Per frame the bus sends: its line time, the reply time-out, twenty gateway pauses and the
// longest frame's line time, for each of three attempts; a read sends at most 2 + 16 frames.
constexpr velmar::virt::Nanos kPerFrame = Ms(3 * (30 + 188 + 20 * 500 + 1200));
constexpr velmar::virt::Nanos kBudget = 20 * kPerFrame;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  velmar::virt::VirtualEventLoop loop;
  loop.SetPassLimit(100'000'000);
  const int command = data.ConsumeIntegralInRange<int>(0, 4);
  const bool ident = data.ConsumeBool();
  const bool all = data.ConsumeBool();
  velmar::BusOptions options;
  options.echo = data.ConsumeBool() ? velmar::EchoMode::kAuto : velmar::EchoMode::kOff;
  FuzzedPeer peer(data);
  velmar::virt::VirtualSerialPort port(loop, &peer);
  port.SetSettings("2400,e,8,1");
  velmar::Bus bus(loop, port, options);
  const velmar::Address address =
      ident ? velmar::Address::Ident(12345678) : velmar::Address::Primary(1);

  const velmar::virt::Nanos start = loop.Now();
  if (command == 0) {
    velmar::ReadOptions how;
    how.allTelegrams = all;
    const velmar::Reading r = bus.Read(address, how);
    if (r.result == velmar::Status::kOk) {
      if (r.telegrams.empty()) __builtin_trap();
      for (const auto& t : r.telegrams) {
        if (velmar::bus::LongFrameCode(t.bytes) != 0) __builtin_trap();
      }
    }
    const velmar::Reading copy = r;
    if (copy.records.size() != r.records.size()) __builtin_trap();
  } else if (command == 1) {
    bus.Probe(address);
  } else if (command == 2) {
    bus.SetPrimaryAddress(address, 7);
  } else if (command == 3) {
    bus.SetBaudRate(address, 9600);
  } else {
    bus.SendRaw(data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(0, 40)));
  }
  if (loop.Now() - start > kBudget) __builtin_trap();
  return 0;
}
