// Telegrams as meters send them, for simulated meters and tests: the reverse of the decoder,
// with the same key derivation, IV and MAC.
#include <algorithm>
#include <stdexcept>

#include "crypto/aes.hpp"
#include "crypto/cmac.hpp"
#include "velmar/wmbus.hpp"
#include "wmbus/security.hpp"

namespace velmar {
namespace {

void PutLe(std::vector<std::uint8_t>& b, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// 2F 2F, the records, then 2F up to whole blocks.
std::vector<std::uint8_t> PlainBlocks(const std::vector<std::uint8_t>& records) {
  std::vector<std::uint8_t> p = {0x2F, 0x2F};
  p.insert(p.end(), records.begin(), records.end());
  while (p.size() % 16 != 0) p.push_back(0x2F);
  return p;
}

// Eight decimal digits as BCD, lowest pair first in the telegram.
std::uint32_t Bcd(std::uint32_t n) {
  if (n > 99999999) throw std::invalid_argument("an identification number has eight digits");
  std::uint32_t bcd = 0;
  for (int shift = 0; shift < 32; shift += 4, n /= 10) bcd |= (n % 10) << shift;
  return bcd;
}

// L (filled in last), C = SND_NR, manufacturer, identification number, version, device type.
std::vector<std::uint8_t> LinkLayer(const WirelessMessage& m) {
  std::vector<std::uint8_t> b;
  b.reserve(300);
  b.push_back(0);
  b.push_back(0x44);
  PutLe(b, m.manufacturerCode, 2);
  PutLe(b, Bcd(m.ident), 4);
  b.push_back(m.version);
  b.push_back(m.deviceType);
  return b;
}

// The short transport header and the records, enciphered with `k` under `iv` when the mode
// says so.
std::vector<std::uint8_t> TransportLayer(const WirelessMessage& m, wmbus::CryptoContexts& crypto,
                                         const crypto::Key& k, const crypto::Block& iv) {
  const std::uint8_t mode = m.securityMode;
  std::vector<std::uint8_t> data = mode == 0 ? m.records : PlainBlocks(m.records);
  const std::size_t blocks = data.size() / 16;
  if (mode != 0 && blocks > 15) throw std::invalid_argument("at most 15 enciphered blocks");
  const auto config = static_cast<std::uint16_t>(mode == 0 ? 0 : (mode << 8) | (blocks << 4));
  std::vector<std::uint8_t> tpl;
  tpl.reserve(300);
  tpl.push_back(0x7A);
  tpl.push_back(m.accessNumber);
  tpl.push_back(m.status);
  PutLe(tpl, config, 2);
  if (mode == 7) tpl.push_back(0x10);  // configuration extension: key derivation A
  if (mode != 0) crypto.aes.Encrypt(k, iv, data);
  tpl.insert(tpl.end(), data.begin(), data.end());
  return tpl;
}

// The authentication layer of mode 7: its control word says MCL, counter and MAC follow; MCL
// 0x25 is a CMAC cut to 8 bytes over MCL, counter and the transport layer.
void AuthenticationLayer(const WirelessMessage& m, wmbus::CryptoContexts& crypto,
                         const crypto::Key& kmac, const std::vector<std::uint8_t>& tpl,
                         std::vector<std::uint8_t>& b) {
  std::vector<std::uint8_t> input = {0x25};
  PutLe(input, m.counter, 4);
  input.insert(input.end(), tpl.begin(), tpl.end());
  crypto::Block mac{};
  crypto.cmac.Compute(kmac, input, mac);
  for (std::uint8_t x : {0x90, 0x0F, 0x00, 0x2C, 0x25}) b.push_back(x);
  PutLe(b, m.counter, 4);
  b.insert(b.end(), mac.begin(), mac.begin() + 8);
}

}  // namespace

std::vector<std::uint8_t> BuildWirelessTelegram(const WirelessMessage& m, const MeterKey* key) {
  const std::uint8_t mode = m.securityMode;
  if (mode != 0 && mode != 5 && mode != 7) throw std::invalid_argument("security mode 0, 5 or 7");
  if (mode != 0 && key == nullptr)
    throw std::invalid_argument("an enciphered telegram needs a key");
  std::vector<std::uint8_t> b = LinkLayer(m);
  wmbus::CryptoContexts crypto;
  crypto::Block iv{};
  crypto::Key k = key != nullptr ? *key : crypto::Key{};
  crypto::Key kmac{};
  const auto ident = std::span<const std::uint8_t>(b).subspan(4).first<4>();
  if (mode == 5) {
    std::copy(b.begin() + 2, b.begin() + 10, iv.begin());
    std::fill(iv.begin() + 8, iv.end(), m.accessNumber);
  } else if (mode == 7) {
    wmbus::DeriveKey(crypto.cmac, key, 0x00, m.counter, ident, k);
    wmbus::DeriveKey(crypto.cmac, key, 0x01, m.counter, ident, kmac);
  }
  const std::vector<std::uint8_t> tpl = TransportLayer(m, crypto, k, iv);
  if (mode == 7) AuthenticationLayer(m, crypto, kmac, tpl, b);
  b.insert(b.end(), tpl.begin(), tpl.end());
  if (b.size() - 1 > 255) throw std::invalid_argument("the records do not fit one telegram");
  b[0] = static_cast<std::uint8_t>(b.size() - 1);
  return b;
}

std::vector<std::uint8_t> WithFormatACrcs(std::span<const std::uint8_t> t) {
  std::vector<std::uint8_t> a;
  auto put = [&](std::span<const std::uint8_t> block) {
    a.insert(a.end(), block.begin(), block.end());
    const std::uint16_t crc = WirelessCrc(block);
    a.push_back(static_cast<std::uint8_t>(crc >> 8));
    a.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  };
  put(t.first(std::min<std::size_t>(10, t.size())));
  for (std::size_t at = 10; at < t.size(); at += 16) {
    put(t.subspan(at, std::min<std::size_t>(16, t.size() - at)));
  }
  return a;
}

}  // namespace velmar
