#include "wmbus/compact.hpp"

#include <algorithm>

#include "records/data_field.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::wmbus {
namespace {

// The length of one record's DIF/VIF part at the start of `f`, and of its data; 0 when the
// format breaks off there.
std::size_t OneRecord(std::span<const std::uint8_t> f, std::size_t& data) {
  std::size_t at = 0;
  auto chain = [&]() {  // a byte, then more while the extension bit is set
    while (at < f.size() && (f[at++] & 0x80) != 0) {
    }
  };
  if (f.empty()) return 0;
  data = records::FieldLength(f[0]);
  chain();  // DIF and DIFEs
  if (at >= f.size()) return 0;
  chain();  // VIF and VIFEs
  return (f[at - 1] & 0x80) != 0 ? 0 : at;
}

}  // namespace

bool FormatOf(std::span<const std::uint8_t> area, const DecodedTelegram& records,
              std::vector<std::uint8_t>& difvif) {
  difvif.clear();
  if (!records.error.empty() || !records.manufacturerData.empty() || records.records.empty()) {
    return false;
  }
  for (const DataRecord& r : records.records) {
    if (r.coding == 0xD || !r.plainUnit.empty()) return false;
    const auto from = area.begin() + r.offset;
    const auto to = area.begin() + (r.bytes.data() - area.data());
    difvif.insert(difvif.end(), from, to);
  }
  return true;
}

std::string Expand(std::span<const std::uint8_t> difvif, std::span<const std::uint8_t> values,
                   std::vector<std::uint8_t>& area) {
  area.clear();
  std::size_t v = 0;
  for (std::size_t at = 0; at < difvif.size();) {
    std::size_t data = 0;
    const std::size_t n = OneRecord(difvif.subspan(at), data);
    if (n == 0) return "the learned format breaks off inside a record";
    if (values.size() - v < data) return "the compact frame holds fewer values than its format";
    area.insert(area.end(), difvif.begin() + static_cast<std::ptrdiff_t>(at),
                difvif.begin() + static_cast<std::ptrdiff_t>(at + n));
    area.insert(area.end(), values.begin() + static_cast<std::ptrdiff_t>(v),
                values.begin() + static_cast<std::ptrdiff_t>(v + data));
    at += n;
    v += data;
  }
  if (v != values.size()) return "the compact frame holds more values than its format";
  return {};
}

}  // namespace velmar::wmbus

namespace velmar {

CompactFormats::Key CompactFormats::KeyOf(const Meter& meter, std::uint16_t signature) {
  Key key{0, signature};
  for (const std::uint8_t b : meter) key.meter = key.meter << 8 | b;
  return key;
}

bool CompactFormats::Learn(const Meter& meter, std::span<const std::uint8_t> difvif) {
  return Learn(meter, difvif, WirelessCrc(difvif));
}

bool CompactFormats::Learn(const Meter& meter, std::span<const std::uint8_t> difvif,
                           std::uint16_t signature) {
  const Key key = KeyOf(meter, signature);
  if (const auto known = formats_.find(key); known != formats_.end()) {
    if (std::ranges::equal(known->second.difvif, difvif)) return false;
    // A meter that changed its format under the same signature: the newer one holds, and
    // counts as learned now.
    known->second.difvif.assign(difvif.begin(), difvif.end());
    order_.erase(std::ranges::find(order_, key));
    order_.push_back(key);
    return true;
  }
  if (formats_.size() >= kLimit) {
    formats_.erase(order_.front());
    order_.pop_front();
  }
  formats_.emplace(key, Format{meter, key.signature, {difvif.begin(), difvif.end()}});
  order_.push_back(key);
  return true;
}

const CompactFormats::Format* CompactFormats::Find(const Meter& meter,
                                                   std::uint16_t signature) const {
  const auto at = formats_.find(KeyOf(meter, signature));
  return at != formats_.end() ? &at->second : nullptr;
}

const CompactFormats::Format* CompactFormats::Newest() const {
  return order_.empty() ? nullptr : &formats_.at(order_.back());
}

std::vector<CompactFormats::Format> CompactFormats::All() const {
  std::vector<Format> all;
  all.reserve(order_.size());
  for (const Key& key : order_) all.push_back(formats_.at(key));
  return all;
}

}  // namespace velmar
