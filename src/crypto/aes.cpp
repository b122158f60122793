#include "crypto/aes.hpp"

#include <openssl/evp.h>

#include <memory>

namespace velmar::crypto {

bool DecryptCbc(const Key& key, const Block& iv, std::span<std::uint8_t> data) {
  if (data.size() % 16 != 0) return false;
  const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int written = 0;
  if (EVP_DecryptUpdate(ctx.get(), data.data(), &written, data.data(),
                        static_cast<int>(data.size())) != 1) {
    return false;
  }
  int last = 0;
  return EVP_DecryptFinal_ex(ctx.get(), data.data() + written, &last) == 1 &&
         static_cast<std::size_t>(written + last) == data.size();
}

}  // namespace velmar::crypto
