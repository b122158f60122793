#include "wmbus/security.hpp"

#include <algorithm>

#include "velmar/results.hpp"

namespace velmar::wmbus {
namespace {

constexpr const char* kWrongKey = "decryption failed: wrong key?";

bool Fails(WirelessTelegram& out, Status status, std::string error) {
  out.status = status;
  out.error = std::move(error);
  return false;
}

// The name of a security mode EN 13757-7 defines but this decoder does not read.
std::string ModeNotRead(std::uint8_t mode) {
  static constexpr std::string_view kNames[32] = {"",
                                                  "reserved",
                                                  "DES-CBC",
                                                  "DES-CBC",
                                                  "reserved",
                                                  "AES-CBC",
                                                  "reserved",
                                                  "AES-CBC",
                                                  "AES-CTR with CMAC",
                                                  "AES-GCM",
                                                  "AES-CCM",
                                                  "reserved",
                                                  "reserved",
                                                  "TLS",
                                                  "reserved",
                                                  "manufacturer specific"};
  const std::string_view name = mode < 16 ? kNames[mode] : std::string_view("reserved");
  return "security mode " + std::to_string(mode) + " (" + std::string(name) + ") is not read here";
}
// Mode 5: the IV is the manufacturer and address of the header that carries the configuration
// word (the link layer's for a short header, the long header's own), then the access number
// eight times.
crypto::Block Mode5Iv(std::span<const std::uint8_t> b, const Layers& l, std::uint8_t access) {
  crypto::Block iv{};
  if (b[l.transport] == 0x72) {
    // The long header sends ident, manufacturer, version, medium; the IV wants M then A.
    const auto a = b.subspan(l.address, 8);
    iv[0] = a[4];
    iv[1] = a[5];
    std::copy_n(a.begin(), 4, iv.begin() + 2);
    iv[6] = a[6];
    iv[7] = a[7];
  } else {
    std::copy_n(b.begin() + 2, 8, iv.begin());
  }
  std::fill(iv.begin() + 8, iv.end(), access);
  return iv;
}

// Mode 7's MAC covers the authentication layer's control byte, message counter and (when sent)
// message length, then everything from the transport layer's CI to the end.
bool MacHolds(CryptoContexts& c, std::span<const std::uint8_t> b, const Layers& l,
              const crypto::Key& kmac) {
  const AuthenticationLayer& afl = l.afl;
  std::vector<std::uint8_t>& input = c.macInput;
  input.clear();
  input.push_back(afl.control);
  for (int i = 0; i < 4; ++i) input.push_back(static_cast<std::uint8_t>(afl.counter >> (8 * i)));
  if (afl.hasLength) {
    input.push_back(static_cast<std::uint8_t>(afl.length));
    input.push_back(static_cast<std::uint8_t>(afl.length >> 8));
  }
  input.insert(input.end(), b.begin() + static_cast<std::ptrdiff_t>(l.transport), b.end());
  crypto::Block mac{};
  return c.cmac.Compute(kmac, input, mac) &&
         std::equal(mac.begin(), mac.begin() + static_cast<std::ptrdiff_t>(afl.macLength),
                    b.begin() + static_cast<std::ptrdiff_t>(afl.macAt));
}

// CI, communication control, access number and session number precede the payload CRC.
constexpr std::size_t kEllCipherAt = 10 + 7;

}  // namespace

crypto::Block EllCounter(std::span<const std::uint8_t> b) {
  crypto::Block iv{};
  std::copy(b.begin() + 2, b.begin() + 10, iv.begin());  // M and A of the link layer
  // The communication control as the meter sent it: a repeater sets the hop bit (0x10) on its
  // way, the meter's counter never has it.
  iv[8] = static_cast<std::uint8_t>(b[11] & ~0x10);
  std::copy(b.begin() + 13, b.begin() + 17, iv.begin() + 9);  // session number
  // The frame number (2 bytes) and the block counter start at 0.
  return iv;
}

bool DecipherExtendedLinkLayer(CryptoContexts& crypto, std::vector<std::uint8_t>& b,
                               const MeterKey* key, WirelessTelegram& out) {
  if (b.size() < kEllCipherAt + 2) {
    return Fails(out, Status::kDamagedFrame, "the telegram ends inside its extended link layer");
  }
  // The session number's top three bits say how the rest is enciphered: 0 not, 1 AES-CTR.
  const int encryption = b[16] >> 5;
  if (encryption > 1) {
    return Fails(out, Status::kModeNotSupported,
                 "the extended link layer names an encryption not read here");
  }
  if (encryption == 1) {
    if (key == nullptr) {
      return Fails(out, Status::kNoKey,
                   "encrypted (extended link layer, AES-CTR), no key for this meter");
    }
    crypto.aes.Ctr(*key, EllCounter(b), std::span(b).subspan(kEllCipherAt));
  }
  // The payload CRC covers the CI that follows and everything after it, sent low byte first.
  const auto payload = std::span<const std::uint8_t>(b).subspan(kEllCipherAt + 2);
  const std::uint16_t crc = WirelessCrc(payload);
  if (b[kEllCipherAt] != (crc & 0xFF) || b[kEllCipherAt + 1] != (crc >> 8)) {
    return encryption == 1 ? Fails(out, Status::kWrongKey, kWrongKey)
                           : Fails(out, Status::kDamagedFrame,
                                   "the extended link layer's payload fails its CRC");
  }
  return true;
}

bool DeriveKey(crypto::AesCmac& cmac, const MeterKey* key, std::uint8_t constant,
               std::uint32_t counter, std::span<const std::uint8_t, 4> ident,
               crypto::Key& derived) {
  std::array<std::uint8_t, 16> input{};
  input[0] = constant;
  for (int i = 0; i < 4; ++i) {
    input[static_cast<std::size_t>(1 + i)] = static_cast<std::uint8_t>(counter >> (8 * i));
  }
  std::copy(ident.begin(), ident.end(), input.begin() + 5);
  std::fill(input.begin() + 9, input.end(), 0x07);
  return key != nullptr ? cmac.ComputeKept(*key, input, derived)
                        : cmac.ComputeAgain(input, derived);
}

bool Decipher(CryptoContexts& crypto, std::vector<std::uint8_t>& b, const Layers& l,
              const TelegramHeader& h, const MeterKey* key, WirelessTelegram& out) {
  const std::uint8_t mode = l.securityMode;
  if (mode != 5 && mode != 7) return Fails(out, Status::kModeNotSupported, ModeNotRead(mode));
  if (key == nullptr) return Fails(out, Status::kNoKey, EncryptedText(mode));
  const std::size_t length = 16u * ((h.signature >> 4) & 0x0F);
  if (b.size() - l.records < length) {
    return Fails(out, Status::kDamagedFrame, "the telegram ends inside its enciphered blocks");
  }
  const auto data = std::span(b).subspan(l.records, length);
  crypto::Block iv{};
  crypto::Key k = *key;
  if (mode == 5) {
    iv = Mode5Iv(b, l, h.accessNumber);
  } else {
    if (!l.afl.hasCounter) {
      return Fails(out, Status::kDamagedFrame, "security mode 7 without a message counter");
    }
    out.messageCounter = l.afl.counter;
    const auto ident = std::span(b).subspan(l.address).first<4>();
    // Both keys are derived under the meter's key, its schedule made once.
    crypto::Key kmac{};
    if (!DeriveKey(crypto.cmac, key, 0x00, l.afl.counter, ident, k) ||
        (l.afl.macLength != 0 &&
         !DeriveKey(crypto.cmac, nullptr, 0x01, l.afl.counter, ident, kmac))) {
      return Fails(out, Status::kWrongKey, kWrongKey);
    }
    if (l.afl.macLength != 0) {
      if (!MacHolds(crypto, b, l, kmac)) {
        return Fails(out, Status::kAuthenticationFailed,
                     "authentication failed: the message authentication code does not hold "
                     "(a wrong key, or a changed message)");
      }
      out.authenticated = true;
    }
  }
  if (!crypto.aes.Decrypt(k, iv, data) || data[0] != 0x2F || data[1] != 0x2F) {
    return Fails(out, Status::kWrongKey, kWrongKey);
  }
  return true;
}

}  // namespace velmar::wmbus
