#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "codec/checksums.hpp"
#include "link/frames.hpp"
#include "link/link_state.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(const std::array<std::uint8_t, 256>& buf, int len) {
  return Bytes(buf.begin(), buf.begin() + len);
}

class Frames : public ::testing::Test {
 protected:
  void SetUp() override { LinkState() = MbusLinkState{}; }
  std::array<std::uint8_t, 256> buf{};
};

TEST_F(Frames, ShortFramesAreByteExact) {
  EXPECT_EQ(Frame(buf, ReqUd2(buf, 1)), (Bytes{0x10, 0x5B, 0x01, 0x5C, 0x16}));
  EXPECT_EQ(Frame(buf, SndNke(buf, 1)), (Bytes{0x10, 0x40, 0x01, 0x41, 0x16}));
  EXPECT_EQ(Frame(buf, ReqUd2(buf, 1)), (Bytes{0x10, 0x7B, 0x01, 0x7C, 0x16}));
  EXPECT_EQ(Frame(buf, SndNke(buf, 0xFE)), (Bytes{0x10, 0x40, 0xFE, 0x3E, 0x16}));
  EXPECT_EQ(Frame(buf, ReqUd2(buf, 0xFE)), (Bytes{0x10, 0x7B, 0xFE, 0x79, 0x16}));
}

TEST_F(Frames, SndUdFramesUserDataAndTogglesItsBit) {
  buf[0] = buf[1] = buf[2] = 0xAA;  // overwritten by C, A and CI
  buf[3] = 0x01;
  buf[4] = 0x02;
  EXPECT_EQ(Frame(buf, SndUd(buf, 5, 5)),
            (Bytes{0x68, 0x05, 0x05, 0x68, 0x53, 0x05, 0x51, 0x01, 0x02, 0xAC, 0x16}));
  EXPECT_TRUE(LinkState().fcbSndUd);
  EXPECT_EQ(SndUd(buf, 3, 0xFD), 9);
  // The second frame carries the other bit; 0x73 + 0xFD + 0x51 wraps to 0xC1.
  EXPECT_EQ(Frame(buf, 9), (Bytes{0x68, 0x03, 0x03, 0x68, 0x73, 0xFD, 0x51, 0xC1, 0x16}));
  EXPECT_FALSE(LinkState().fcbSndUd);
}

TEST_F(Frames, SndNkeSetsBothBitsAndReqUd2LeavesThem) {
  SndUd(buf, 3, 1);  // bit now True
  SndUd(buf, 3, 1);  // and False again
  SndNke(buf, 1);
  SndUd(buf, 3, 1);
  EXPECT_EQ(buf[4], 0x73);
  ReqUd2(buf, 1);
  ReqUd2(buf, 1);
  EXPECT_EQ(buf[1], 0x7B);
  EXPECT_TRUE(LinkState().fcbReqUd2);
}

TEST_F(Frames, FrameThatDoesNotFitIsRejectedWithoutWriting) {
  std::array<std::uint8_t, 16> small{};
  small.fill(0x55);
  EXPECT_THROW(SndUd(small, 11, 1), ArgumentError);  // needs 17 bytes
  for (std::uint8_t b : small) EXPECT_EQ(b, 0x55);
  EXPECT_FALSE(LinkState().fcbSndUd);
  EXPECT_THROW(SndUd(buf, 251, 1), ArgumentError);  // 257 bytes in a 256-byte buffer
  EXPECT_THROW(SndUd(buf, 2, 1), ArgumentError);
  EXPECT_EQ(SndUd(buf, 250, 1), 256);
}

TEST_F(Frames, ChecksumIsTheByteSumModulo256) {
  const std::uint8_t bytes[] = {0xFF, 0x02, 0x10};
  EXPECT_EQ(ByteSum(bytes), 0x11);
  EXPECT_EQ(ByteSum(std::span(bytes).first(0)), 0x00);
}

}  // namespace
}  // namespace velmar
