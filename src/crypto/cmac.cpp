#include "crypto/cmac.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace velmar::crypto {

AesCmac::AesCmac()
    : mac_(EVP_MAC_fetch(nullptr, "CMAC", nullptr)),
      ctx_(mac_ != nullptr ? EVP_MAC_CTX_new(mac_) : nullptr) {
  char cipher[] = "AES-128-CBC";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                               OSSL_PARAM_END};
  if (ctx_ != nullptr && EVP_MAC_CTX_set_params(ctx_, params) != 1) {
    EVP_MAC_CTX_free(ctx_);
    ctx_ = nullptr;
  }
}

AesCmac::~AesCmac() {
  for (auto& [key, ctx] : kept_) EVP_MAC_CTX_free(ctx);
  EVP_MAC_CTX_free(ctx_);
  EVP_MAC_free(mac_);
}

bool AesCmac::Compute(const Key& key, std::span<const std::uint8_t> data, Block& mac) {
  return Run(ctx_, &key, data, mac);
}

bool AesCmac::ComputeKept(const Key& key, std::span<const std::uint8_t> data, Block& mac) {
  if (const auto at = kept_.find(key); at != kept_.end())
    return Run(at->second, nullptr, data, mac);
  if (ctx_ == nullptr || kept_.size() >= kKeptKeys) return Compute(key, data, mac);
  evp_mac_ctx_st* ctx = EVP_MAC_CTX_dup(ctx_);
  if (ctx == nullptr) return Compute(key, data, mac);
  kept_.emplace(key, ctx);
  return Run(ctx, &key, data, mac);
}

bool AesCmac::ComputeAgain(std::span<const std::uint8_t> data, Block& mac) {
  return last_ != nullptr && Run(last_, nullptr, data, mac);
}

bool AesCmac::Run(evp_mac_ctx_st* ctx, const Key* key, std::span<const std::uint8_t> data,
                  Block& mac) {
  last_ = nullptr;
  if (ctx == nullptr) return false;
  std::size_t written = 0;
  // Without a key libcrypto starts a new MAC under the key the context holds.
  if (EVP_MAC_init(ctx, key != nullptr ? key->data() : nullptr, key != nullptr ? key->size() : 0,
                   nullptr) != 1) {
    return false;
  }
  last_ = ctx;
  return EVP_MAC_update(ctx, data.data(), data.size()) == 1 &&
         EVP_MAC_final(ctx, mac.data(), &written, mac.size()) == 1 && written == mac.size();
}

}  // namespace velmar::crypto
