// Test telegrams: an RSP_UD from meter 12345678 (ORV, version 2, electricity, status 0x14)
// around any records, with a correct checksum, and the reply check run on it.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/rsp_ud.hpp"

namespace velmar::testing {

using Bytes = std::vector<std::uint8_t>;

// A body (C, A, CI and what follows) as a long frame: 68 L L 68, the body, its check byte, 16.
inline Bytes Framed(const Bytes& body) {
  const auto l = static_cast<std::uint8_t>(body.size());
  Bytes t;
  t.reserve(body.size() + 6);
  for (std::uint8_t head : {std::uint8_t{0x68}, l, l, std::uint8_t{0x68}}) t.push_back(head);
  t.insert(t.end(), body.begin(), body.end());
  std::uint8_t sum = 0;
  for (std::uint8_t b : body) sum = static_cast<std::uint8_t>(sum + b);
  t.push_back(sum);
  t.push_back(0x16);
  return t;
}

// `records` after this maker's long header (RSP_UD from address 5, identification 12345678).
inline Bytes Telegram(const Bytes& records) {
  Bytes body = {0x08, 0x05, 0x72, 0x78, 0x56, 0x34, 0x12, 0x56, 0x3E, 0x02, 0x02, 0x01, 0x14, 0, 0};
  body.insert(body.end(), records.begin(), records.end());
  return Framed(body);
}

inline std::int16_t Check(Bytes t, std::uint8_t mode = 0) {
  return CheckRspUd(t, static_cast<std::int16_t>(t.size()), mode);
}

}  // namespace velmar::testing
