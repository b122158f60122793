// Timing of the exchange on the virtual clock: every wait is exact there.
#include <gtest/gtest.h>

#include <vector>

#include "transport/transport.hpp"
#include "velmar/virtual_platform.hpp"

namespace velmar {
namespace {

using virt::Ms;
using Bytes = std::vector<std::uint8_t>;

class Exchange : public ::testing::Test {
 protected:
  Exchange() : port(loop), transport(port, loop), state(transport.state()) {
    port.SetSettings("2400,e,8,1");
  }
  // Schedules `bytes` so that the first one is complete `at` after now.
  void AnswerAt(virt::Nanos at, const Bytes& bytes, virt::Nanos gap = 0) {
    port.SendToMaster(bytes, loop.Now() + at - port.CharacterTime(), gap);
  }

  virt::VirtualEventLoop loop;
  virt::VirtualSerialPort port;
  Transport transport;
  TransportState& state;
  Bytes reply;
};

TEST_F(Exchange, FirstByteAtThreeSecondsCountsAndASingleAckEndsAfterOneQuietGap) {
  ASSERT_EQ(transport.OpenPort(), 0);
  const auto t0 = loop.Now();
  AnswerAt(Ms(3000), {0xE5});
  EXPECT_EQ(transport.ReceiveReply(reply), 1);
  EXPECT_EQ(loop.Now() - t0, Ms(3000 + 80));
  EXPECT_FALSE(state.Timeout);
  EXPECT_EQ(state.replyLog[0], "E5");
  EXPECT_EQ(reply, Bytes{0xE5});
}

TEST_F(Exchange, AnswerAfterTimeoutIsMinusOneAndDiscardedByTheNextSend) {
  transport.OpenPort();
  const auto t0 = loop.Now();
  AnswerAt(Ms(3200), {0xE5});
  EXPECT_EQ(transport.ReceiveReply(reply), -1);
  EXPECT_EQ(loop.Now() - t0, Ms(3100));
  EXPECT_TRUE(state.Timeout);
  EXPECT_EQ(state.replyLog[0], "<TimeOut>");
  transport.Pause(200);
  EXPECT_EQ(port.InBufferCount(), 1);  // the late answer is waiting
  const Bytes frame = {0x10, 0x40, 0x01, 0x41, 0x16};
  EXPECT_EQ(transport.SendFrame(frame, 5), 0);
  EXPECT_EQ(port.InBufferCount(), 0);
  EXPECT_FALSE(state.Timeout);
  EXPECT_EQ(state.sentLog[0], "1040014116");
}

TEST_F(Exchange, BytesTricklingPastTheReplyTimeoutAreAnOverflow) {
  transport.OpenPort();
  AnswerAt(Ms(10), Bytes(60, 0x55), Ms(50));  // one byte every ~55 ms for 3.3 s
  EXPECT_EQ(transport.ReceiveReply(reply), -2);
  EXPECT_TRUE(state.Timeout);
  EXPECT_EQ(state.replyLog[0], "<Overflow>");
  EXPECT_TRUE(reply.empty());
  EXPECT_GT(port.InBufferCount(), 0);  // left for the next SendFrame to discard
}

TEST_F(Exchange, ReplyEndsAtTheFirstQuietGapAndLogsItsText) {
  transport.OpenPort();
  AnswerAt(Ms(20), {0x68, 0x03, 0x03, 0x68});
  AnswerAt(Ms(500), {0x99});  // after the gap: not part of this reply
  EXPECT_EQ(transport.ReceiveReply(reply), 4);
  EXPECT_EQ(state.replyLog[0], "68030368");
}

TEST_F(Exchange, PauseIsClampedToTenAndThousandMilliseconds) {
  auto t0 = loop.Now();
  transport.Pause(5);
  EXPECT_EQ(loop.Now() - t0, Ms(10));
  t0 = loop.Now();
  transport.Pause(5000);
  EXPECT_EQ(loop.Now() - t0, Ms(1000));
}

TEST_F(Exchange, SettleWaitOnlyOnARealOpenOrClose) {
  auto t0 = loop.Now();
  const Bytes frame = {0x10, 0x40, 0x01, 0x41, 0x16};
  EXPECT_EQ(transport.SendFrame(frame, 5), 0);  // opens first
  EXPECT_EQ(loop.Now() - t0, Ms(50) + 5 * port.CharacterTime());
  state.Timeout = true;
  t0 = loop.Now();
  EXPECT_EQ(transport.OpenPort(), 0);  // already open: no wait, logs kept, flag cleared
  EXPECT_EQ(loop.Now(), t0);
  EXPECT_FALSE(state.Timeout);
  EXPECT_EQ(state.sentLog[0], "1040014116");
  EXPECT_EQ(transport.closePort(), 0);
  EXPECT_EQ(loop.Now() - t0, Ms(50));
  t0 = loop.Now();
  EXPECT_EQ(transport.closePort(), 0);
  EXPECT_EQ(loop.Now(), t0);
  EXPECT_EQ(transport.OpenPort(), 0);
  EXPECT_EQ(state.sentLog[0], "");  // a real open empties the logs
}

TEST_F(Exchange, PortThatCannotOpenSendsAndLogsNothing) {
  port.SetOpenFails(true);
  const Bytes frame = {0x10, 0x40, 0x01, 0x41, 0x16};
  EXPECT_EQ(transport.SendFrame(frame, 5), -1);
  EXPECT_TRUE(port.Transmitted().empty());
  EXPECT_EQ(state.sentLog[0], "");
  port.SetOpenFails(false);
  EXPECT_EQ(transport.SendFrame(frame, 5), 0);  // tries again
}

TEST_F(Exchange, LogsKeepTheLastThreeNewestFirst) {
  transport.OpenPort();
  for (std::uint8_t a = 1; a <= 4; ++a) {
    const Bytes frame = {a};
    transport.SendFrame(frame, 1);
  }
  EXPECT_EQ(state.sentLog, (std::array<std::string, 3>{"04", "03", "02"}));
}

TEST_F(Exchange, HostSettingTimeoutEndsTheReplyWait) {
  transport.OpenPort();
  const auto t0 = loop.Now();
  loop.At(t0 + Ms(500), [&] { state.Timeout = true; });
  EXPECT_EQ(transport.ReceiveReply(reply), -1);
  EXPECT_EQ(loop.Now() - t0, Ms(500));
}

}  // namespace
}  // namespace velmar
