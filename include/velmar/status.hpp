// What became of an operation of the general API: a read on the wired bus, a radio telegram
// taken apart, a reading made of either. One list for all of them, each with one text, and the
// number the tools publish for it (the collector's and `velmar read --json`'s "result"). The
// control's own commands keep their 16-bit results (velmar/results.hpp).
#pragma once

#include <cstdint>
#include <string_view>

namespace velmar {

enum class Status : std::uint8_t {
  kOk,  // the meter answered as it should; the telegram was read to its records
  // The wired line.
  kNoReply,          // nothing came within the reply time-out, on every attempt
  kDamagedReply,     // bytes came that do not form a frame (bad start, stop or length fields)
  kChecksum,         // a frame came whose check byte does not match
  kCollision,        // several meters answered at once (a damaged acknowledge)
  kNotAcknowledged,  // a frame came where only an acknowledge (E5) belongs
  kUnexpectedReply,  // a well-formed frame of the wrong kind (not an RSP_UD to REQ_UD2)
  kBadAddress,       // the address cannot be used for this operation; nothing was sent
  kBadArgument,      // a value outside what the operation accepts; nothing was sent
  kPortError,        // the port did not open, or failed while the exchange waited
  // The records, and the radio.
  kNoKey,                 // enciphered, and no key is known for the meter
  kWrongKey,              // the key does not open it (the deciphered check bytes are wrong)
  kAuthenticationFailed,  // its message authentication code does not hold under the key
  kModeNotSupported,      // a security mode or layer not read here
  kDamagedFrame,          // a block CRC, a length or a layer that does not hold together
  kFormatNotYetKnown,     // a compact frame whose format no full frame has shown yet
  kUnreadableRecords,     // the frame holds, its records do not
};

// "ok", "no reply", "damaged reply", "checksum error", "collision", "not acknowledged",
// "unexpected reply", "address not usable for this operation", "value not accepted",
// "port error", "no key", "wrong key", "authentication failed", "mode not supported",
// "damaged frame", "compact frame, format not yet known", "unreadable records". Never empty;
// constant time.
std::string_view StatusText(Status status);

// The number published for a status: 0 ok; for a wired reply that failed the link check, that
// check's code (`linkResult`: -1 start, -2 stop, -3 structure, -4 checksum, -6 length; -3, or
// -4 for a checksum, when it is 0); -1 a port that failed; -10 no reply, -11 collision, -12 no
// key, -13 wrong key or failed authentication, -14 a damaged frame or unreadable records, -15
// mode not supported, -16 compact frame format not yet known. Constant time.
std::int16_t StatusCode(Status status, std::int16_t linkResult = 0);

}  // namespace velmar
