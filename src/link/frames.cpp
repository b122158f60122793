#include "link/frames.hpp"

#include <string>

#include "codec/checksums.hpp"
#include "link/link_state.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

void RequireRoom(std::span<std::uint8_t> frame, std::size_t needed) {
  if (frame.size() < needed) {
    throw ArgumentError("frame of " + std::to_string(needed) + " bytes does not fit a buffer of " +
                        std::to_string(frame.size()));
  }
}

void RequireLongFrame(std::span<std::uint8_t> frame, std::uint8_t lField) {
  if (lField < 3) {
    throw ArgumentError("long frame L field " + std::to_string(lField) +
                        " is below 3 (C, A and CI)");
  }
  RequireRoom(frame, std::size_t{lField} + 6);
}

}  // namespace

void BuildShortFrame(std::span<std::uint8_t> frame) {
  RequireRoom(frame, 5);
  frame[4] = kStop;
  frame[3] = ByteSum(frame.first(2));
  frame[2] = frame[1];
  frame[1] = frame[0];
  frame[0] = kShortStart;
}

void BuildLongFrame(std::span<std::uint8_t> frame, std::uint8_t lField) {
  RequireLongFrame(frame, lField);
  frame[lField + 5u] = kStop;
  frame[lField + 4u] = ByteSum(frame.first(lField));
  // The content moves four places up; copying from the top keeps the overlapping bytes intact.
  for (int i = lField - 1; i >= 0; --i) frame[i + 4u] = frame[static_cast<std::size_t>(i)];
  frame[3] = kLongStart;
  frame[2] = lField;
  frame[1] = lField;
  frame[0] = kLongStart;
}

std::int16_t SndNke(std::span<std::uint8_t> frame, std::uint8_t address) {
  RequireRoom(frame, 5);
  frame[0] = 0x40;
  frame[1] = address;
  BuildShortFrame(frame);
  // A reset link starts both directions with the frame-count bit set.
  LinkState().fcbSndUd = true;
  LinkState().fcbReqUd2 = true;
  return 5;
}

std::int16_t ReqUd2(std::span<std::uint8_t> frame, std::uint8_t address) {
  RequireRoom(frame, 5);
  frame[0] = LinkState().fcbReqUd2 ? 0x7B : 0x5B;
  frame[1] = address;
  BuildShortFrame(frame);
  return 5;
}

std::uint8_t NextSndUdControl() {
  MbusLinkState& link = LinkState();
  std::uint8_t c = link.fcbSndUd ? 0x73 : 0x53;
  link.fcbSndUd = !link.fcbSndUd;
  return c;
}

std::int16_t SndUd(std::span<std::uint8_t> frame, std::uint8_t lField, std::uint8_t address) {
  RequireLongFrame(frame, lField);
  frame[0] = NextSndUdControl();
  frame[1] = address;
  frame[2] = kCiSndUd;
  BuildLongFrame(frame, lField);
  return static_cast<std::int16_t>(lField + 6);
}

}  // namespace velmar
