// The variable data structure of an RSP_UD (EN 13757-3), walked one byte per call: DIF, DIFE
// chain, VIF, VIFE chain, data field; then, after a special DIF (low nibble 0xF), the
// manufacturer-specific part in the form the control's meters use for block transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar {

struct OrvMeterData;

// decodeMode: the manufacturer block type the caller expects; 250 accepts any type.
constexpr std::uint8_t kAnyBlockType = 250;

// Walker states kept in OrvMeterData::decodeState.
enum WalkerState : std::int16_t {
  kExpectDif = 0,
  kExpectDife = 1,
  kExpectVif = 2,
  kExpectVife = 3,
  kExpectData = 4,
  kBeforeMarker = 7,
  kInBlock = 8,
};

// Consumes the next byte of the record area into `d`; LinkResult::kOk, or kWrongBlockType when a
// manufacturer block carries another block type than `decodeMode` asks for.
std::int16_t DecodeDataRecords(OrvMeterData& d, std::uint8_t b, std::uint8_t decodeMode);
// A run of record-area bytes, with the same outcome as feeding them one by one; `consumed` is
// the number of bytes taken, the refused one excluded when the result is negative.
std::int16_t DecodeRecordArea(OrvMeterData& d, std::span<const std::uint8_t> bytes,
                              std::uint8_t decodeMode, std::size_t& consumed);
// Length of the data field announced by a DIF (0 for variable length, read from LVAR).
std::int16_t DataFieldLength(std::uint8_t dif);

}  // namespace velmar
