// A wireless telegram from its link layer to its records: which transport header follows the
// CI, whose identity the header carries, and its enciphered blocks deciphered with the meter's
// key.
#include <algorithm>
#include <cstdio>

#include "crypto/aes.hpp"

#include "records/data_field.hpp"
#include "records/vif_tables.hpp"
#include "velmar/results.hpp"
#include "velmar/wmbus.hpp"
#include "wmbus/frame.hpp"

namespace velmar {
namespace {

void PutLetters(std::uint16_t code, std::array<char, 4>& letters) {
  letters = {};
  if (code == 0) return;
  for (int i = 0, shift = 10; i < 3; ++i, shift -= 5) {
    letters[static_cast<std::size_t>(i)] = static_cast<char>(64 + ((code >> shift) & 0x1F));
  }
}

// L C M M A A A A A A: the identification number is the A field's first four bytes.
void ReadLink(std::span<const std::uint8_t> b, WirelessLink& link, TelegramHeader& h) {
  link.c = b[1];
  link.manufacturerCode = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  PutLetters(link.manufacturerCode, link.manufacturer);
  records::PutIdent(b.subspan(4, 4), h);
  link.ident = h.ident;
  link.identNumber = h.identNumber;
  link.version = b[8];
  link.deviceType = b[9];
  h.c = link.c;
  h.manufacturerCode = link.manufacturerCode;
  h.manufacturer = link.manufacturer;
  h.version = link.version;
  h.medium = link.deviceType;
}

// Access number, status and configuration word of a transport header.
void ReadShortHeader(std::span<const std::uint8_t> b, TelegramHeader& h) {
  h.accessNumber = b[0];
  h.status = b[1];
  h.signature = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  h.encryptionMode = EncipheredMode(h.signature);
}

// The long header names the meter itself (a radio adapter's link layer names the adapter).
void ReadLongHeader(std::span<const std::uint8_t> b, TelegramHeader& h) {
  records::PutIdent(b.first(4), h);
  h.manufacturerCode = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
  PutLetters(h.manufacturerCode, h.manufacturer);
  h.version = b[6];
  h.medium = b[7];
  ReadShortHeader(b.subspan(8, 4), h);
}

std::string CiText(std::uint8_t ci) {
  char text[128];
  std::snprintf(text, sizeof text,
                "CI 0x%02X is not read here (transport headers 0x72, 0x7A, 0x78 and the "
                "extended link layer 0x8C are)",
                ci);
  return text;
}

// Where the records start after the CI at `at`, with the header filled; npos and a reason when
// the telegram has no records to read.
std::size_t TransportLayer(std::span<const std::uint8_t> b, std::size_t at, TelegramHeader& h,
                           std::string& error) {
  for (;;) {
    if (at >= b.size()) {
      error = "the telegram ends before its CI field";
      return std::string::npos;
    }
    const std::uint8_t ci = b[at];
    h.ci = ci;
    const std::size_t left = b.size() - at - 1;
    std::size_t need = 0;
    switch (ci) {
      case 0x8C:  // extended link layer: communication control and access number
        need = 2;
        break;
      case 0x8D:
        error = "encrypted (extended link layer, AES-CTR), no key for this meter";
        return std::string::npos;
      case 0x7A:
        need = 4;
        break;
      case 0x72:
        need = 12;
        break;
      case 0x78:
        need = 0;
        break;
      default:
        error = CiText(ci);
        return std::string::npos;
    }
    if (left < need) {
      error = "the telegram ends inside its transport header";
      return std::string::npos;
    }
    if (ci == 0x8C) {
      at += 1 + need;
      continue;
    }
    if (ci == 0x7A) ReadShortHeader(b.subspan(at + 1, 4), h);
    if (ci == 0x72) ReadLongHeader(b.subspan(at + 1, 12), h);
    return at + 1 + need;
  }
}

// Mode 5: the IV is the manufacturer and address of the header that carries the configuration
// word (the link layer's for a short header, the long header's own), then the access number
// eight times.
crypto::Block Mode5Iv(std::span<const std::uint8_t> b, std::size_t header, std::uint8_t ci,
                      std::uint8_t access) {
  crypto::Block iv{};
  const auto address = ci == 0x72 ? b.subspan(header, 8) : b.subspan(2, 8);
  // The long header sends ident, manufacturer, version, medium; the IV wants M then A.
  if (ci == 0x72) {
    iv[0] = address[4];
    iv[1] = address[5];
    std::copy_n(address.begin(), 4, iv.begin() + 2);
    iv[6] = address[6];
    iv[7] = address[7];
  } else {
    std::copy(address.begin(), address.end(), iv.begin());
  }
  std::fill(iv.begin() + 8, iv.end(), access);
  return iv;
}

// Deciphers the enciphered blocks in place; "" or why the records cannot be read.
std::string Decipher(std::vector<std::uint8_t>& b, std::size_t header, std::size_t records,
                     const TelegramHeader& h, const MeterKey* key) {
  if (h.encryptionMode != 5) return EncryptedText(h.encryptionMode);
  if (key == nullptr) return EncryptedText(5);
  const std::size_t length = 16u * ((h.signature >> 4) & 0x0F);
  if (b.size() - records < length) return "the telegram ends inside its enciphered blocks";
  const auto data = std::span(b).subspan(records, length);
  if (!crypto::DecryptCbc(*key, Mode5Iv(b, header, h.ci, h.accessNumber), data) ||
      data[0] != 0x2F || data[1] != 0x2F) {
    return "decryption failed: wrong key?";
  }
  return {};
}

}  // namespace

const std::string& DecodeWirelessTelegram(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                          const MeterKey* key) {
  out.error.clear();
  out.link = {};
  out.decoded.records.clear();
  out.decoded.error.clear();
  out.decoded.header = {};
  out.error = wmbus::OpenFrame(raw, out.format, out.bytes);
  if (!out.error.empty()) return out.error;
  TelegramHeader h;
  ReadLink(out.bytes, out.link, h);
  const std::size_t records = TransportLayer(out.bytes, wmbus::kLinkBytes, h, out.error);
  h.mediumName = records::MediumName(h.medium);
  out.decoded.header = h;
  if (records == std::string::npos) return out.error;
  if (h.encryptionMode != 0) {
    // The long header's twelve bytes end where the records begin.
    out.error = Decipher(out.bytes, records - 12, records, h, key);
    if (!out.error.empty()) return out.error;
  }
  DecodeRecordArea(std::span(out.bytes).subspan(records), h, out.decoded);
  return out.error;
}

}  // namespace velmar
