// The layers between a wireless telegram's link layer and its records: the extended link layer,
// the authentication and fragmentation layer, and the transport layer's header.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "velmar/records.hpp"

namespace velmar::wmbus {

// What an authentication and fragmentation layer (CI 0x90) carried.
struct AuthenticationLayer {
  bool present = false;
  std::uint8_t control = 0;  // MCL: the authentication type in bits 0-3
  bool hasCounter = false;
  std::uint32_t counter = 0;  // MCR, the meter's message counter
  std::size_t macAt = 0;      // where the MAC starts in the telegram, and its length (0: none)
  std::size_t macLength = 0;
  bool hasLength = false;
  std::uint16_t length = 0;  // ML
  bool unsupported = false;  // a fragment, or an authentication type not read here
};

// Where the parts of a telegram start (offsets into its bytes, CRCs removed).
struct Layers {
  AuthenticationLayer afl;
  std::size_t transport = 0;  // the transport layer's CI
  std::size_t address = 0;    // the identification number the security modes use (4 bytes)
  std::size_t records = std::string::npos;
  // The security mode of the configuration word as sent (bits 8-12), 0 without one.
  std::uint8_t securityMode = 0;
  // A compact frame (CI 0x79): the signature of its format and the CRC of the full records.
  bool compact = false;
  std::uint16_t formatSignature = 0;
  std::uint16_t fullCrc = 0;
};

// Why the layers could not be read: the telegram breaks off or contradicts itself (damaged),
// or it names a layer this decoder does not read.
enum class LayerProblem : std::uint8_t { kNone, kDamaged, kNotSupported };

// Reads the layers from the CI after the link layer and fills `h` (identity, access number,
// status, configuration word). Returns the layers; records is npos, with `error` and `problem`
// saying why, when the telegram has no records to read.
Layers ReadLayers(std::span<const std::uint8_t> b, TelegramHeader& h, std::string& error,
                  LayerProblem& problem);

}  // namespace velmar::wmbus
