// libFuzzer target over the whole control: a meter read, a password, or a tariff table write on
// the virtual platform, while the far end of the line answers each frame with fuzzer-chosen
// bytes and timing (raw bytes, an acknowledge, or the simulated meter's own answer with edits).
// Whatever comes back, the call must end within its time budget in virtual time and leave no
// half-decoded reply behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "decode/meter_data.hpp"
#include "fuzzed_answer.hpp"
#include "link/link_state.hpp"
#include "meter_model.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace {

using velmar::virt::Ms;

class FuzzedPeer : public velmar::virt::LinePeer {
 public:
  explicit FuzzedPeer(FuzzedDataProvider& data) : data_(data) {}

  void OnByteFromMaster(std::uint8_t b, velmar::virt::VirtualSerialPort& line) override {
    auto frame = assembler_.Feed(b);
    if (!frame || data_.remaining_bytes() == 0 || data_.ConsumeBool()) return;
    const int delay = data_.ConsumeIntegralInRange<int>(0, 4000);
    const int gap = data_.ConsumeIntegralInRange<int>(0, 120);
    const std::vector<std::uint8_t> answer = velmar::fuzzing::FuzzedAnswer(data_, meter_, *frame);
    line.SendToMaster(answer, line.Now() + Ms(delay), Ms(gap));
  }

 private:
  FuzzedDataProvider& data_;
  velmar::sim::SimMeter meter_;
  velmar::sim::FrameAssembler assembler_;
};

// Fixed pauses and line time at 2400 baud, plus 3.1 s for the first byte and 2.1 s for the rest
// of every reply the call can wait for.
constexpr velmar::virt::Nanos kReadBudget = Ms(6500);
constexpr velmar::virt::Nanos kPasswordBudget = Ms(6500);
constexpr velmar::virt::Nanos kTableBudget = Ms(25000);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  velmar::LinkState() = velmar::MbusLinkState{};
  velmar::MeterData() = velmar::OrvMeterData{};
  velmar::virt::VirtualEventLoop loop;
  velmar::virt::RecordingMessageBox messages;
  velmar::virt::RecordingContainer container;
  const int command = data.ConsumeIntegralInRange<int>(0, 2);
  const bool keepOpen = data.ConsumeBool();
  FuzzedPeer peer(data);
  auto port = std::make_unique<velmar::virt::VirtualSerialPort>(loop, &peer);
  velmar::Velmar control({loop, messages, container}, std::move(port));
  control.InitProperties();
  control.keepPortopen(keepOpen);

  const velmar::virt::Nanos start = loop.Now();
  velmar::virt::Nanos budget = kReadBudget;
  if (command == 0) {
    control.cmd_ReqUD2();
  } else if (command == 1) {
    std::string password = "00000000";
    control.givePassword(password);
    budget = kPasswordBudget;
  } else {
    std::vector<std::uint8_t> table = {0x01, 0x06, 0x00, 0x02, 0x16, 0x00};
    std::int32_t len = static_cast<std::int32_t>(table.size());
    control.SetIntervals(table, len);
    budget = kTableBudget;
  }
  if (loop.Now() - start > budget) __builtin_trap();
  if (velmar::LinkState().bytesToDecode != 0) __builtin_trap();
  control.closePort();
  return 0;
}
