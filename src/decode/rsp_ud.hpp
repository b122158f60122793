// Checking and decoding the RSP_UD a meter sends to REQ_UD2: start, L fields, stop, the fixed
// data header (into this thread's link state) and the data records (through the record walker
// into this thread's meter data store), then the check byte.
#pragma once

#include <cstdint>
#include <span>

#include "velmar/results.hpp"

namespace velmar {

struct MbusLinkState;
struct OrvMeterData;

// Checks the start and stop bytes of the first `count` bytes of `reply` (never more than it
// holds) and parses the frame. A leading 0xFC is taken as 0x68 and rewritten in `reply`.
// Returns a LinkResult code. `decodeMode` 250 keeps the store and takes any manufacturer block
// type; any other value clears the store first and takes only that block type.
std::int16_t CheckRspUd(std::span<std::uint8_t> reply, std::int16_t count, std::uint8_t decodeMode);

// The frame without the start and stop checks. Refuses to start while an earlier walk on this
// thread is unfinished (kUndecodedData). The frame-count bit of REQ_UD2 flips once the records
// have been walked, even when the check byte then fails.
std::int16_t ParseRspUd(std::span<const std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode);

// Both on a link state and store the caller owns (the thread's own are not touched);
// `clearStore` clears the store's main values first, as a new reading does.
std::int16_t CheckRspUd(MbusLinkState& link, OrvMeterData& data, std::span<std::uint8_t> reply,
                        std::int16_t count, std::uint8_t decodeMode, bool clearStore);
std::int16_t ParseRspUd(MbusLinkState& link, OrvMeterData& data,
                        std::span<const std::uint8_t> reply, std::int16_t count,
                        std::uint8_t decodeMode, bool clearStore);

// One byte of the fixed header (frame positions 4 to 18) into `link`: C 0x08 and CI 0x72 are
// required (kStructureError otherwise), a position past 18 is kWrongLength.
std::int16_t StoreHeaderByte(MbusLinkState& link, int position, std::uint8_t value);

// Zeroes the header fields of this thread's link state and puts the walker before a DIF.
void ResetRspHeader();
void ResetRspHeader(MbusLinkState& link, OrvMeterData& data);

}  // namespace velmar
