#include "link/reply_check.hpp"

#include <algorithm>

#include "decode/meter_data.hpp"
#include "decode/record_walker.hpp"
#include "decode/value_conversion.hpp"
#include "link/frames.hpp"
#include "link/link_state.hpp"

namespace velmar {
namespace {

constexpr int kFirstRecordPosition = 19;
constexpr int kMinimumLField = 15;  // C, A, CI and the 12-byte fixed data header

bool IsAck(std::uint8_t b) {
  return b == 0xE5 || b == 0xF9;
}

// Sum of the bytes from C field up to (not including) `end`, modulo 256.
std::int16_t ChecksumUpTo(std::span<const std::uint8_t> reply, int end) {
  unsigned sum = 0;
  for (int p = 4; p < end; ++p) sum += reply[static_cast<std::size_t>(p)];
  return static_cast<std::int16_t>(sum & 0xFF);
}

// Walks the data records; 0, or the walker's code with the checksum left at the refused byte.
// Should the walker (or a notice handler under it) throw, the counter is cleared on the way out,
// so the next reply is not refused as undecoded data. The counter stays non-zero during the walk,
// so a notice handler that tries to parse another reply is refused rather than mixing the two.
std::int16_t WalkRecords(std::span<const std::uint8_t> reply, int last, std::uint8_t decodeMode) {
  MbusLinkState& link = LinkState();
  const auto first = static_cast<std::size_t>(kFirstRecordPosition);
  const auto area = reply.subspan(first, static_cast<std::size_t>(last + 1) - first);
  std::size_t consumed = 0;
  std::int16_t result = 0;
  try {
    result = DecodeRecordArea(MeterData(), area, decodeMode, consumed);
  } catch (...) {
    link.bytesToDecode = 0;
    throw;
  }
  link.runningChecksum = ChecksumUpTo(reply, kFirstRecordPosition + static_cast<int>(consumed));
  if (result == 0) link.bytesToDecode = 0;
  return result;
}

std::int16_t Refuse(std::int16_t code) {
  LinkState().bytesToDecode = 0;
  return code;
}

}  // namespace

std::int16_t CheckAck(std::span<const std::uint8_t> reply, std::int16_t count) {
  if (count < 1 || count > 9) return kStructureError;
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), reply.size());
  return std::any_of(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(n), IsAck)
             ? 0
             : kStructureError;
}

std::int16_t CheckRspUd(std::span<std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode) {
  // Never read past what the caller holds, whatever count it claims.
  count = static_cast<std::int16_t>(
      std::min<std::size_t>(std::max<std::int16_t>(count, 0), reply.size()));
  if (count < 5) return kStructureError;
  if (reply[0] != kLongStart && reply[0] != 0xFC) return kWrongStartByte;
  if (reply[0] == 0xFC) reply[0] = kLongStart;
  if (reply[static_cast<std::size_t>(count) - 1] != kStop) return kWrongStopByte;
  return ParseRspUd(reply, count, decodeMode);
}

std::int16_t ParseRspUd(std::span<const std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode) {
  MbusLinkState& link = LinkState();
  if (link.bytesToDecode != 0) return kUndecodedData;
  if (count < 5 || reply.size() < static_cast<std::size_t>(count)) return kStructureError;
  const int l = reply[1];
  link.bytesToDecode = l;
  if (reply[2] != l) return Refuse(kStructureError);
  if (l + 6 > count) return Refuse(kWrongLength);
  if (reply[3] != kLongStart) return Refuse(kWrongStartByte);
  // A long frame with L below 15 cannot hold the fixed header; walking it would read the
  // checksum, the stop byte and beyond, so it is refused before any field is touched.
  if (l < kMinimumLField) return Refuse(kStructureError);

  link.runningChecksum = 0;
  ResetRspHeader();
  if (decodeMode != kAnyBlockType) ClearMeterData();

  for (int p = 4; p < kFirstRecordPosition; ++p) {
    std::int16_t result = StoreHeaderByte(link, p, reply[static_cast<std::size_t>(p)]);
    if (result < 0) {
      link.runningChecksum = ChecksumUpTo(reply, p);
      return Refuse(result);
    }
  }
  std::int16_t result = WalkRecords(reply, l + 3, decodeMode);
  if (result < 0) return Refuse(result);

  // The meter has answered this request: the next REQ_UD2 carries the other frame-count bit,
  // even if the checksum below then fails.
  link.fcbReqUd2 = !link.fcbReqUd2;
  return reply[static_cast<std::size_t>(l) + 4] == link.runningChecksum ? 0 : kChecksumError;
}

std::int16_t StoreHeaderByte(int position, std::uint8_t value) {
  return StoreHeaderByte(LinkState(), position, value);
}

std::int16_t StoreHeaderByte(MbusLinkState& link, int position, std::uint8_t value) {
  switch (position) {
    case 4:  // C field: RSP_UD without access-demand or data-flow-control bits
      return value == 0x08 ? 0 : kStructureError;
    case 5:
      link.primaryAddress = value;
      return 0;
    case 6:  // CI field: variable data structure, long header
      return value == 0x72 ? 0 : kStructureError;
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
      return kWrongLength;
  }
}

void ResetRspHeader() {
  MbusLinkState& link = LinkState();
  link.identNumber = 0;
  link.manufacturerCode = 0;
  link.versionByte = 0;
  link.statusByte = 0;
  MeterData().decodeState = kExpectDif;
}

std::string MbusErrorText(std::int16_t code) {
  switch (code) {
    case kWrongStartByte:
      return "Communication error. Not a correct start byte (Mbus message).";
    case kWrongStopByte:
      return "Communication error. Not a correct End byte (Mbus message).";
    case kStructureError:
      return "Communication error. Other Mbus structure error.";
    case kChecksumError:
      return "Communication error. Checksum error in message.";
    case kUndecodedData:
      return "Com.err. Old, non-decoded, data in Mbus message when trying to decode a new message.";
    case kWrongLength:
      return "Com.err. Wrong length in Mbus message compared with recieved data.";
    case kWrongBlockType:
      return "Com.err. Expected one type of userdata but recieved another type.";
    default:
      return "Com.Err. Unknown error when recieving Mbus data.";
  }
}

}  // namespace velmar
