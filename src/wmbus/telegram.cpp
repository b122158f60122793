// A wireless telegram from its link layer to its records, deciphered with its meter's key.
#include <algorithm>

#include "codec/codings.hpp"
#include "records/data_field.hpp"
#include "records/vif_tables.hpp"
#include "velmar/wmbus.hpp"
#include "wmbus/compact.hpp"
#include "wmbus/frame.hpp"
#include "wmbus/layers.hpp"
#include "wmbus/security.hpp"

namespace velmar {
namespace {

// L C M M A A A A A A: the identification number is the A field's first four bytes.
void ReadLink(std::span<const std::uint8_t> b, WirelessLink& link, TelegramHeader& h) {
  link.c = b[1];
  link.manufacturerCode = static_cast<std::uint16_t>(b[2] | (b[3] << 8));
  link.manufacturer = ManufacturerLetters(link.manufacturerCode);
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
  h.hasStatus = false;  // until a transport header says
}

// "0xA8ED".
std::string HexWord(std::uint16_t word) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(word >> shift) & 0x0F];
  return text;
}

void Clear(WirelessTelegram& out) {
  out.status = Status::kOk;
  out.compact = false;
  out.formatSignature = 0;
  out.formatKnown = false;
  out.learnedFormat = false;
  out.error.clear();
  out.link = {};
  out.messageCounter = 0;
  out.authenticated = false;
  out.decoded.records.clear();
  out.decoded.error.clear();
  out.decoded.status = Status::kOk;
  out.decoded.header = {};
}

// The records of a full frame; a format the meter's compact frames can name is learned.
void ReadRecords(std::span<const std::uint8_t> area, const TelegramHeader& h,
                 CompactFormats& formats, std::vector<std::uint8_t>& difvif,
                 WirelessTelegram& out) {
  DecodeRecordArea(area, h, out.decoded);
  if (!wmbus::FormatOf(area, out.decoded, difvif)) return;
  CompactFormats::Meter meter{};
  std::copy_n(out.bytes.begin() + 2, meter.size(), meter.begin());
  out.formatSignature = WirelessCrc(difvif);
  out.formatKnown = true;
  out.learnedFormat = formats.Learn(meter, difvif, out.formatSignature);
}

// The records of a compact frame: its values put back into the format its signature names.
void ReadCompact(const wmbus::Layers& l, const TelegramHeader& h, const CompactFormats& formats,
                 WirelessTelegram& out) {
  out.compact = true;
  out.formatSignature = l.formatSignature;
  CompactFormats::Meter meter{};
  std::copy_n(out.bytes.begin() + 2, meter.size(), meter.begin());
  const CompactFormats::Format* format = formats.Find(meter, l.formatSignature);
  if (format == nullptr) {
    out.status = Status::kFormatNotYetKnown;
    out.error = "compact frame, format not yet known (signature " + HexWord(l.formatSignature) +
                "; the meter's next full frame shows it)";
    return;
  }
  const auto values = std::span<const std::uint8_t>(out.bytes).subspan(l.records);
  out.error = wmbus::Expand(format->difvif, values, out.expanded);
  if (out.error.empty() && WirelessCrc(out.expanded) != l.fullCrc) {
    out.error = "the compact frame's values do not give the records its CRC names";
  }
  if (!out.error.empty()) {
    out.status = Status::kDamagedFrame;
    return;
  }
  DecodeRecordArea(out.expanded, h, out.decoded);
  out.formatKnown = true;
}

}  // namespace

std::uint64_t MeterKeys::Packed(std::string_view ident) {
  std::uint64_t packed = 0;
  for (const char c : ident) packed = packed << 8 | static_cast<std::uint8_t>(c);
  return packed;
}

bool MeterKeys::Add(std::string_view ident, const MeterKey& key) {
  if (ident.size() != 8) return false;
  const std::uint64_t packed = Packed(ident);
  const auto at =
      std::ranges::lower_bound(keys_, packed, {}, &std::pair<std::uint64_t, MeterKey>::first);
  if (at != keys_.end() && at->first == packed) return false;
  keys_.insert(at, {packed, key});
  return true;
}

const MeterKey* MeterKeys::Find(std::string_view ident) const {
  if (ident.size() != 8) return nullptr;
  const std::uint64_t packed = Packed(ident);
  const auto at =
      std::ranges::lower_bound(keys_, packed, {}, &std::pair<std::uint64_t, MeterKey>::first);
  return at != keys_.end() && at->first == packed ? &at->second : nullptr;
}

WirelessDecoder::WirelessDecoder() : crypto_(std::make_unique<wmbus::CryptoContexts>()) {}

WirelessDecoder::WirelessDecoder(MeterKeys keys)
    : crypto_(std::make_unique<wmbus::CryptoContexts>()), keys_(std::move(keys)) {}

WirelessDecoder::~WirelessDecoder() = default;
WirelessDecoder::WirelessDecoder(WirelessDecoder&&) noexcept = default;
WirelessDecoder& WirelessDecoder::operator=(WirelessDecoder&&) noexcept = default;

const std::string& WirelessDecoder::Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                           FrameCrcs crcs) {
  return Decode(raw, out, nullptr, crcs);
}

const std::string& WirelessDecoder::Decode(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                           const MeterKey* key, FrameCrcs crcs) {
  Clear(out);
  out.error = wmbus::OpenFrame(raw, crcs, out.format, out.bytes);
  if (!out.error.empty()) {
    out.status = Status::kDamagedFrame;
    return out.error;
  }
  TelegramHeader h;
  ReadLink(out.bytes, out.link, h);
  h.mediumName = records::MediumName(h.medium);
  out.decoded.header = h;
  if (out.bytes.size() > wmbus::kLinkBytes && out.bytes[wmbus::kLinkBytes] == 0x8D) {
    // The extended link layer enciphers with the key of the meter its link layer names.
    const MeterKey* ell_key =
        key != nullptr ? key : keys_.Find(std::string_view(h.ident.data(), 8));
    if (!wmbus::DecipherExtendedLinkLayer(*crypto_, out.bytes, ell_key, out)) return out.error;
  }
  wmbus::LayerProblem problem{};
  const wmbus::Layers l = wmbus::ReadLayers(out.bytes, h, out.error, problem);
  h.mediumName = records::MediumName(h.medium);
  out.decoded.header = h;
  if (l.records == std::string::npos) {
    out.status = problem == wmbus::LayerProblem::kNotSupported ? Status::kModeNotSupported
                                                               : Status::kDamagedFrame;
    return out.error;
  }
  // Modes 5 and 7 name their enciphered blocks; with none the records are plain.
  const bool enciphered = l.securityMode != 0 &&
                          !((l.securityMode == 5 || l.securityMode == 7) && h.encryptionMode == 0);
  if (enciphered) {
    // The meter is known by the identification number of the header that names it.
    if (key == nullptr) key = keys_.Find(std::string_view(h.ident.data(), 8));
    if (!wmbus::Decipher(*crypto_, out.bytes, l, h, key, out)) return out.error;
  }
  if (l.compact) {
    ReadCompact(l, h, formats_, out);
  } else {
    ReadRecords(std::span(out.bytes).subspan(l.records), h, formats_, difvif_, out);
  }
  // Deciphered records that do not hold together came from a damaged block or a key that
  // opened only the first one: none of them is a reading.
  if (enciphered && out.status == Status::kOk && !out.decoded.error.empty()) {
    out.status = Status::kUnreadableRecords;
    out.error = "the deciphered records do not hold together (" + out.decoded.error + ")";
  }
  return out.error;
}

const std::string& DecodeWirelessTelegram(std::span<const std::uint8_t> raw, WirelessTelegram& out,
                                          const MeterKey* key, FrameCrcs crcs) {
  WirelessDecoder decoder;
  return decoder.Decode(raw, out, key, crcs);
}

}  // namespace velmar
