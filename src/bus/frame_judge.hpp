// How the bus master frames and judges what comes back: a reply is complete when its own length
// says so, and is then judged as EN 13757-2 judges a frame. Pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "velmar/bus.hpp"

namespace velmar::bus {

constexpr std::uint8_t kAck = 0xE5;

// What the request that was answered expects back.
enum class Expect : std::uint8_t {
  kAck,       // SND_NKE, SND_UD: one E5
  kUserData,  // REQ_UD2: an RSP_UD long frame
  kAny,       // a raw frame: an acknowledge or any well-formed frame
};

// The length of the frame at the start of `bytes` once all of it is there: 1 for E5, 5 for a
// short frame, L + 6 for a long frame (a leading 0xFC, which some meters send for 0x68, counts
// as a long frame's start). Nullopt while it is incomplete, and always for bytes that start no
// frame (those end at the byte time-out).
std::optional<std::size_t> CompleteLength(std::span<const std::uint8_t> bytes);

// How long the frame at the start of `bytes` will be, once its start (and for a long frame its
// L field) is there; nullopt before that, and for bytes that start no frame.
std::optional<std::size_t> ExpectedLength(std::span<const std::uint8_t> bytes);

struct Verdict {
  Status result = Status::kNoReply;
  std::int16_t linkResult = 0;  // the link check's code for a damaged frame, 0 otherwise
};

// Judges what was heard for one request: nothing, a clean answer of the kind expected, or why
// not. `bytes` ends where the frame ended (or, incomplete, where the line fell silent).
Verdict Judge(std::span<const std::uint8_t> bytes, Expect expect);

// The link check's code for a long frame, in the order the control checks its replies: too
// short (-3), start byte (-1), last byte not the stop byte (-2), L fields differ (-3), L past
// the data (-6), second start byte (-1), check byte (-4); 0 for a sound frame.
std::int16_t LongFrameCode(std::span<const std::uint8_t> bytes);

}  // namespace velmar::bus
