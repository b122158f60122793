#include "bus/frame_judge.hpp"

#include "codec/checksums.hpp"
#include "link/frames.hpp"
#include "velmar/results.hpp"

namespace velmar::bus {
namespace {

constexpr std::uint8_t kLongStartAlias = 0xFC;
constexpr std::size_t kShortFrameLength = 5;

bool LongStart(std::uint8_t b) {
  return b == kLongStart || b == kLongStartAlias;
}

bool SoundShortFrame(std::span<const std::uint8_t> b) {
  return b.size() == kShortFrameLength && b[0] == kShortStart && b[4] == kStop &&
         ByteSum(b.subspan(1, 2)) == b[3];
}

// A reply to SND_NKE or SND_UD: one E5. Anything else that came means either a meter that
// answered wrongly (a whole frame) or several meters at once (bytes that are no frame, or an E5
// followed by more).
Verdict JudgeAck(std::span<const std::uint8_t> b) {
  if (b.size() == 1 && b[0] == kAck) return {Status::kOk, 0};
  if (CompleteLength(b) == b.size() && b[0] != kAck) return {Status::kNotAcknowledged, 0};
  return {Status::kCollision, LinkResult::kStructureError};
}

Verdict JudgeLong(std::span<const std::uint8_t> b, Expect expect) {
  const std::int16_t code = LongFrameCode(b);
  if (code == LinkResult::kChecksumError) return {Status::kChecksum, code};
  if (code != 0) return {Status::kDamagedReply, code};
  // An RSP_UD carries C 0x08, with the access-demand and data-flow-control bits free.
  if (expect == Expect::kUserData && (b[4] & 0xCF) != 0x08) {
    return {Status::kUnexpectedReply, LinkResult::kStructureError};
  }
  return {Status::kOk, 0};
}

}  // namespace

std::optional<std::size_t> ExpectedLength(std::span<const std::uint8_t> b) {
  if (b.empty()) return std::nullopt;
  if (b[0] == kAck) return 1;
  if (b[0] == kShortStart) return kShortFrameLength;
  if (LongStart(b[0]) && b.size() >= 2) return b[1] + 6u;
  return std::nullopt;
}

std::optional<std::size_t> CompleteLength(std::span<const std::uint8_t> b) {
  const auto need = ExpectedLength(b);
  return need && b.size() >= *need ? need : std::nullopt;
}

std::int16_t LongFrameCode(std::span<const std::uint8_t> b) {
  if (b.size() < 5) return LinkResult::kStructureError;
  if (!LongStart(b[0])) return LinkResult::kWrongStartByte;
  if (b.back() != kStop) return LinkResult::kWrongStopByte;
  if (b[1] != b[2]) return LinkResult::kStructureError;
  const std::size_t l = b[1];
  if (l + 6 > b.size()) return LinkResult::kWrongLength;
  if (b[3] != kLongStart) return LinkResult::kWrongStartByte;
  if (l < 3) return LinkResult::kStructureError;
  if (ByteSum(b.subspan(4, l)) != b[4 + l]) return LinkResult::kChecksumError;
  return LinkResult::kOk;
}

Verdict Judge(std::span<const std::uint8_t> b, Expect expect) {
  if (b.empty()) return {Status::kNoReply, 0};
  if (expect == Expect::kAck) return JudgeAck(b);
  if (b.size() == 1 && b[0] == kAck) {
    return expect == Expect::kAny ? Verdict{Status::kOk, 0} : Verdict{Status::kUnexpectedReply, 0};
  }
  if (b[0] == kShortStart) {
    if (!SoundShortFrame(b)) return {Status::kDamagedReply, LinkResult::kStructureError};
    return expect == Expect::kAny ? Verdict{Status::kOk, 0} : Verdict{Status::kUnexpectedReply, 0};
  }
  return JudgeLong(b, expect);
}

}  // namespace velmar::bus
