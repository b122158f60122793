// AES-128 as the meters' security modes use it, from OpenSSL's libcrypto: this layer is the
// only place the library reaches outside the standard library.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velmar::crypto {

using Key = std::array<std::uint8_t, 16>;
using Block = std::array<std::uint8_t, 16>;

// Deciphers `data` in place with AES-128-CBC, no padding; its size must be a multiple of 16.
// False when libcrypto refuses (it does not for a valid key and size).
bool DecryptCbc(const Key& key, const Block& iv, std::span<std::uint8_t> data);

}  // namespace velmar::crypto
