// The security modes of the transport layer: the enciphered blocks deciphered in place with the
// meter's key, after the message authentication (mode 7) is checked.
#pragma once

#include <string>
#include <vector>

#include "crypto/aes.hpp"
#include "crypto/cmac.hpp"
#include "velmar/wmbus.hpp"
#include "wmbus/layers.hpp"

namespace velmar::wmbus {

// The libcrypto contexts a decoder keeps for every telegram.
struct CryptoContexts {
  crypto::Aes128 aes;
  crypto::AesCmac cmac;
  std::vector<std::uint8_t> macInput;  // kept, so checking a MAC allocates nothing
};

// Deciphers the enciphered blocks of `b` (security mode l.securityMode) with `key`, checking
// mode 7's message authentication code first. Returns true when the records can be read; else
// out.status and out.error say why (no key, wrong key, authentication failed, a mode not read).
// `out` learns the message counter and whether the MAC held.
bool Decipher(CryptoContexts& crypto, std::vector<std::uint8_t>& b, const Layers& l,
              const TelegramHeader& h, const MeterKey* key, WirelessTelegram& out);

// The extended link layer with encryption (CI 0x8D right after the link layer): when its
// session number says AES-CTR, deciphers in place everything after the session number with
// `key`, the counter block from manufacturer, address, communication control and session
// number, and checks the payload CRC. Returns true (also when nothing is enciphered), else
// out.status and out.error say why.
bool DecipherExtendedLinkLayer(CryptoContexts& crypto, std::vector<std::uint8_t>& b,
                               const MeterKey* key, WirelessTelegram& out);
// The counter block of the extended link layer for telegram `b`.
crypto::Block EllCounter(std::span<const std::uint8_t> b);

// Security mode 7's key derivation: the CMAC under the meter's key (`key`; nullptr: the key of
// the last CMAC `cmac` computed) of the derivation constant (0x00 the key that enciphers what
// the meter sends, 0x01 the key of its MAC), the message counter and the identification number
// (least significant byte first both), padded with 0x07.
bool DeriveKey(crypto::AesCmac& cmac, const MeterKey* key, std::uint8_t constant,
               std::uint32_t counter, std::span<const std::uint8_t, 4> ident, crypto::Key& derived);

}  // namespace velmar::wmbus
