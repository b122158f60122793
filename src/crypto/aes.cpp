#include "crypto/aes.hpp"

#include <openssl/evp.h>

namespace velmar::crypto {

Aes128::Aes128() : ctx_(EVP_CIPHER_CTX_new()) {}

Aes128::~Aes128() {
  EVP_CIPHER_CTX_free(ctx_);
}

bool Aes128::Decrypt(const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  return data.size() % 16 == 0 && Run(EVP_aes_128_cbc(), false, key, iv, data);
}

bool Aes128::Encrypt(const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  return data.size() % 16 == 0 && Run(EVP_aes_128_cbc(), true, key, iv, data);
}

bool Aes128::Ctr(const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  return Run(EVP_aes_128_ctr(), true, key, iv, data);
}

bool Aes128::Run(const void* cipher, bool encrypt, const Key& key, const Block& iv,
                 std::span<std::uint8_t> data) {
  if (ctx_ == nullptr) return false;
  // Setting up the mode costs more than a short telegram's blocks: after the first telegram only
  // the key and the IV change.
  if (cipher != cipher_ || encrypt != encrypt_) {
    if (EVP_CipherInit_ex(ctx_, static_cast<const EVP_CIPHER*>(cipher), nullptr, nullptr, nullptr,
                          encrypt ? 1 : 0) != 1) {
      cipher_ = nullptr;
      return false;
    }
    EVP_CIPHER_CTX_set_padding(ctx_, 0);
    cipher_ = cipher;
    encrypt_ = encrypt;
  }
  if (EVP_CipherInit_ex(ctx_, nullptr, nullptr, key.data(), iv.data(), -1) != 1) return false;
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
