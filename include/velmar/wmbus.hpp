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
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "velmar/records.hpp"
#include "velmar/status.hpp"

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

// What a receiver delivers. A frame of L + 1 bytes can be format B or a frame whose CRCs the
// receiver removed, and only the receiver knows which: taken as the wrong one, a damaged format
// B frame would be read as a good one.
enum class FrameCrcs : std::uint8_t {
  kPresent,  // as on the air: format A or B, every block CRC must hold
  kRemoved,  // the receiver checked the CRCs and removed them (the sticks, software radios)
};

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
  std::vector<std::uint8_t> bytes;  // from L on, CRCs removed (a compact frame: as sent)
  WirelessLink link;
  // The meter's header: identity from the long transport header where there is one, else from
  // the link layer; access number, status and configuration word from the transport header.
  DecodedTelegram decoded;
  // Security mode 7 only: the message counter of the authentication layer, and whether the
  // message authentication code was there and held.
  std::uint32_t messageCounter = 0;
  bool authenticated = false;
  // Whether it was read, and if not, why in one word; `error` gives the reason in full
  // ("" when it was read): a damaged block, a length that does not fit, an unknown CI,
  // enciphered data without a key or with a wrong one.
  Status status = Status::kOk;
  std::string error;
  // The signature of the records' format (the CRC over each record's DIF to VIFE bytes, as
  // EN 13757-3 defines it for compact frames): named by a compact frame, or worked out from a
  // full frame whose records a compact frame could carry (`formatKnown` then true). A compact
  // frame's records refer to `expanded`, the values with their DIFs and VIFs put back.
  std::uint16_t formatSignature = 0;
  bool formatKnown = false;
  bool compact = false;
  std::vector<std::uint8_t> expanded;
  // This telegram taught its decoder a compact frame format it did not know.
  bool learnedFormat = false;

  // A number that two telegrams of one meter share only when their records stand in the same
  // places with the same DIFs and VIFs (but for a CRC's one chance in 65,536), for a reader that
  // remembers where it found a meter's values; 0 when the format is not known. Constant time.
  std::uint32_t Layout() const { return formatKnown ? 0x10000u | formatSignature : 0; }
};

// The meter's AES-128 key as it is written: the first byte first.
using MeterKey = std::array<std::uint8_t, 16>;

// The keys of the meters a receiver hears, by identification number (its eight digits as the
// meter shows them).
class MeterKeys {
 public:
  // Gives `ident` (eight characters) the key; false, and nothing changed, when it has one or
  // `ident` is not eight characters long.
  bool Add(std::string_view ident, const MeterKey& key);
  // The key of `ident`, or nullptr. Time logarithmic in the number of keys.
  const MeterKey* Find(std::string_view ident) const;
  std::size_t Size() const { return keys_.size(); }

 private:
  // An identification number's eight characters as one number, in the order of the text.
  static std::uint64_t Packed(std::string_view ident);
  std::vector<std::pair<std::uint64_t, MeterKey>> keys_;  // sorted by identification number
};

// The record formats meters have shown in their full frames, for reading their compact frames
// (CI 0x79: the values alone, under the signature of the format they follow). A meter is known
// by the manufacturer and address of its link layer.
class CompactFormats {
 public:
  using Meter = std::array<std::uint8_t, 8>;  // M (2 bytes) and A (6 bytes) as sent
  struct Format {
    Meter meter{};
    std::uint16_t signature = 0;       // the CRC of `difvif`, as compact frames name it
    std::vector<std::uint8_t> difvif;  // each record's DIF, DIFEs, VIF and VIFEs in turn
  };

  // Keeps `difvif` as a format of `meter`; returns true when it was not known. When kLimit
  // formats are kept already, the oldest learned is forgotten. Time constant on average (a
  // receiver hears every meter's full frames again and again); a meter that changed its format
  // under the same signature costs time linear in the formats kept.
  bool Learn(const Meter& meter, std::span<const std::uint8_t> difvif);
  // The same with the signature worked out already (it must be WirelessCrc(difvif)).
  bool Learn(const Meter& meter, std::span<const std::uint8_t> difvif, std::uint16_t signature);
  // The format `meter` sends under `signature`, or nullptr; valid until the next Learn. Time
  // constant on average.
  const Format* Find(const Meter& meter, std::uint16_t signature) const;
  // A copy of every format kept, oldest first (to save them; Learn each again to load them).
  // Time linear in the formats kept.
  std::vector<Format> All() const;
  // The format learned last (to save it when Learn says it is new), or nullptr. Constant time.
  const Format* Newest() const;
  std::size_t Size() const { return formats_.size(); }
  static constexpr std::size_t kLimit = 4096;

 private:
  struct Key {
    std::uint64_t meter = 0;  // M and A as one number
    std::uint16_t signature = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const {
      return static_cast<std::size_t>(k.meter * 0x9E3779B97F4A7C15ull) ^ k.signature;
    }
  };
  static Key KeyOf(const Meter& meter, std::uint16_t signature);

  std::unordered_map<Key, Format, KeyHash> formats_;
  std::deque<Key> order_;  // oldest learned first
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
  WirelessDecoder(WirelessDecoder&&) noexcept;
  WirelessDecoder& operator=(WirelessDecoder&&) noexcept;

  // Opens `raw` (starting at the L field, its CRCs as `crcs` says) and decodes it into `out`,
  // deciphering with the key of the meter the transport header names. Returns out.error: ""
  // on success, else out.status says what kind of failure: a frame whose CRCs fail or that is
  // shorter or longer than its L field says (damaged frame), enciphered data without a key
  // ("encrypted (mode 5), no key for this meter"), a key that does not open it ("decryption
  // failed: wrong key?"), a MAC that does not hold (authentication failed), a mode not read,
  // a compact frame whose format no full frame has shown, records that do not hold together;
  // no records then. A full frame whose records hold teaches the decoder their format for the
  // meter's compact frames. Never reads outside `raw`; time in proportion to its length;
  // allocates only when `out` has not held a telegram this long before or a format is learned.
  const std::string& Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                            FrameCrcs crcs = FrameCrcs::kPresent);
  // The same with `key` for whatever meter sent it (nullptr: none).
  const std::string& Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                            const MeterKey* key, FrameCrcs crcs = FrameCrcs::kPresent);
  const MeterKeys& Keys() const { return keys_; }
  // The compact frame formats learned so far (and loaded by the host).
  CompactFormats& Formats() { return formats_; }

 private:
  std::unique_ptr<wmbus::CryptoContexts> crypto_;
  MeterKeys keys_;
  CompactFormats formats_;
  std::vector<std::uint8_t> difvif_;  // kept, so learning a known format allocates nothing
};

// One telegram with a decoder of its own and `key` (see WirelessDecoder::Decode).
const std::string& DecodeWirelessTelegram(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                          const MeterKey* key = nullptr,
                                          FrameCrcs crcs = FrameCrcs::kPresent);

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
