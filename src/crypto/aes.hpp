// AES-128 as the meters' security modes use it, from OpenSSL's libcrypto: this layer is the
// only place the library reaches outside the standard library.
#pragma once

#include <array>
#include <cstdint>
#include <span>

struct evp_cipher_ctx_st;

namespace velmar::crypto {

using Key = std::array<std::uint8_t, 16>;
using Block = std::array<std::uint8_t, 16>;

// AES-128 in the two modes the meters use (CBC for the transport layer, CTR for the extended
// link layer), with one libcrypto context kept for every telegram its owner reads (making a
// context costs more than deciphering a short telegram).
class Aes128 {
 public:
  Aes128();
  ~Aes128();
  Aes128(const Aes128&) = delete;
  Aes128& operator=(const Aes128&) = delete;

  // Deciphers `data` in place, no padding; its size must be a multiple of 16. False when
  // libcrypto refuses (it does not for a valid key and size). Time in proportion to the size.
  bool Decrypt(const Key& key, const Block& iv, std::span<std::uint8_t> data);
  // Enciphers `data` in place the same way (the simulated meters send with it).
  bool Encrypt(const Key& key, const Block& iv, std::span<std::uint8_t> data);
  // AES-128-CTR from the counter block `iv`, in place, any length (the same both ways).
  bool Ctr(const Key& key, const Block& iv, std::span<std::uint8_t> data);

 private:
  bool Run(const void* cipher, bool encrypt, const Key& key, const Block& iv,
           std::span<std::uint8_t> data);
  evp_cipher_ctx_st* ctx_;
  const void* cipher_ = nullptr;  // the mode the context is set up for
  bool encrypt_ = false;
};

}  // namespace velmar::crypto
