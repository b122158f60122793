// Which layer follows which: an extended link layer (CI 0x8C) and an authentication layer
// (CI 0x90) may come before the transport layer, whose CI says how long its header is and
// whose identity it carries.
#include "wmbus/layers.hpp"

#include <cstdio>

#include "codec/codings.hpp"
#include "records/data_field.hpp"
#include "wmbus/frame.hpp"

namespace velmar::wmbus {
namespace {

// Access number, status and configuration word of a transport header.
void ReadShortHeader(std::span<const std::uint8_t> b, TelegramHeader& h) {
  h.accessNumber = b[0];
  h.status = b[1];
  h.hasStatus = true;
  h.signature = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  h.encryptionMode = EncipheredMode(h.signature);
}

// The long header names the meter itself (a radio adapter's link layer names the adapter).
void ReadLongHeader(std::span<const std::uint8_t> b, TelegramHeader& h) {
  records::PutIdent(b.first(4), h);
  h.manufacturerCode = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
  h.manufacturer = ManufacturerLetters(h.manufacturerCode);
  h.version = b[6];
  h.medium = b[7];
  ReadShortHeader(b.subspan(8, 4), h);
}

std::string CiText(std::uint8_t ci) {
  char text[200];
  std::snprintf(text, sizeof text,
                "CI 0x%02X is not read here (transport headers 0x72, 0x7A, 0x78, compact frames "
                "0x79, the extended link layers 0x8C, 0x8D, 0x8E and the authentication layer "
                "0x90 are)",
                ci);
  return text;
}

// The bytes after the CI of each extended link layer: communication control and access number
// (0x8C); with session number and payload CRC (0x8D); with the manufacturer and address of the
// meter a radio converter speaks for (0x8E).
std::size_t ExtendedLinkBytes(std::uint8_t ci) {
  return ci == 0x8C ? 2 : ci == 0x8D ? 8 : 10;
}

std::uint32_t Le32(std::span<const std::uint8_t> b) {
  return static_cast<std::uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16)) |
         (static_cast<std::uint32_t>(b[3]) << 24);
}

// The MAC length an authentication type names: AES-CMAC cut to 4, 8, 12 or 16 bytes.
std::size_t MacLength(std::uint8_t control) {
  switch (control & 0x0F) {
    case 4:
      return 4;
    case 5:
      return 8;
    case 6:
      return 12;
    case 7:
      return 16;
    default:
      return 0;
  }
}

// The authentication and fragmentation layer after its CI at `at`: its length, then a
// fragmentation control word whose bits say which fields follow. Returns where the next CI is,
// or npos with the reason.
std::size_t ReadAuthentication(std::span<const std::uint8_t> b, std::size_t at,
                               AuthenticationLayer& afl, std::string& error) {
  if (b.size() - at < 4 || b.size() - at - 2 < b[at + 1]) {
    error = "the telegram ends inside its authentication layer";
    return std::string::npos;
  }
  const std::size_t end = at + 2 + b[at + 1];
  const auto fcl = static_cast<std::uint16_t>(b[at + 2] | (b[at + 3] << 8));
  if ((fcl & 0x4000) != 0 || (fcl & 0x00FF) != 0) {
    error = "a fragment of a longer message: fragments are not joined";
    afl.unsupported = true;
    return std::string::npos;
  }
  std::size_t p = at + 4;
  bool fits = true;
  // The offset of the next field of `n` bytes, which must end inside the layer.
  auto take = [&](std::size_t n) {
    const std::size_t here = p;
    p += n;
    fits = fits && p <= end;
    return fits ? here : at;
  };
  afl.present = true;
  if ((fcl & 0x2000) != 0) afl.control = b[take(1)];
  if ((fcl & 0x0200) != 0) take(2);  // key information
  if ((fcl & 0x0800) != 0) {
    afl.hasCounter = true;
    afl.counter = Le32(b.subspan(take(4), 4));
  }
  if ((fcl & 0x0400) != 0) {
    afl.macLength = MacLength(afl.control);
    if (afl.macLength == 0) {
      error = "the authentication layer names an authentication type not read here";
      afl.unsupported = true;
      return std::string::npos;
    }
    afl.macAt = take(afl.macLength);
  }
  if ((fcl & 0x1000) != 0) {
    const std::size_t ml = take(2);
    afl.hasLength = true;
    afl.length = static_cast<std::uint16_t>(b[ml] | (b[ml + 1] << 8));
  }
  if (!fits) {
    error = "the authentication layer is shorter than its fields";
    return std::string::npos;
  }
  return end;
}

// The transport header after its CI at `at`: how long it is, and what it says.
std::size_t ReadTransport(std::span<const std::uint8_t> b, std::size_t at, TelegramHeader& h,
                          Layers& l, std::string& error) {
  const std::uint8_t ci = b[at];
  std::size_t need = ci == 0x7A ? 4 : ci == 0x72 ? 12 : ci == 0x79 ? 4 : 0;
  if (b.size() - at - 1 < need) {
    error = "the telegram ends inside its transport header";
    return std::string::npos;
  }
  l.transport = at;
  l.address = 4;  // the link layer's identification number
  if (ci == 0x7A) ReadShortHeader(b.subspan(at + 1, 4), h);
  if (ci == 0x72) {
    ReadLongHeader(b.subspan(at + 1, 12), h);
    l.address = at + 1;
  }
  if (ci == 0x79) {
    l.compact = true;
    l.formatSignature = static_cast<std::uint16_t>(b[at + 1] | (b[at + 2] << 8));
    l.fullCrc = static_cast<std::uint16_t>(b[at + 3] | (b[at + 4] << 8));
  }
  l.securityMode = static_cast<std::uint8_t>((h.signature >> 8) & 0x1F);
  // Security mode 7 puts a configuration extension (key derivation, key number) after the
  // configuration word.
  if (h.encryptionMode == 7) ++need;
  if (b.size() - at - 1 < need) {
    error = "the telegram ends inside its transport header";
    return std::string::npos;
  }
  return at + 1 + need;
}

}  // namespace

Layers ReadLayers(std::span<const std::uint8_t> b, TelegramHeader& h, std::string& error,
                  LayerProblem& problem) {
  Layers l;
  problem = LayerProblem::kDamaged;
  // Without a transport header the meter's access number is the extended link layer's, and
  // no status is sent.
  h.hasStatus = false;
  for (std::size_t at = kLinkBytes;;) {
    if (at >= b.size()) {
      error = "the telegram ends before its CI field";
      return l;
    }
    const std::uint8_t ci = b[at];
    h.ci = ci;
    switch (ci) {
      case 0x8C:
      case 0x8D:  // deciphered already, its payload CRC checked
      case 0x8E:
        if (b.size() - at - 1 < ExtendedLinkBytes(ci)) {
          error = "the telegram ends inside its extended link layer";
          return l;
        }
        h.accessNumber = b[at + 2];
        at += 1 + ExtendedLinkBytes(ci);
        continue;
      case 0x90:
        at = ReadAuthentication(b, at, l.afl, error);
        if (at == std::string::npos) {
          if (l.afl.unsupported) problem = LayerProblem::kNotSupported;
          return l;
        }
        continue;
      case 0x7A:
      case 0x72:
      case 0x78:
      case 0x79:
        l.records = ReadTransport(b, at, h, l, error);
        if (l.records != std::string::npos) problem = LayerProblem::kNone;
        return l;
      default:
        error = CiText(ci);
        problem = LayerProblem::kNotSupported;
        return l;
    }
  }
}

}  // namespace velmar::wmbus
