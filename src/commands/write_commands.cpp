#include <algorithm>
#include <cmath>

#include "commands/meter_commands.hpp"
#include "core/text.hpp"
#include "link/frames.hpp"
#include "link/reply_check.hpp"

namespace velmar {
namespace {

constexpr std::size_t kUserDataPosition = 3;  // where SndUd expects the caller's user data

// The clock text counts its characters after spaces (only spaces) at either end are removed.
bool ClockTextLength(const std::string& text) {
  return Trim(text, " ").size() == 12;
}

// Password characters go out last character first: read as a 64-bit integer sent least
// significant byte first, the first character is the most significant byte.
void AppendPassword(std::vector<std::uint8_t>& data, const std::string& padded) {
  for (auto it = padded.rbegin(); it != padded.rend(); ++it) {
    data.push_back(static_cast<std::uint8_t>(*it));
  }
}

int DigitOrZero(char c) {
  return (c >= '0' && c <= '9') ? c - '0' : 0;
}

std::uint8_t BcdField(const std::string& text, std::size_t first) {
  return static_cast<std::uint8_t>(16 * DigitOrZero(text[first]) + DigitOrZero(text[first + 1]));
}

int NumberField(const std::string& text, std::size_t first) {
  return static_cast<int>(RoundHalfEven(LeadingNumber(text.substr(first, 2))));
}

}  // namespace

std::string PadPassword(const std::string& text) {
  std::string padded = text.substr(0, 8);
  padded.resize(8, '0');
  return padded;
}

std::uint8_t AddressByte(const std::optional<Variant>& address) {
  return address ? address->ToByte("Address") : kAnyMeter;
}

MeterCommands::AckOutcome MeterCommands::ExchangeForAck(const Frame& frame, std::int16_t length,
                                                        std::int16_t pause_ms) {
  transport_.SendFrame(frame, length);
  if (pause_ms > 0) transport_.Pause(pause_ms);
  std::vector<std::uint8_t> reply;
  const std::int16_t count = transport_.ReceiveReply(reply);
  if (count < 1) {
    ShowNoReply();
    return AckOutcome::kNoReply;
  }
  const std::int16_t code = CheckAck(reply, count);
  if (code < 0) {
    ShowError(MbusErrorText(code));
    return AckOutcome::kNotAcknowledged;
  }
  return AckOutcome::kAcknowledged;
}

MeterCommands::AckOutcome MeterCommands::SendUserData(std::span<const std::uint8_t> userData,
                                                      std::uint8_t address, std::int16_t pause_ms) {
  Frame frame{};
  if (userData.size() > frame.size() - kUserDataPosition - 6) {
    throw ArgumentError("user data of " + std::to_string(userData.size()) +
                        " bytes does not fit one frame");
  }
  std::copy(userData.begin(), userData.end(), frame.begin() + kUserDataPosition);
  const auto lField = static_cast<std::uint8_t>(userData.size() + 3);
  return ExchangeForAck(frame, SndUd(frame, lField, address), pause_ms);
}

std::int16_t MeterCommands::givePassword(std::string& myPasswd,
                                         const std::optional<Variant>& address) {
  myPasswd = PadPassword(myPasswd);
  const std::uint8_t a = AddressByte(address);
  if (!InitCommunication(address.value_or(Variant(std::int32_t{kAnyMeter})))) {
    return PasswordResult::kCouldNotInit;
  }
  std::vector<std::uint8_t> data = {0x07, 0xFD, 0x16};
  AppendPassword(data, myPasswd);
  const AckOutcome outcome = SendUserData(data, a);
  // The port stays open on every path: the write commands that follow use the link.
  switch (outcome) {
    case AckOutcome::kNoReply:
      return PasswordResult::kNoReply;
    case AckOutcome::kNotAcknowledged:
      return PasswordResult::kNotAcknowledged;
    default:
      return PasswordResult::kOk;
  }
}

std::int16_t MeterCommands::ChangePassword(std::string& myPasswd,
                                           const std::optional<Variant>& address) {
  const std::uint8_t a = AddressByte(address);
  myPasswd = PadPassword(myPasswd);
  std::vector<std::uint8_t> data = {0x07, 0xFD, 0x96, 0x00};  // 0x00: write, replacing
  AppendPassword(data, myPasswd);
  const AckOutcome outcome = SendUserData(data, a);
  if (outcome == AckOutcome::kNoReply) return WriteResult::kNoReply;
  if (outcome == AckOutcome::kNotAcknowledged) return WriteResult::kNotAcknowledged;
  CloseUnlessKept();
  return WriteResult::kOk;
}

std::int16_t MeterCommands::SetClock(const std::vector<std::uint8_t>& record,
                                     const std::optional<Variant>& address) {
  const std::uint8_t a = AddressByte(address);
  const AckOutcome outcome = SendUserData(record, a);
  if (outcome != AckOutcome::kAcknowledged) return ClockResult::kNotAcknowledged;
  CloseUnlessKept();
  return ClockResult::kOk;
}

std::int16_t MeterCommands::SetDateTime(const std::string& sDateTime,
                                        const std::optional<Variant>& address) {
  AddressByte(address);
  if (!ClockTextLength(sDateTime)) return ClockResult::kWrongLength;
  // hhmmssDDMMYY becomes the 12-digit BCD number YYMMDDhhmmss, least significant byte first.
  const std::vector<std::uint8_t> record = {0x0E,
                                            0x6D,
                                            BcdField(sDateTime, 4),
                                            BcdField(sDateTime, 2),
                                            BcdField(sDateTime, 0),
                                            BcdField(sDateTime, 6),
                                            BcdField(sDateTime, 8),
                                            BcdField(sDateTime, 10)};
  return SetClock(record, address);
}

std::int16_t MeterCommands::SetDateTimeStd(const std::string& sDateTime,
                                           const std::optional<Variant>& address) {
  AddressByte(address);
  if (!ClockTextLength(sDateTime)) return ClockResult::kWrongLength;
  // Date and time of type F: minute resolution, the year split over the day and month bytes.
  const int hour = NumberField(sDateTime, 0);
  const int minute = NumberField(sDateTime, 2);
  const int day = NumberField(sDateTime, 6);
  const int month = NumberField(sDateTime, 8);
  const int year = NumberField(sDateTime, 10);
  const std::vector<std::uint8_t> record = {
      0x04,
      0x6D,
      static_cast<std::uint8_t>(minute & 0x3F),
      static_cast<std::uint8_t>(hour & 0x1F),
      static_cast<std::uint8_t>((day & 0x1F) | ((year & 0x07) * 32)),
      static_cast<std::uint8_t>((month & 0x0F) | ((year & 0x78) * 2))};
  return SetClock(record, address);
}

std::int16_t MeterCommands::LockMeter(std::uint8_t mode, const std::optional<Variant>& address) {
  const std::uint8_t a = AddressByte(address);
  const std::vector<std::uint8_t> record = {0x01, 0xFF, 0x6A, mode};
  const AckOutcome outcome = SendUserData(record, a);
  // Unlike the other writes, the lock closes the port after a failure too.
  CloseUnlessKept();
  if (outcome == AckOutcome::kNoReply) return WriteResult::kNoReply;
  if (outcome == AckOutcome::kNotAcknowledged) return WriteResult::kNotAcknowledged;
  return WriteResult::kOk;
}

}  // namespace velmar
