// rtl_433 (a software-defined radio's decoder) with its wireless M-Bus decoders and JSON output
// (-F json): one JSON object per line. A wireless M-Bus line carries the link layer's fields
// ("M" the manufacturer's letters, "id" the identification number's digits, "version",
// "type", "C") and the telegram in hex in "data": from its L field in newer releases, from the
// CI field after the link layer in older ones; both are read. Lines of rtl_433's other
// decoders, and lines that are not JSON, are counted and skipped.
#pragma once

#include "velmar/radio.hpp"

namespace velmar::tools {

class Rtl433Lines : public LineReceiverProtocol {
 public:
  Rtl433Lines() : LineReceiverProtocol(4096) {}
  std::vector<std::uint8_t> StartCommand(RadioMode) const override { return {}; }
  bool Started() const override { return true; }
  std::vector<std::uint8_t> Answer(std::span<const std::uint8_t>) override { return {}; }
  // The line rtl_433 prints for a telegram (from L, without CRCs); an odd `rssi` gives the
  // older form, "data" from the CI field.
  std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                       int rssi) const override;

 private:
  void Line(std::string_view line, std::uint64_t number,
            std::vector<HeardTelegram>& heard) override;
};

}  // namespace velmar::tools
