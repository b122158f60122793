// When each frame of each command reaches the line, on the virtual clock: the 50 ms settle
// after opening, the pauses of each command, the waits between tariff blocks and their
// confirmations, and the 50 ms after closing. The simulated meter answers 20 ms after a frame
// (5 ms where a read-back telegram must be complete before a 150 ms pause ends); at 2400 baud
// a character takes 11/2400 s.
#include <gtest/gtest.h>

#include <vector>

#include "virtual_bench.hpp"

namespace velmar {
namespace {

using testing::VirtualBench;
using virt::Ms;
using virt::Nanos;

struct Frame {
  bool fromMaster;
  Nanos start;  // when its first bit went on the line
  Nanos end;    // when its last bit was out
  std::size_t size;
};

// Bytes that follow each other without a gap in one direction form a frame.
std::vector<Frame> Frames(const virt::VirtualSerialPort& port) {
  std::vector<Frame> frames;
  const Nanos c = port.CharacterTime();
  for (const auto& b : port.Line()) {
    if (!frames.empty() && frames.back().fromMaster == b.fromMaster &&
        frames.back().end + c == b.end) {
      frames.back().end = b.end;
      ++frames.back().size;
    } else {
      frames.push_back({b.fromMaster, b.end - c, b.end, 1});
    }
  }
  return frames;
}

std::vector<Frame> MasterFrames(const virt::VirtualSerialPort& port) {
  std::vector<Frame> sent;
  for (const Frame& f : Frames(port)) {
    if (f.fromMaster) sent.push_back(f);
  }
  return sent;
}

class Timing : public ::testing::Test {
 protected:
  Timing() : b(Config()) { b.port->RecordLine(true); }
  static sim::MeterConfig Config() {
    sim::MeterConfig c;
    c.responseDelayMs = 20;
    return c;
  }
  // Runs `command` and returns when it started and ended.
  template <typename F>
  std::pair<Nanos, Nanos> Timed(F command) {
    const Nanos start = b.loop.Now();
    command();
    return {start, b.loop.Now()};
  }
  Nanos Char() const { return b.port->CharacterTime(); }
  // Time a one-byte acknowledge needs to be collected after the frame it answers: the meter's
  // delay, the character, and the 80 ms of silence that end a reply.
  Nanos AckCollected() const { return Ms(20) + Char() + Ms(80); }

  VirtualBench b;
};

TEST_F(Timing, ReadSettlesThenWaits200MsAfterTheLinkReset) {
  const auto [start, end] = Timed([&] { ASSERT_EQ(b.control->cmd_ReqUD2(), 0); });
  const auto sent = MasterFrames(*b.port);
  ASSERT_EQ(sent.size(), 2u);  // SND_NKE, REQ_UD2
  EXPECT_EQ(sent[0].start - start, Ms(50));
  EXPECT_EQ(sent[1].start - sent[0].end, Ms(200));
  const auto frames = Frames(*b.port);
  const Frame& reply = frames.back();
  ASSERT_FALSE(reply.fromMaster);
  EXPECT_EQ(reply.start - sent[1].end, Ms(20));  // the meter's own delay
  // The reply is waited for 150 ms after REQ_UD2, ends after 80 ms without a byte (counted in
  // steps of 80 ms from the first byte seen), and the port settles 50 ms after closing.
  const Nanos first_seen = sent[1].end + Ms(150);
  ASSERT_LT(reply.start, first_seen);
  Nanos collected = first_seen;
  while (collected < reply.end) collected += Ms(80);
  EXPECT_EQ(end - collected, Ms(80) + Ms(50));
}

TEST_F(Timing, PasswordFollowsTheLinkResetAfter200MsAndWritesGoOutAtOnce) {
  std::string pw = "00000000";
  const auto [start, end] = Timed([&] { ASSERT_EQ(b.control->givePassword(pw), 0); });
  auto sent = MasterFrames(*b.port);
  ASSERT_EQ(sent.size(), 2u);  // SND_NKE, password
  EXPECT_EQ(sent[0].start - start, Ms(50));
  EXPECT_EQ(sent[1].start - sent[0].end, Ms(200));
  EXPECT_EQ(end - sent[1].end, AckCollected());  // the port stays open: no settle

  std::string clock = "101500241226";
  const auto [clock_start, clock_end] = Timed([&] { ASSERT_EQ(b.control->SetDateTime(clock), 0); });
  sent = MasterFrames(*b.port);
  EXPECT_EQ(sent.back().start, clock_start);                        // no pause before a write
  EXPECT_EQ(clock_end - sent.back().end, AckCollected() + Ms(50));  // then close and settle
}

TEST_F(Timing, LockAndChangePasswordGoOutAtOnceOnAnOpenPort) {
  std::string pw = "00000000";
  b.control->keepPortopen(true);
  ASSERT_EQ(b.control->givePassword(pw), 0);
  std::uint8_t mode = 3;
  const auto [lock_start, lock_end] = Timed([&] { ASSERT_EQ(b.control->LockMeter(mode), 0); });
  EXPECT_EQ(MasterFrames(*b.port).back().start, lock_start);
  EXPECT_EQ(lock_end - MasterFrames(*b.port).back().end, AckCollected());
  std::string next = "12345678";
  const auto [change_start, change_end] =
      Timed([&] { ASSERT_EQ(b.control->ChangePassword(next), 0); });
  EXPECT_EQ(MasterFrames(*b.port).back().start, change_start);
  EXPECT_EQ(change_end - MasterFrames(*b.port).back().end, AckCollected());
}

// Block, 100 ms, its acknowledge collected, 100 ms (first block) or 150 ms (second) before
// the confirmation request, which waits 150 ms for the meter's telegram.
TEST_F(Timing, TariffBlocksAndConfirmationsKeepTheirPauses) {
  std::string pw = "00000000";
  ASSERT_EQ(b.control->givePassword(pw), 0);
  const std::size_t before = MasterFrames(*b.port).size();
  const std::vector<std::uint8_t> table = {1, 2, 3};
  std::int32_t len = 3;
  const auto [start, end] = Timed([&] { ASSERT_EQ(b.control->SetIntervals(table, len), 0); });
  const auto all = MasterFrames(*b.port);
  ASSERT_EQ(all.size(), before + 4);  // block 1, confirmation, block 2, confirmation
  const Frame* f = &all[before];
  EXPECT_EQ(f[0].start, start);
  EXPECT_EQ(f[0].size, 9u + 3u + 197u);  // frame, 0F 80 1B, image bytes 0-196
  EXPECT_EQ(f[2].size, 9u + 3u + 107u);  // frame, 0F 80 1C, image bytes 197-303
  EXPECT_EQ(f[1].start - f[0].end, Ms(100) + Ms(80) + Ms(100));
  EXPECT_EQ(f[2].start - f[1].end, Ms(150) + Ms(80));
  EXPECT_EQ(f[3].start - f[2].end, Ms(100) + Ms(80) + Ms(150));
  EXPECT_EQ(end - f[3].end, Ms(150) + Ms(80) + Ms(50));
}

// Read request, its acknowledge collected, then one REQ_UD2 per telegram: 150 ms before the
// telegram is read, 80 ms of silence, 100 ms after it.
TEST_F(Timing, TableReadBackWaits100MsAfterEachTelegram) {
  b.meter.config().responseDelayMs = 5;
  b.meter.config().table = {0x11, 0x22};
  b.meter.config().readChunk = 3;  // two telegrams, each complete within 150 ms
  std::vector<std::uint8_t> back(399);
  std::int32_t len = 0;
  const auto [start, end] = Timed([&] { ASSERT_EQ(b.control->ReadIntervals(back, len), 0); });
  const auto sent = MasterFrames(*b.port);
  ASSERT_EQ(sent.size(), 4u);  // SND_NKE, read request, two REQ_UD2
  EXPECT_EQ(sent[0].start - start, Ms(50));
  EXPECT_EQ(sent[1].start - sent[0].end, Ms(200));
  EXPECT_EQ(sent[2].start - sent[1].end, Ms(5) + Char() + Ms(80));
  EXPECT_EQ(sent[3].start - sent[2].end, Ms(150) + Ms(80) + Ms(100));
  EXPECT_EQ(end - sent[3].end, Ms(150) + Ms(80) + Ms(100) + Ms(50));
}

}  // namespace
}  // namespace velmar
