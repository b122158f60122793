// The meter commands: reading, passwords, clock, lock, tariff intervals. Each sends its frames
// through the transport, judges the answers with the link layer, reports a failure in a message
// box (unless noErrorPopup) and leaves the port open or closed as its own rules say.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transport/transport.hpp"
#include "velmar/error.hpp"
#include "velmar/platform.hpp"
#include "velmar/results.hpp"
#include "velmar/variant.hpp"

namespace velmar {

// How the host wants failures and the port handled; set through the control's members.
struct CommandFlags {
  bool noErrorPopup = false;
  bool keepPortopen = false;
};

// The password as sent: its first 8 characters, padded with '0' to 8.
std::string PadPassword(const std::string& text);
// Each two characters of `text` as a hexadecimal byte, into bytes[0], bytes[1], ...
void DigitPairsToBytes(const std::string& text, std::span<std::uint8_t> bytes);
// Selection of a meter by its identification number (secondary addressing), built in `frame`
// for this maker's electricity meters (manufacturer ORV, version 2, medium 2); returns the
// frame length, 17.
std::int16_t SelectSlave(std::int32_t identNumber, std::span<std::uint8_t> frame);
// The Address parameter of the write commands as a byte; 254 when left out.
std::uint8_t AddressByte(const std::optional<Variant>& address);

class MeterCommands {
 public:
  MeterCommands(Transport& transport, MessageBox& messages, TextField& address_field);

  std::int16_t cmd_ReqUD2();
  bool InitCommunication(const Variant& address);
  std::int16_t RequestUserData(std::uint8_t address, std::uint8_t decodeMode);

  std::int16_t givePassword(std::string& myPasswd, const std::optional<Variant>& address);
  std::int16_t ChangePassword(std::string& myPasswd, const std::optional<Variant>& address);
  std::int16_t SetDateTime(const std::string& sDateTime, const std::optional<Variant>& address);
  std::int16_t SetDateTimeStd(const std::string& sDateTime, const std::optional<Variant>& address);
  std::int16_t LockMeter(std::uint8_t mode, const std::optional<Variant>& address);
  std::int16_t SetIntervals(std::span<const std::uint8_t> tariffData, std::int32_t tariffLen,
                            const std::optional<Variant>& address);
  std::int16_t ReadIntervals(std::span<std::uint8_t> tariffData, std::int32_t& tariffLen,
                             const std::optional<Variant>& address);

  CommandFlags& flags() { return flags_; }
  const CommandFlags& flags() const { return flags_; }
  void SetProgressCallback(std::function<void(int, int)> callback) {
    progress_ = std::move(callback);
  }

 private:
  enum class AckOutcome { kAcknowledged, kNoReply, kNotAcknowledged };
  using Frame = std::array<std::uint8_t, 256>;

  // Sends a built frame, optionally pauses, collects the answer and reports a missing or wrong
  // acknowledge in a message box.
  AckOutcome ExchangeForAck(const Frame& frame, std::int16_t length, std::int16_t pause_ms = 0);
  AckOutcome SendUserData(std::span<const std::uint8_t> userData, std::uint8_t address,
                          std::int16_t pause_ms = 0);
  std::int16_t SetClock(const std::vector<std::uint8_t>& record,
                        const std::optional<Variant>& address);
  bool ConfirmBlock(std::uint8_t address, std::uint8_t blockType, std::int16_t pause_ms);
  std::int16_t CollectTable(std::uint8_t address, std::vector<std::uint8_t>& collected);
  void ShowError(std::string_view text);
  void ShowNoReply();
  void CloseUnlessKept();

  Transport& transport_;
  MessageBox& messages_;
  TextField& address_field_;
  CommandFlags flags_;
  std::function<void(int, int)> progress_;
};

}  // namespace velmar
