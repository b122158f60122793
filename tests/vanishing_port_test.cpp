// A serial device that disappears while the control waits for the meter, as when a USB level
// converter is pulled out: real pseudo-terminals, real time.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "line_peers.hpp"
#include "posix_host.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/velmar.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar {
namespace {

using testing::OpenDescriptors;

// The device goes while `call` waits for the reply to frame number `frames`; the call must end
// with a port error, the port must close, and a meter on a new device must read.
void LoseTheDeviceDuring(int frames, int silentExchange, const std::function<void(Velmar&)>& before,
                         const std::function<void(Velmar&)>& call) {
  const int baseline = OpenDescriptors();
  {
    sim::SimMeter meter;
    for (int i = 0; i < silentExchange; ++i) meter.InjectFault({sim::FaultKind::kNone});
    meter.InjectFault({sim::FaultKind::kSilence});
    auto server = std::make_unique<sim::PtyMeterServer>(meter, 9600);
    testing::PosixHost host(server->DevicePath(), 9600);
    const int idle = OpenDescriptors();
    server->UnplugAfterFrames(frames);
    before(*host.control);
    EXPECT_THROW(call(*host.control), PortError);

    EXPECT_EQ(host.control->closePort(), 0);
    EXPECT_FALSE(host.port->PortOpen());
    // The control's descriptor is gone, and so are the two the simulator closed.
    EXPECT_EQ(OpenDescriptors(), idle - 2);
    server.reset();

    sim::SimMeter fresh;
    sim::PtyMeterServer replacement(fresh, 9600);
    host.port->SetDevicePath(1, replacement.DevicePath());
    EXPECT_EQ(host.control->cmd_ReqUD2(), 0);
    EXPECT_EQ(host.control->MeterID(), Variant(fresh.config().identNumber));
  }
  EXPECT_EQ(OpenDescriptors(), baseline);
}

TEST(VanishingPort, ReadWaitingForItsReply) {
  // SND_NKE, then REQ_UD2 goes unanswered and the device vanishes.
  LoseTheDeviceDuring(
      2, 1, [](Velmar&) {}, [](Velmar& v) { v.cmd_ReqUD2(); });
}

TEST(VanishingPort, TariffWriteWaitingForItsAcknowledge) {
  // givePassword's SND_NKE and password, then the first block goes unanswered.
  LoseTheDeviceDuring(
      3, 2,
      [](Velmar& v) {
        std::string password = "00000000";
        ASSERT_EQ(v.givePassword(password), 0);
      },
      [](Velmar& v) {
        std::vector<std::uint8_t> table = {1, 2, 3};
        std::int32_t len = 3;
        v.SetIntervals(table, len);
      });
}

}  // namespace
}  // namespace velmar
