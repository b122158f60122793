#include <algorithm>
#include <array>
#include <cstdio>

#include "codec/messages.hpp"
#include "commands/meter_commands.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "decode/rsp_ud.hpp"
#include "decode/value_conversion.hpp"
#include "link/frames.hpp"
#include "link/link_state.hpp"
#include "link/reply_check.hpp"

namespace velmar {
namespace {

constexpr std::uint8_t kStatusAfterReset = 99;
constexpr std::uint8_t kNoBlockReceived = 255;

}  // namespace

void DigitPairsToBytes(const std::string& text, std::span<std::uint8_t> bytes) {
  for (std::size_t i = 0; i < text.size() && i / 2 < bytes.size(); i += 2) {
    bytes[i / 2] = HexPairToByte(std::string_view(text).substr(i, 2));
  }
}

std::int16_t SelectSlave(std::int32_t identNumber, std::span<std::uint8_t> frame) {
  // Eight decimal digits, read as hex pairs, are the BCD bytes of the identification number.
  std::string digits = "00000000" + std::to_string(identNumber);
  digits = digits.substr(digits.size() - 8);
  std::array<std::uint8_t, 4> id{};
  DigitPairsToBytes(digits, id);
  const std::uint8_t data[] = {kCiSelect, id[3], id[2], id[1], id[0], 0x56, 0x3E, 0x02, 0x02};
  if (frame.size() < 17) throw ArgumentError("selection frame needs 17 bytes");
  frame[0] = NextSndUdControl();
  frame[1] = kSelectedMeter;
  std::copy(std::begin(data), std::end(data), frame.begin() + 2);
  BuildLongFrame(frame, 11);
  return 17;
}

MeterCommands::MeterCommands(Transport& transport, MessageBox& messages, TextField& address_field)
    : transport_(transport), messages_(messages), address_field_(address_field) {}

void MeterCommands::ShowError(std::string_view text) {
  if (!flags_.noErrorPopup) messages_.Show(std::string(text), std::string(text::kErrorTitle));
}

void MeterCommands::ShowNoReply() {
  ShowError(transport_.state().Timeout ? text::kTimeoutNoReply : text::kNoReply);
}

void MeterCommands::CloseUnlessKept() {
  if (!flags_.keepPortopen) transport_.closePort();
}

std::int16_t MeterCommands::cmd_ReqUD2() {
  MbusLinkState& link = LinkState();
  link.identNumber = 0;
  link.primaryAddress = 0;
  link.manufacturerCode = 0;
  link.statusByte = kStatusAfterReset;
  ClearMeterData();

  const Variant address(LeadingNumber(address_field_.Text()));
  if (!InitCommunication(address)) {
    ShowError(text::kCouldNotInit);
    return ReadResult::kCouldNotInit;
  }
  MeterData().moreRecords = false;
  const std::uint8_t primary = address.ToByte("Address");
  std::int16_t result = RequestUserData(primary, 0);
  if (result > 0) result = ReadResult::kOk;
  // Only the first telegram is read, even when the meter announces more.
  MeterData().moreRecords = false;
  CloseUnlessKept();
  return result;
}

bool MeterCommands::InitCommunication(const Variant& address) {
  MeterData().mfrStatus = kNoBlockReceived;
  if (transport_.OpenPort() != PortResult::kOk) return false;

  const double a = LeadingNumber(address.ToText());
  // Addresses outside 1..255 (0, secondary addresses) reset the selected meter at 0xFD.
  const std::uint8_t start =
      (a >= 1 && a <= 255) ? static_cast<std::uint8_t>(RoundHalfEven(a)) : kSelectedMeter;
  Frame frame{};
  transport_.SendFrame(frame, SndNke(frame, start));
  transport_.Pause(200);
  if (a >= 256) {
    transport_.SendFrame(frame, SelectSlave(address.ToInt32("Address"), frame));
    std::vector<std::uint8_t> reply;
    transport_.ReceiveReply(reply);
  } else {
    address.ToByte("Address");
  }
  transport_.port().Input();  // the acknowledge of the start-up frames
  return true;
}

std::int16_t MeterCommands::RequestUserData(std::uint8_t address, std::uint8_t decodeMode) {
  Frame frame{};
  transport_.SendFrame(frame, ReqUd2(frame, address));
  transport_.Pause(150);
  std::vector<std::uint8_t> reply;
  const std::int16_t count = transport_.ReceiveReply(reply);
  if (count <= 0) return LinkResult::kOk;
  // The decoder's notices are shown whatever noErrorPopup says.
  ScopedNoticeSink notices(MeterData(),
                           [this](const std::string& text) { messages_.Show(text, std::nullopt); });
  const std::int16_t result = CheckRspUd(reply, count, decodeMode);
  if (result < 0) ShowError(MbusErrorText(result));
  return result;
}

}  // namespace velmar
