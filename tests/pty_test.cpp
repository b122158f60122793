// The posix serial port over a real pseudo-terminal against the simulator, in real time.
#include <gtest/gtest.h>

#include "line_peers.hpp"
#include "link/frames.hpp"
#include "posix_host.hpp"
#include "transport/transport.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar {
namespace {

// The default simulated meter on its own pseudo-terminal, and a control on it.
struct PtyBench {
  explicit PtyBench(int baud) : server(meter, baud), host(server.DevicePath(), baud) {}
  sim::SimMeter meter;
  sim::PtyMeterServer server;
  testing::PosixHost host;
};

// Port N is /dev/ttyS{N-1} unless the host named its device.
TEST(PosixSerialPort, PortNumbersMapToDevices) {
  posix::PosixEventLoop events;
  posix::PosixSerialPort port(events);
  EXPECT_EQ(port.DevicePath(), "/dev/ttyS0");
  port.SetCommPort(3);
  EXPECT_EQ(port.DevicePath(), "/dev/ttyS2");
  port.SetDevicePath(3, "/dev/ttyUSB0");
  EXPECT_EQ(port.DevicePath(), "/dev/ttyUSB0");
  port.SetCommPort(4);
  EXPECT_EQ(port.DevicePath(), "/dev/ttyS3");
  EXPECT_THROW(port.SetCommPort(0), PortError);
}

TEST(PseudoTerminal, LinkResetIsAcknowledged) {
  sim::SimMeter meter;
  sim::PtyMeterServer server(meter, 9600);
  posix::PosixEventLoop events;
  posix::PosixSerialPort port(events);
  port.SetDevicePath(1, server.DevicePath());
  port.SetSettings("9600,e,8,1");  // parity is dropped on a pty, everything else applies
  Transport transport(port, events);
  const TransportState& state = transport.state();
  std::array<std::uint8_t, 256> frame{};
  ASSERT_EQ(transport.SendFrame(frame, SndNke(frame, 1)), 0);
  std::vector<std::uint8_t> reply;
  EXPECT_EQ(transport.ReceiveReply(reply), 1);
  EXPECT_EQ(state.replyLog[0], "E5");
  EXPECT_TRUE(port.IsPseudoTerminal());
  EXPECT_EQ(transport.closePort(), 0);
}

TEST(PseudoTerminal, ReadAndWriteSequenceThroughThePosixPort) {
  PtyBench b(9600);
  ASSERT_EQ(b.host.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(b.host.control->MeterID(), Variant(std::int32_t{12345678}));
  EXPECT_FALSE(b.host.port->PortOpen());
  std::string pw = "00000000";
  ASSERT_EQ(b.host.control->givePassword(pw), 0);
  std::string t = "101112050626";
  ASSERT_EQ(b.host.control->SetDateTime(t), 0);
  ASSERT_EQ(b.host.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(b.host.control->readDateTime(), "26060510:11:12");
  EXPECT_TRUE(b.host.messages.shown.empty());
}

TEST(PseudoTerminal, MissingDeviceFailsToOpenAndTheControlStaysUsable) {
  PtyBench b(9600);
  b.host.port->SetDevicePath(2, "/dev/velmar-no-such-device");
  b.host.control->CommPort(Variant(std::int16_t{2}));
  EXPECT_EQ(b.host.control->cmd_ReqUD2(), -1);
  b.host.control->CommPort(Variant(std::int16_t{1}));
  EXPECT_EQ(b.host.control->cmd_ReqUD2(), 0);
}

}  // namespace
}  // namespace velmar
