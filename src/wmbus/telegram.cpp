// A wireless telegram from its link layer to its records, deciphered with its meter's key.
#include <algorithm>

#include "records/data_field.hpp"
#include "records/vif_tables.hpp"
#include "velmar/wmbus.hpp"
#include "wmbus/frame.hpp"
#include "wmbus/layers.hpp"
#include "wmbus/security.hpp"

namespace velmar {
namespace {

// L C M M A A A A A A: the identification number is the A field's first four bytes.
void ReadLink(std::span<const std::uint8_t> b, WirelessLink& link, TelegramHeader& h) {
  link.c = b[1];
  link.manufacturerCode = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  link.manufacturer = records::ManufacturerLetters(link.manufacturerCode);
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

void Clear(WirelessTelegram& out) {
  out.error.clear();
  out.link = {};
  out.messageCounter = 0;
  out.authenticated = false;
  out.decoded.records.clear();
  out.decoded.error.clear();
  out.decoded.header = {};
}

}  // namespace

bool MeterKeys::Add(std::string_view ident, const MeterKey& key) {
  const auto at =
      std::lower_bound(keys_.begin(), keys_.end(), ident,
                       [](const auto& entry, std::string_view id) { return entry.first < id; });
  if (at != keys_.end() && at->first == ident) return false;
  keys_.insert(at, {std::string(ident), key});
  return true;
}

const MeterKey* MeterKeys::Find(std::string_view ident) const {
  const auto at =
      std::lower_bound(keys_.begin(), keys_.end(), ident,
                       [](const auto& entry, std::string_view id) { return entry.first < id; });
  return at != keys_.end() && at->first == ident ? &at->second : nullptr;
}

WirelessDecoder::WirelessDecoder() : crypto_(std::make_unique<wmbus::CryptoContexts>()) {}

WirelessDecoder::WirelessDecoder(MeterKeys keys)
    : crypto_(std::make_unique<wmbus::CryptoContexts>()), keys_(std::move(keys)) {}

WirelessDecoder::~WirelessDecoder() = default;

const std::string& WirelessDecoder::Decode(std::span<const std::uint8_t> raw,
                                           WirelessTelegram& out) {
  return Decode(raw, out, nullptr);
}

const std::string& WirelessDecoder::Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                           const MeterKey* key) {
  Clear(out);
  out.error = wmbus::OpenFrame(raw, out.format, out.bytes);
  if (!out.error.empty()) return out.error;
  TelegramHeader h;
  ReadLink(out.bytes, out.link, h);
  if (out.bytes.size() > wmbus::kLinkBytes && out.bytes[wmbus::kLinkBytes] == 0x8D) {
    // The extended link layer enciphers with the key of the meter its link layer names.
    const MeterKey* ell_key =
        key != nullptr ? key : keys_.Find(std::string_view(h.ident.data(), 8));
    out.error = wmbus::DecipherExtendedLinkLayer(*crypto_, out.bytes, ell_key);
    if (!out.error.empty()) {
      h.mediumName = records::MediumName(h.medium);
      out.decoded.header = h;
      return out.error;
    }
  }
  const wmbus::Layers l = wmbus::ReadLayers(out.bytes, h, out.error);
  h.mediumName = records::MediumName(h.medium);
  out.decoded.header = h;
  if (l.records == std::string::npos) return out.error;
  if (h.encryptionMode != 0) {
    // The meter is known by the identification number of the header that names it.
    if (key == nullptr) key = keys_.Find(std::string_view(h.ident.data(), 8));
    out.error = wmbus::Decipher(*crypto_, out.bytes, l, h, key, out);
    if (!out.error.empty()) return out.error;
  }
  DecodeRecordArea(std::span(out.bytes).subspan(l.records), h, out.decoded);
  return out.error;
}

const std::string& DecodeWirelessTelegram(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                          const MeterKey* key) {
  WirelessDecoder decoder;
  return decoder.Decode(raw, out, key);
}

}  // namespace velmar
