// Wireless M-Bus (EN 13757-4) telegrams as radio receivers deliver them: the frame opened (its
// block CRCs checked and removed in frame format A or B, or none when the receiver removed them
// already), the link layer read (C field, manufacturer, identification number, version, device
// type), then the layers above it (extended link layer CI 0x8C, authentication and fragmentation
// layer CI 0x90, transport layer CI 0x7A short header, 0x72 long header, 0x78 none) and the data
// records with the standard record decoder. Enciphered data is never read as records: it is
// deciphered with the meter's key (security modes 5 and 7) or reported as such.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmar/records.hpp"

namespace velmar {

namespace wmbus {
struct CryptoContexts;
}

enum class FrameFormat : std::uint8_t {
  kA,           // a CRC after every block; L counts the bytes after it without the CRCs
  kB,           // a CRC after block 2 (and 3); L counts the bytes after it with the CRCs
  kWithoutCrc,  // the receiver checked and removed the CRCs; L counts the bytes after it
};

// "A", "B", "without CRCs".
std::string_view FrameFormatName(FrameFormat format);

// The block check of EN 13757-4: CRC-16, polynomial 0x3D65, initial 0, final complement.
std::uint16_t WirelessCrc(std::span<const std::uint8_t> bytes);

// The link layer of a wireless telegram.
struct WirelessLink {
  std::uint8_t c = 0;  // 0x44 SND_NR, 0x46 SND_IR, 0x08 RSP_UD, ...
  std::uint16_t manufacturerCode = 0;
  std::array<char, 4> manufacturer{};
  std::array<char, 9> ident{};  // the identification number's eight digits
  std::uint32_t identNumber = 0;
  std::uint8_t version = 0;
  std::uint8_t deviceType = 0;  // the medium code of the wired header
};

// A wireless telegram opened and decoded. It owns its bytes; the records refer into them, so it
// is not copied.
struct WirelessTelegram {
  WirelessTelegram() = default;
  WirelessTelegram(const WirelessTelegram&) = delete;
  WirelessTelegram& operator=(const WirelessTelegram&) = delete;

  FrameFormat format = FrameFormat::kWithoutCrc;
  std::vector<std::uint8_t> bytes;  // from L on, CRCs removed
  WirelessLink link;
  // The meter's header: identity from the long transport header where there is one, else from
  // the link layer; access number, status and configuration word from the transport header.
  DecodedTelegram decoded;
  // Security mode 7 only: the message counter of the authentication layer, and whether the
  // message authentication code was there and held.
  std::uint32_t messageCounter = 0;
  bool authenticated = false;
  // Why the telegram could not be read to its records ("" when it was): a damaged block, a
  // length that does not fit, an unknown CI, enciphered data without a key or with a wrong one.
  std::string error;
};

// The meter's AES-128 key as it is written: the first byte first.
using MeterKey = std::array<std::uint8_t, 16>;

// The keys of the meters a receiver hears, by identification number (its eight digits as the
// meter shows them).
class MeterKeys {
 public:
  // Gives `ident` (eight characters) the key; false, and nothing changed, when it has one.
  bool Add(std::string_view ident, const MeterKey& key);
  // The key of `ident`, or nullptr. Time logarithmic in the number of keys.
  const MeterKey* Find(std::string_view ident) const;
  std::size_t Size() const { return keys_.size(); }

 private:
  std::vector<std::pair<std::string, MeterKey>> keys_;  // sorted by identification number
};

// Decodes wireless telegrams one after another with one set of libcrypto contexts (making them
// costs more than deciphering a telegram). Not for two threads at once.
class WirelessDecoder {
 public:
  WirelessDecoder();
  explicit WirelessDecoder(MeterKeys keys);
  ~WirelessDecoder();
  WirelessDecoder(const WirelessDecoder&) = delete;
  WirelessDecoder& operator=(const WirelessDecoder&) = delete;

  // Opens `raw` (starting at the L field) and decodes it into `out`, deciphering with the key
  // of the meter the transport header names. Returns out.error: "" on success. A frame whose
  // CRCs fail, that is shorter or longer than its L field says, enciphered data without a key
  // ("encrypted (mode 5), no key for this meter"), a key that does not open it or a message
  // authentication code that does not hold ("decryption failed: wrong key?"), or a mode not
  // read give the reason and no records. Never reads outside `raw`; time in proportion to its
  // length; allocates only when `out` has not held a telegram this long before.
  const std::string& Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out);
  // The same with `key` for whatever meter sent it (nullptr: none).
  const std::string& Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                            const MeterKey* key);
  const MeterKeys& Keys() const { return keys_; }

 private:
  std::unique_ptr<wmbus::CryptoContexts> crypto_;
  MeterKeys keys_;
};

// One telegram with a decoder of its own and `key` (see WirelessDecoder::Decode).
const std::string& DecodeWirelessTelegram(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                          const MeterKey* key = nullptr);

}  // namespace velmar

namespace velmar {

// What a meter sends, for simulated meters and tests: the link layer's identity, a short
// transport header, the records, and how they are protected.
struct WirelessMessage {
  std::uint16_t manufacturerCode = 0;
  std::uint32_t ident = 0;  // the identification number, 0 to 99999999 (sent as eight BCD digits)
  std::uint8_t version = 0;
  std::uint8_t deviceType = 0;
  std::uint8_t accessNumber = 0;
  std::uint8_t status = 0;
  std::uint8_t securityMode = 0;  // 0 plain, 5 or 7 (with the message counter and an 8-byte MAC)
  std::uint32_t counter = 0;      // mode 7's message counter
  std::vector<std::uint8_t> records;
};

// The telegram from its L field, without CRCs; enciphered with `key` for modes 5 and 7 (the
// records after 2F 2F, filled up with 2F to whole blocks). Throws std::invalid_argument for a
// mode other than 0, 5, 7, a mode without a key, an identification number over eight digits,
// or records that do not fit one telegram.
std::vector<std::uint8_t> BuildWirelessTelegram(const WirelessMessage& message,
                                                const MeterKey* key);

// `telegram` (from L, without CRCs) in frame format A, as it goes on the air: a CRC after the
// first ten bytes and after every sixteen that follow.
std::vector<std::uint8_t> WithFormatACrcs(std::span<const std::uint8_t> telegram);

}  // namespace velmar
