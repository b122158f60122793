// AES-CMAC (NIST SP 800-38B) from OpenSSL's libcrypto, for the key derivation and message
// authentication of security mode 7.
#pragma once

#include <span>

#include "crypto/aes.hpp"

struct evp_mac_st;
struct evp_mac_ctx_st;

namespace velmar::crypto {

// Computes AES-128 CMACs; the algorithm is looked up once, by the constructor (looking it up
// costs more than the MAC of a short telegram).
class AesCmac {
 public:
  AesCmac();
  ~AesCmac();
  AesCmac(const AesCmac&) = delete;
  AesCmac& operator=(const AesCmac&) = delete;

  // The CMAC of `data` under `key` into `mac`. False when libcrypto refuses (it does not for a
  // valid key). Time in proportion to the data's length.
  bool Compute(const Key& key, std::span<const std::uint8_t> data, Block& mac);

 private:
  evp_mac_st* mac_;
  evp_mac_ctx_st* ctx_;
};

}  // namespace velmar::crypto
