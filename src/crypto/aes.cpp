#include "crypto/aes.hpp"

#include <openssl/evp.h>

namespace velmar::crypto {

AesCbc::AesCbc() : ctx_(EVP_CIPHER_CTX_new()) {}

AesCbc::~AesCbc() {
  EVP_CIPHER_CTX_free(ctx_);
}

bool AesCbc::Decrypt(const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  return Run(false, key, iv, data);
}

bool AesCbc::Encrypt(const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  return Run(true, key, iv, data);
}

bool AesCbc::Run(bool encrypt, const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  if (ctx_ == nullptr || data.size() % 16 != 0) return false;
  if (EVP_CipherInit_ex(ctx_, EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) !=
      1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx_, 0);
  int written = 0;
  if (EVP_CipherUpdate(ctx_, data.data(), &written, data.data(), static_cast<int>(data.size())) !=
      1) {
    return false;
  }
  int last = 0;
  return EVP_CipherFinal_ex(ctx_, data.data() + written, &last) == 1 &&
         static_cast<std::size_t>(written + last) == data.size();
}

}  // namespace velmar::crypto
