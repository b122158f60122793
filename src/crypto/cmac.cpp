#include "crypto/cmac.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace velmar::crypto {

AesCmac::AesCmac()
    : mac_(EVP_MAC_fetch(nullptr, "CMAC", nullptr)),
      ctx_(mac_ != nullptr ? EVP_MAC_CTX_new(mac_) : nullptr) {}

AesCmac::~AesCmac() {
  EVP_MAC_CTX_free(ctx_);
  EVP_MAC_free(mac_);
}

bool AesCmac::Compute(const Key& key, std::span<const std::uint8_t> data, Block& mac) {
  if (ctx_ == nullptr) return false;
  char cipher[] = "AES-128-CBC";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                               OSSL_PARAM_END};
  std::size_t written = 0;
  return EVP_MAC_init(ctx_, key.data(), key.size(), params) == 1 &&
         EVP_MAC_update(ctx_, data.data(), data.size()) == 1 &&
         EVP_MAC_final(ctx_, mac.data(), &written, mac.size()) == 1 && written == mac.size();
}

}  // namespace velmar::crypto
