#include "decode/rsp_ud.hpp"

#include <algorithm>

#include "codec/checksums.hpp"
#include "decode/meter_data.hpp"
#include "decode/record_walker.hpp"
#include "decode/value_conversion.hpp"
#include "link/frames.hpp"
#include "link/link_state.hpp"

namespace velmar {
namespace {

constexpr int kFirstRecordPosition = 19;
constexpr int kMinimumLField = 15;  // C, A, CI and the 12-byte fixed data header

// Sum of the bytes from C field up to (not including) `end`, modulo 256.
std::int16_t ChecksumUpTo(std::span<const std::uint8_t> reply, int end) {
  return ByteSum(reply.subspan(4, static_cast<std::size_t>(end) - 4));
}

// Walks the data records; 0, or the walker's code with the checksum left at the refused byte.
// Should the walker (or a notice handler under it) throw, the counter is cleared on the way out,
// so the next reply is not refused as undecoded data. The counter stays non-zero during the walk,
// so a notice handler that tries to parse another reply is refused rather than mixing the two.
std::int16_t WalkRecords(MbusLinkState& link, OrvMeterData& data,
                         std::span<const std::uint8_t> reply, int last, std::uint8_t decodeMode) {
  const auto first = static_cast<std::size_t>(kFirstRecordPosition);
  const auto area = reply.subspan(first, static_cast<std::size_t>(last + 1) - first);
  std::size_t consumed = 0;
  std::int16_t result = 0;
  try {
    result = DecodeRecordArea(data, area, decodeMode, consumed);
  } catch (...) {
    link.bytesToDecode = 0;
    throw;
  }
  link.runningChecksum = ChecksumUpTo(reply, kFirstRecordPosition + static_cast<int>(consumed));
  if (result == 0) link.bytesToDecode = 0;
  return result;
}

std::int16_t Refuse(MbusLinkState& link, std::int16_t code) {
  link.bytesToDecode = 0;
  return code;
}

}  // namespace

std::int16_t CheckRspUd(std::span<std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode) {
  return CheckRspUd(LinkState(), MeterData(), reply, count, decodeMode,
                    decodeMode != kAnyBlockType);
}

std::int16_t CheckRspUd(MbusLinkState& link, OrvMeterData& data, std::span<std::uint8_t> reply,
                        std::int16_t count, std::uint8_t decodeMode, bool clearStore) {
  // Never read past what the caller holds, whatever count it claims.
  count = static_cast<std::int16_t>(
      std::min<std::size_t>(std::max<std::int16_t>(count, 0), reply.size()));
  if (count < 5) return LinkResult::kStructureError;
  if (reply[0] != kLongStart && reply[0] != 0xFC) return LinkResult::kWrongStartByte;
  if (reply[0] == 0xFC) reply[0] = kLongStart;
  if (reply[static_cast<std::size_t>(count) - 1] != kStop) return LinkResult::kWrongStopByte;
  return ParseRspUd(link, data, reply, count, decodeMode, clearStore);
}

std::int16_t ParseRspUd(std::span<const std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode) {
  return ParseRspUd(LinkState(), MeterData(), reply, count, decodeMode,
                    decodeMode != kAnyBlockType);
}

std::int16_t ParseRspUd(MbusLinkState& link, OrvMeterData& data,
                        std::span<const std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode, bool clearStore) {
  if (link.bytesToDecode != 0) return LinkResult::kUndecodedData;
  if (count < 5 || reply.size() < static_cast<std::size_t>(count))
    return LinkResult::kStructureError;
  const int l = reply[1];
  link.bytesToDecode = l;
  if (reply[2] != l) return Refuse(link, LinkResult::kStructureError);
  if (l + 6 > count) return Refuse(link, LinkResult::kWrongLength);
  if (reply[3] != kLongStart) return Refuse(link, LinkResult::kWrongStartByte);
  // A long frame with L below 15 cannot hold the fixed header; walking it would read the
  // checksum, the stop byte and beyond, so it is refused before any field is touched.
  if (l < kMinimumLField) return Refuse(link, LinkResult::kStructureError);

  link.runningChecksum = 0;
  ResetRspHeader(link, data);
  if (clearStore) ClearMeterData(data);

  for (int p = 4; p < kFirstRecordPosition; ++p) {
    std::int16_t result = StoreHeaderByte(link, p, reply[static_cast<std::size_t>(p)]);
    if (result < 0) {
      link.runningChecksum = ChecksumUpTo(reply, p);
      return Refuse(link, result);
    }
  }
  std::int16_t result = WalkRecords(link, data, reply, l + 3, decodeMode);
  if (result < 0) return Refuse(link, result);

  // The meter has answered this request: the next REQ_UD2 carries the other frame-count bit,
  // even if the checksum below then fails.
  link.fcbReqUd2 = !link.fcbReqUd2;
  return reply[static_cast<std::size_t>(l) + 4] == link.runningChecksum
             ? LinkResult::kOk
             : LinkResult::kChecksumError;
}

std::int16_t StoreHeaderByte(MbusLinkState& link, int position, std::uint8_t value) {
  switch (position) {
    case 4:  // C field: RSP_UD without access-demand or data-flow-control bits
      return value == 0x08 ? LinkResult::kOk : LinkResult::kStructureError;
    case 5:
      link.primaryAddress = value;
      return 0;
    case 6:  // CI field: variable data structure, long header
      return value == 0x72 ? LinkResult::kOk : LinkResult::kStructureError;
    case 7:
    case 8:
    case 9:
    case 10: {
      static constexpr std::int32_t kScale[] = {1, 100, 10000, 1000000};
      link.identNumber += BcdPair(value) * kScale[position - 7];
      return 0;
    }
    case 11:
    case 12: {
      // The field is signed 16-bit: a manufacturer code with its top bit set is held as its
      // two's-complement bit pattern, which reads as negative and shows no letters.
      const int add = position == 11 ? value : value * 256;
      link.manufacturerCode = static_cast<std::int16_t>(
          static_cast<std::uint16_t>(static_cast<std::uint16_t>(link.manufacturerCode) + add));
      return 0;
    }
    case 13:
      link.versionByte = value;
      return 0;
    case 16:
      link.statusByte = value;
      return 0;
    case 14:
    case 15:
    case 17:
    case 18:
      return 0;
    default:
      return LinkResult::kWrongLength;
  }
}

void ResetRspHeader() {
  ResetRspHeader(LinkState(), MeterData());
}

void ResetRspHeader(MbusLinkState& link, OrvMeterData& data) {
  link.identNumber = 0;
  link.manufacturerCode = 0;
  link.versionByte = 0;
  link.statusByte = 0;
  data.decodeState = kExpectDif;
}

}  // namespace velmar
