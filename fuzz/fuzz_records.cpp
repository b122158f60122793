// libFuzzer target over the standard record decoder: any bytes, framed as a telegram or not,
// the same bytes read as a wireless telegram (with a key where the byte says so) and fed to
// every radio receiver's protocol.
// Every record, text and the manufacturer data must lie inside the input, a malformed record
// must end the list with an error, and the JSON of the result must be valid. Building and
// re-parsing that JSON under the sanitizers took nine tenths of each run (about 1,000 inputs a
// second on this project's machines), so it is checked for one input in 64, chosen by the
// input's bytes: the decoder runs on every input at full speed (about 18,000 a second) and the
// JSON still sees some 15,000 results a minute.
#include <cstdint>
#include <memory>
#include <vector>

#include "decode_json.hpp"
#include "records_json.hpp"
#include "rtl433_lines.hpp"
#include "velmar/radio.hpp"
#include "velmar/records.hpp"
#include "velmar/wmbus.hpp"

namespace {

bool Inside(std::span<const std::uint8_t> part, const std::uint8_t* data, std::size_t size) {
  return part.empty() || (part.data() >= data && part.data() + part.size() <= data + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Half the inputs get a valid frame around them, so the fuzzer reaches the records quickly.
  std::vector<std::uint8_t> telegram(data, data + size);
  if (size > 0 && (data[0] & 1) && size <= 252) {
    telegram = {0x68,
                static_cast<std::uint8_t>(size + 3),
                static_cast<std::uint8_t>(size + 3),
                0x68,
                0x08,
                0x01,
                0x72};
    telegram.insert(telegram.end(), data, data + size);
    std::uint8_t sum = 0;
    for (std::size_t i = 4; i < telegram.size(); ++i)
      sum = static_cast<std::uint8_t>(sum + telegram[i]);
    telegram.push_back(sum);
    telegram.push_back(0x16);
  }
  velmar::DecodedTelegram out;
  velmar::DecodeTelegram(telegram, out);
  const std::uint8_t* base = telegram.data();
  for (const velmar::DataRecord& r : out.records) {
    if (!Inside(r.bytes, base, telegram.size()) || !Inside(r.plainUnit, base, telegram.size())) {
      __builtin_trap();
    }
    if (r.offset >= telegram.size()) __builtin_trap();
  }
  if (!Inside(out.manufacturerData, base, telegram.size())) __builtin_trap();
  // The same bytes as a wireless telegram (from its L field), with its CRCs or without,
  // deciphered where they say so with a key: records stay inside its bytes, or a compact frame's
  // inside the records rebuilt from the format an earlier input showed. One decoder for the
  // whole run, as a receiver keeps, so formats learned from one input read the next.
  static velmar::WirelessDecoder decoder;
  static const velmar::MeterKey key = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  static velmar::WirelessTelegram radio;
  const bool keyed = size > 0 && (data[0] & 2) != 0;
  const auto crcs =
      size > 0 && (data[0] & 4) != 0 ? velmar::FrameCrcs::kPresent : velmar::FrameCrcs::kRemoved;
  decoder.Decode(std::span(data, size), radio, keyed ? &key : nullptr, crcs);
  const auto& area = radio.compact ? radio.expanded : radio.bytes;
  for (const velmar::DataRecord& r : radio.decoded.records) {
    if (!Inside(r.bytes, area.data(), area.size())) __builtin_trap();
  }
  if (radio.status == velmar::Status::kOk && !radio.error.empty()) __builtin_trap();
  // The same bytes as what a radio receiver delivers, and as what a stick is sent: whatever
  // comes, every telegram heard lies within what was fed.
  // rtl_433's lines are JSON objects: its reader gets the inputs that start as one (parsing
  // JSON from every input would halve the target's speed).
  const int kinds = size > 0 && data[0] == '{' ? 5 : 4;
  for (int kind = 0; kind < kinds; ++kind) {
    std::unique_ptr<velmar::ReceiverProtocol> protocol =
        kind == 4 ? std::make_unique<velmar::tools::Rtl433Lines>()
                  : velmar::MakeReceiverProtocol(static_cast<velmar::ReceiverKind>(kind));
    std::vector<velmar::HeardTelegram> heard;
    protocol->Feed(std::span(data, size), heard);
    for (const auto& h : heard) {
      if (h.bytes.size() > size + 1) __builtin_trap();
    }
    protocol->Answer(std::span(data, size));
  }
  std::uint8_t mix = 0;
  for (std::size_t i = 0; i < size; ++i) mix = static_cast<std::uint8_t>(mix * 31 + data[i]);
  if ((mix & 63) != 0) return 0;
  const std::string line = velmar::tools::ToJsonLine(velmar::tools::RecordsJson(out));
  if (!nlohmann::json::accept(line)) __builtin_trap();
  return 0;
}
