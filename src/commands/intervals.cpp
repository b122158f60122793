#include <algorithm>
#include <array>

#include "commands/meter_commands.hpp"
#include "decode/meter_data.hpp"
#include "link/link_state.hpp"

namespace velmar {
namespace {

constexpr std::int32_t kMaxTableLength = 302;
constexpr std::size_t kImageSize = 304;  // table, terminator, 0xFF padding, CRC
constexpr std::size_t kFirstBlockBytes = 197;
constexpr std::size_t kBlockBytes = 196;
constexpr std::size_t kCollectionSize = 401;
constexpr std::uint8_t kFirstBlock = 0x1B;
constexpr std::uint8_t kNextBlock = 0x1C;
constexpr std::uint8_t kReadRequest = 0x1D;
constexpr std::uint8_t kNoBlockReceived = 255;

std::array<std::uint8_t, kImageSize> BuildImage(std::span<const std::uint8_t> table,
                                                std::int32_t length) {
  std::array<std::uint8_t, kImageSize> image{};
  std::fill(image.begin(), image.end(), 0xFF);
  std::copy_n(table.begin(), length, image.begin());
  if (length < kMaxTableLength) image[static_cast<std::size_t>(length)] = 0x00;
  const std::uint16_t crc = Crc16(image, kMaxTableLength, 0);
  image[302] = static_cast<std::uint8_t>(crc & 0xFF);
  image[303] = static_cast<std::uint8_t>(crc >> 8);
  return image;
}

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> data, std::int16_t count, std::int32_t start) {
  std::uint32_t c = static_cast<std::uint32_t>(start);
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::int16_t>(count, 0)),
                                       data.size());
  for (std::size_t i = 0; i < n; ++i) {
    c ^= static_cast<std::uint32_t>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x8000) ? ((c & 0x7FFF) << 1) ^ 0x1021 : (c & 0x7FFF) << 1;
    }
  }
  return static_cast<std::uint16_t>(~c & 0xFFFF);
}

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
  if (tariffLen > kMaxTableLength) {
    if (!state_.noErrorPopup) {
      messages_.Show("SetIntervals. Size of tariff data grater than maximum size!", std::nullopt);
    }
    return -4;
  }
  if (tariffLen < 0 || static_cast<std::size_t>(tariffLen) > tariffData.size()) {
    throw ArgumentError("tariffLen " + std::to_string(tariffLen) + " is not within the " +
                        std::to_string(tariffData.size()) + " bytes of tariffData");
  }
  const auto image = BuildImage(tariffData, tariffLen);

  std::vector<std::uint8_t> data = {0x0F, 0x80, kFirstBlock};
  data.insert(data.end(), image.begin(), image.begin() + kFirstBlockBytes);
  AckOutcome outcome = SendUserData(data, a, 100);
  if (outcome != AckOutcome::kAcknowledged) {
    CloseUnlessKept();
    return -5;
  }
  if (!ConfirmBlock(a, kFirstBlock, 100)) {
    const std::uint8_t status = MeterData().mfrStatus;
    LinkState().statusByte = status;
    ShowError("No confirmation on written block (Wrong password/meter closed?): " +
              LeadingSpaceText(status));
    return -5;
  }
  const int blocks =
      1 + static_cast<int>((kImageSize - kFirstBlockBytes + kBlockBytes - 1) / kBlockBytes);
  if (progress_) progress_(1, blocks);

  std::size_t remaining = kImageSize - kFirstBlockBytes;
  for (int block = 2; remaining > 0; ++block) {
    transport_.DoEvents();
    const std::size_t count = std::min(remaining, kBlockBytes);
    const std::size_t first = kImageSize - remaining;
    data = {0x0F, 0x80, kNextBlock};
    for (std::size_t i = 0; i < count; ++i) {
      data.push_back(image[first + i]);
      transport_.DoEvents();
    }
    remaining -= count;
    outcome = SendUserData(data, a, 100);
    if (outcome != AckOutcome::kAcknowledged) {
      CloseUnlessKept();
      return -5;
    }
    if (!ConfirmBlock(a, kNextBlock, 150)) {
      ShowError("No confirmation on written tariff block: " +
                LeadingSpaceText(MeterData().mfrStatus));
      return -5;
    }
    if (progress_) progress_(block, blocks);
  }
  CloseUnlessKept();
  return 0;
}

// Collects the data telegrams of a table read. A data request that brings no manufacturer
// block (no reply, or a telegram without one) would leave the previous block in the store and
// moreRecords set, so it fails the read instead of collecting the same bytes again; so does a
// table that would overflow the 401-byte collection buffer.
std::int16_t MeterCommands::CollectTable(std::uint8_t address,
                                         std::vector<std::uint8_t>& collected) {
  OrvMeterData& d = MeterData();
  d.moreRecords = true;
  while (d.moreRecords) {
    d.mfrStatus = kNoBlockReceived;
    if (RequestUserData(address, kReadRequest) != 0) return -4;
    if (d.mfrStatus == kNoBlockReceived) return -4;
    if (collected.size() + static_cast<std::size_t>(d.mfrDataLen) > kCollectionSize) return -4;
    collected.insert(collected.end(), d.mfrData.begin(), d.mfrData.begin() + d.mfrDataLen);
    transport_.Pause(100);
  }
  return 0;
}

std::int16_t MeterCommands::ReadIntervals(std::span<std::uint8_t> tariffData,
                                          std::int32_t& tariffLen,
                                          const std::optional<Variant>& address) {
  if (!InitCommunication(address.value_or(Variant(std::int32_t{kBroadcastWithReply})))) return -1;
  const std::uint8_t a = AddressByte(address);
  const std::uint8_t request[] = {0x0F, 0x80, kReadRequest};
  const AckOutcome outcome = SendUserData(request, a);
  if (outcome != AckOutcome::kAcknowledged) {
    CloseUnlessKept();
    return outcome == AckOutcome::kNoReply ? -2 : -3;
  }
  std::vector<std::uint8_t> collected;
  if (CollectTable(a, collected) != 0) {
    CloseUnlessKept();
    return -4;
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
  return 0;
}

}  // namespace velmar
