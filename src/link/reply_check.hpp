// Judging what a meter sent back: the single-character acknowledge of SND_NKE/SND_UD, and the
// RSP_UD long frame of a REQ_UD2 with its fixed data header and data records.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velmar {

struct MbusLinkState;

// Link error codes.
enum LinkError : std::int16_t {
  kWrongStartByte = -1,
  kWrongStopByte = -2,
  kStructureError = -3,
  kChecksumError = -4,
  kUndecodedData = -5,
  kWrongLength = -6,
  kWrongBlockType = -7,
};

// 0 when the reply holds an acknowledge character (0xE5 or 0xF9) within its first 9 bytes.
std::int16_t CheckAck(std::span<const std::uint8_t> reply, std::int16_t count);
// Checks and decodes an RSP_UD. May rewrite a leading 0xFC to 0x68 in `reply`.
std::int16_t CheckRspUd(std::span<std::uint8_t> reply, std::int16_t count, std::uint8_t decodeMode);
std::int16_t ParseRspUd(std::span<const std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode);
// One byte of the fixed header (positions 4 to 18) into this thread's link state, or `link`.
std::int16_t StoreHeaderByte(int position, std::uint8_t value);
std::int16_t StoreHeaderByte(MbusLinkState& link, int position, std::uint8_t value);
void ResetRspHeader();
std::string MbusErrorText(std::int16_t code);

}  // namespace velmar
