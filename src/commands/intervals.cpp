#include <algorithm>
#include <array>

#include "codec/messages.hpp"
#include "codec/tariff_image.hpp"
#include "commands/meter_commands.hpp"
#include "decode/meter_data.hpp"
#include "link/frames.hpp"
#include "link/link_state.hpp"

namespace velmar {
namespace {

constexpr std::size_t kCollectionSize = 401;
constexpr std::uint8_t kFirstBlock = 0x1B;
constexpr std::uint8_t kNextBlock = 0x1C;
constexpr std::uint8_t kReadRequest = 0x1D;
constexpr std::uint8_t kNoBlockReceived = 255;
constexpr std::int16_t kAckPauseMs = 100;           // between a block and its acknowledge
constexpr std::int16_t kFirstConfirmPauseMs = 100;  // before the first block's confirmation
constexpr std::int16_t kNextConfirmPauseMs = 150;   // before each later block's confirmation
constexpr std::int16_t kReadBackPauseMs = 100;      // after each data telegram of a read-back

// User data of a block: the manufacturer-block marker, its type, then the image bytes.
std::vector<std::uint8_t> BlockHead(std::uint8_t type) {
  return {0x0F, 0x80, type};
}

}  // namespace

bool MeterCommands::ConfirmBlock(std::uint8_t address, std::uint8_t blockType,
                                 std::int16_t pause_ms) {
  // Only the status byte decides: a reply whose status 0 was stored before a later check of
  // the same reply failed still confirms the block.
  MeterData().mfrStatus = kNoBlockReceived;
  transport_.Pause(pause_ms);
  RequestUserData(address, blockType);
  return MeterData().mfrStatus == 0;
}

std::int16_t MeterCommands::SetIntervals(std::span<const std::uint8_t> tariffData,
                                         std::int32_t tariffLen,
                                         const std::optional<Variant>& address) {
  const std::uint8_t a = AddressByte(address);
  if (tariffLen > static_cast<std::int32_t>(kTableMaxBytes)) {
    if (!flags_.noErrorPopup) messages_.Show(std::string(text::kTableTooLarge), std::nullopt);
    return SetIntervalsResult::kTableTooLarge;
  }
  if (tariffLen < 0 || static_cast<std::size_t>(tariffLen) > tariffData.size()) {
    throw ArgumentError("tariffLen " + std::to_string(tariffLen) + " is not within the " +
                        std::to_string(tariffData.size()) + " bytes of tariffData");
  }
  const auto image = TariffImage(tariffData.first(static_cast<std::size_t>(tariffLen)));

  std::vector<std::uint8_t> data = BlockHead(kFirstBlock);
  data.insert(data.end(), image.begin(), image.begin() + kFirstBlockBytes);
  AckOutcome outcome = SendUserData(data, a, kAckPauseMs);
  if (outcome != AckOutcome::kAcknowledged) {
    CloseUnlessKept();
    return SetIntervalsResult::kBlockNotConfirmed;
  }
  if (!ConfirmBlock(a, kFirstBlock, kFirstConfirmPauseMs)) {
    const std::uint8_t status = MeterData().mfrStatus;
    LinkState().statusByte = status;
    ShowError(std::string(text::kFirstBlockNotConfirmed) + LeadingSpaceText(status));
    return SetIntervalsResult::kBlockNotConfirmed;
  }
  const int blocks =
      1 + static_cast<int>((kTableImageBytes - kFirstBlockBytes + kNextBlockBytes - 1) /
                           kNextBlockBytes);
  if (progress_) progress_(1, blocks);

  std::size_t remaining = kTableImageBytes - kFirstBlockBytes;
  for (int block = 2; remaining > 0; ++block) {
    transport_.DoEvents();
    const std::size_t count = std::min(remaining, kNextBlockBytes);
    const std::size_t first = kTableImageBytes - remaining;
    data = BlockHead(kNextBlock);
    // The host's events run after every byte placed in the block.
    for (std::size_t i = 0; i < count; ++i) {
      data.push_back(image[first + i]);
      transport_.DoEvents();
    }
    remaining -= count;
    outcome = SendUserData(data, a, kAckPauseMs);
    if (outcome != AckOutcome::kAcknowledged) {
      CloseUnlessKept();
      return SetIntervalsResult::kBlockNotConfirmed;
    }
    if (!ConfirmBlock(a, kNextBlock, kNextConfirmPauseMs)) {
      ShowError(std::string(text::kBlockNotConfirmed) + LeadingSpaceText(MeterData().mfrStatus));
      return SetIntervalsResult::kBlockNotConfirmed;
    }
    if (progress_) progress_(block, blocks);
  }
  CloseUnlessKept();
  return SetIntervalsResult::kOk;
}

// Collects the data telegrams of a table read. A data request that brings no manufacturer
// block (no reply, or a telegram without one) would leave the previous block in the store and
// moreRecords set, so it fails the read instead of collecting the same bytes again; so does a
// table that would overflow the 401-byte collection buffer. The walker tells whether a block
// came; its status byte has no say here (0xFF is a status like any other).
std::int16_t MeterCommands::CollectTable(std::uint8_t address,
                                         std::vector<std::uint8_t>& collected) {
  OrvMeterData& d = MeterData();
  d.moreRecords = true;
  while (d.moreRecords) {
    d.mfrBlockSeen = false;
    if (RequestUserData(address, kReadRequest) != LinkResult::kOk || !d.mfrBlockSeen ||
        collected.size() + static_cast<std::size_t>(d.mfrDataLen) > kCollectionSize) {
      return ReadIntervalsResult::kDataRequestFailed;
    }
    collected.insert(collected.end(), d.mfrData.begin(), d.mfrData.begin() + d.mfrDataLen);
    transport_.Pause(kReadBackPauseMs);
  }
  return ReadIntervalsResult::kOk;
}

std::int16_t MeterCommands::ReadIntervals(std::span<std::uint8_t> tariffData,
                                          std::int32_t& tariffLen,
                                          const std::optional<Variant>& address) {
  if (!InitCommunication(address.value_or(Variant(std::int32_t{kAnyMeter})))) {
    return ReadIntervalsResult::kCouldNotInit;
  }
  const std::uint8_t a = AddressByte(address);
  const std::vector<std::uint8_t> request = BlockHead(kReadRequest);
  const AckOutcome outcome = SendUserData(request, a);
  if (outcome != AckOutcome::kAcknowledged) {
    CloseUnlessKept();
    return outcome == AckOutcome::kNoReply ? ReadIntervalsResult::kNoReply
                                           : ReadIntervalsResult::kNotAcknowledged;
  }
  std::vector<std::uint8_t> collected;
  if (const std::int16_t r = CollectTable(a, collected); r != ReadIntervalsResult::kOk) {
    CloseUnlessKept();
    return r;
  }
  // The last two bytes are the image CRC; zero padding below them is not part of the table.
  std::size_t k = 0;
  for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(collected.size()) - 3; i >= 0; --i) {
    if (collected[static_cast<std::size_t>(i)] != 0x00) {
      k = static_cast<std::size_t>(i) + 1;
      break;
    }
  }
  CloseUnlessKept();
  if (k > tariffData.size()) {
    throw IndexOutOfRangeError("tariffData holds " + std::to_string(tariffData.size()) +
                               " bytes, the meter's table has " + std::to_string(k));
  }
  std::copy_n(collected.begin(), k, tariffData.begin());
  tariffLen = static_cast<std::int32_t>(k);
  return ReadIntervalsResult::kOk;
}

}  // namespace velmar
