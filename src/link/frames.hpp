// Request frames of the master (EN 13757-2): SND_NKE and REQ_UD2 as short frames, SND_UD as a
// long frame. The builders work in place in a caller-owned buffer and return the frame length.
#pragma once

#include <cstdint>
#include <span>

namespace velmar {

constexpr std::uint8_t kShortStart = 0x10;
constexpr std::uint8_t kLongStart = 0x68;
constexpr std::uint8_t kStop = 0x16;
constexpr std::uint8_t kCiSndUd = 0x51;
constexpr std::uint8_t kCiSelect = 0x52;

// The address a selected meter answers at (secondary addressing), and the one every single meter
// on a point-to-point line answers to.
constexpr std::uint8_t kSelectedMeter = 0xFD;
constexpr std::uint8_t kAnyMeter = 0xFE;

// Each builder throws ArgumentError when the frame would not fit `frame` (nothing is written
// then).
std::int16_t SndNke(std::span<std::uint8_t> frame, std::uint8_t address);
std::int16_t ReqUd2(std::span<std::uint8_t> frame, std::uint8_t address);
// User data must already sit at positions 3 .. lField - 1.
std::int16_t SndUd(std::span<std::uint8_t> frame, std::uint8_t lField, std::uint8_t address);
// C field of the next SND_UD (0x53/0x73 by fcbSndUd); inverts fcbSndUd.
std::uint8_t NextSndUdControl();
// Wrap the C and A bytes at positions 0 and 1 into a short frame (start, C, A, check, stop).
void BuildShortFrame(std::span<std::uint8_t> frame);
// Wrap the lField bytes at positions 0 .. lField - 1 into a long frame: they move four places up
// behind 68 L L 68 and the check byte and stop byte follow them.
void BuildLongFrame(std::span<std::uint8_t> frame, std::uint8_t lField);

}  // namespace velmar
