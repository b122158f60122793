// AES-CMAC (NIST SP 800-38B) from OpenSSL's libcrypto, for the key derivation and message
// authentication of security mode 7.
#pragma once

#include <cstring>
#include <span>
#include <unordered_map>

#include "crypto/aes.hpp"

struct evp_mac_st;
struct evp_mac_ctx_st;

namespace velmar::crypto {

// Computes AES-128 CMACs; the algorithm and its cipher are looked up once, by the constructor
// (looking them up costs more than the MAC of a short telegram), so a MAC costs the key schedule
// and the blocks.
class AesCmac {
 public:
  AesCmac();
  ~AesCmac();
  AesCmac(const AesCmac&) = delete;
  AesCmac& operator=(const AesCmac&) = delete;

  // The CMAC of `data` under `key` into `mac`. False when libcrypto refuses (it does not for a
  // valid key). Time in proportion to the data's length.
  bool Compute(const Key& key, std::span<const std::uint8_t> data, Block& mac);
  // The same under a key used again and again (a meter's own key, under which every message it
  // sends derives its keys): libcrypto's setup for the key is kept, so from the second time
  // the MAC costs its blocks alone. Up to kKeptKeys keys are kept; past that it costs as
  // Compute does.
  bool ComputeKept(const Key& key, std::span<const std::uint8_t> data, Block& mac);
  // The same under the key of the last Compute or ComputeKept. False without one.
  bool ComputeAgain(std::span<const std::uint8_t> data, Block& mac);

  static constexpr std::size_t kKeptKeys = 4096;

 private:
  struct KeyHash {
    std::size_t operator()(const Key& key) const {
      std::size_t h = 0;
      std::memcpy(&h, key.data(), sizeof h);
      return h;
    }
  };
  bool Run(evp_mac_ctx_st* ctx, const Key* key, std::span<const std::uint8_t> data, Block& mac);

  evp_mac_st* mac_;
  evp_mac_ctx_st* ctx_;
  evp_mac_ctx_st* last_ = nullptr;  // the context of the last MAC, keyed
  std::unordered_map<Key, evp_mac_ctx_st*, KeyHash> kept_;
};

}  // namespace velmar::crypto
