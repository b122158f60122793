#include "velmar/maker_values.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "decode/header_text.hpp"
#include "decode/meter_data.hpp"
#include "decode/record_walker.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"

namespace velmar {

struct MakerValues::Walked {
  MbusLinkState link;
  OrvMeterData data;
};

namespace {

constexpr std::size_t kLongestFrame = 255 + 6;
constexpr std::uint8_t kDataReadout = 0;  // the block type of a plain data read
using K = MakerFieldKind;
using Getter = MakerFieldValue (*)(const MbusLinkState&, const OrvMeterData&);

// Each field once: what hosts see of it, and where the walk left it.
struct Row {
  MakerField field;
  Getter get;
};

const Row kRows[] = {
    {{"MeterID", "Meter ID", "", K::kIdent, true},
     [](const MbusLinkState& l, const OrvMeterData&) -> MakerFieldValue {
       return std::int64_t{l.identNumber};
     }},
    {{"Manufacturer", "Manufacturer", "", K::kText, true},
     [](const MbusLinkState& l, const OrvMeterData&) -> MakerFieldValue {
       return ManufacturerText(static_cast<std::int16_t>(l.manufacturerCode));
     }},
    {{"protocolVersion", "Version", "", K::kCount, true},
     [](const MbusLinkState& l, const OrvMeterData&) -> MakerFieldValue {
       return std::int64_t{l.versionByte};
     }},
    {{"PrimaryAddress", "Primary address", "", K::kCount, true},
     [](const MbusLinkState& l, const OrvMeterData&) -> MakerFieldValue {
       return std::int64_t{l.primaryAddress};
     }},
    {{"MeterErrorCode", "Status", "", K::kStatus, true},
     [](const MbusLinkState& l, const OrvMeterData&) -> MakerFieldValue {
       return std::int64_t{l.statusByte};
     }},
    {{"MeterErrorString", "Status texts", "", K::kStatusText, true},
     [](const MbusLinkState& l, const OrvMeterData&) -> MakerFieldValue {
       return StatusBitsText(l.statusByte);
     }},
    {{"ActiveEnergyTotal", "Energy total", "kWh", K::kEnergy},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       return d.activeEnergyTotal;
     }},
    {{"ActiveEnergy", "Energy tariff", "kWh", K::kTariffs},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       // A register the meter flags as not valid has no value (the control shows "-").
       std::vector<std::optional<double>> tariffs;
       for (std::size_t t = 0; t < d.activeEnergyTariff.size(); ++t) {
         tariffs.push_back(d.activeEnergyTariffStatus[t] != 0
                               ? std::nullopt
                               : std::optional<double>(d.activeEnergyTariff[t]));
       }
       return tariffs;
     }},
    {{"TransformerRatio", "Transformer ratio", "", K::kCount},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       return std::int64_t{d.transformerRatio};
     }},
    {{"activeTariff", "Active tariff", "", K::kCount},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       return std::int64_t{d.activeTariff};
     }},
    {{"powerFailCount", "Power failures", "", K::kCount},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       return std::int64_t{d.powerFailCount};
     }},
    {{"errorFlags", "Error flags", "", K::kFlags},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       const std::uint64_t all =
           (std::uint64_t{static_cast<std::uint32_t>(d.errorFlagsHigh)} << 32) |
           static_cast<std::uint32_t>(d.errorFlags);
       return static_cast<std::int64_t>(all);
     }},
    {{"errorFlagsHigh", "Error flags (high)", "", K::kFlagsHigh},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       return std::int64_t{d.errorFlagsHigh};
     }},
    {{"MeterDate", "Date (YYMMDD)", "YYMMDD", K::kDate},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue { return d.meterDate; }},
    {{"MeterTime", "Time", "hh:mm:ss", K::kTime},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue { return d.meterTime; }},
    {{"getRelayState", "Relays", "", K::kRelays},
     [](const MbusLinkState&, const OrvMeterData& d) -> MakerFieldValue {
       std::vector<int> relays;
       for (std::size_t r = 0; r < 6; ++r) {
         relays.push_back(!d.outputStateValid[r] ? kRelayNotReported : d.outputState[r] ? 1 : 0);
       }
       return relays;
     }},
};

// The public half of each row, in the rows' order.
const std::vector<MakerField> kFields = [] {
  std::vector<MakerField> fields;
  for (const Row& r : kRows) fields.push_back(r.field);
  return fields;
}();

const std::shared_ptr<const MakerValues::Walked>& Empty() {
  static const auto empty = std::make_shared<const MakerValues::Walked>();
  return empty;
}

}  // namespace

std::span<const MakerField> MakerFields() {
  return kFields;
}

const MakerField* FindMakerField(std::string_view name) {
  for (const MakerField& f : kFields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

MakerValues::MakerValues() : walked_(Empty()) {}

MakerValues::MakerValues(const MbusLinkState& link, const OrvMeterData& data)
    : walked_(std::make_shared<const Walked>(Walked{link, data})) {}

MakerFieldValue MakerValues::Get(const MakerField& field) const {
  const auto at = static_cast<std::size_t>(&field - kFields.data());
  if (at >= kFields.size()) throw std::invalid_argument("not one of this maker's fields");
  return kRows[at].get(walked_->link, walked_->data);
}

MakerFieldValue MakerValues::Get(std::string_view name) const {
  const MakerField* f = FindMakerField(name);
  if (f == nullptr) throw std::invalid_argument("no field " + std::string(name));
  return Get(*f);
}

std::int64_t MakerValues::IdentNumber() const {
  return walked_->link.identNumber;
}

std::string MakerValues::Manufacturer() const {
  return ManufacturerText(static_cast<std::int16_t>(walked_->link.manufacturerCode));
}

std::uint8_t MakerValues::Status() const {
  return walked_->link.statusByte;
}

std::string MakerValues::StatusText() const {
  return StatusBitsText(walked_->link.statusByte);
}

bool MakerValues::MoreRecords() const {
  return walked_->data.moreRecords;
}

const OrvMeterData& MakerValues::Store() const {
  return walked_->data;
}

const MbusLinkState& MakerValues::Link() const {
  return walked_->link;
}

bool IsMakerMeter(std::uint16_t manufacturerCode) {
  return manufacturerCode == kMakerManufacturerCode;
}

std::int16_t DecodeMakerValues(std::span<const std::uint8_t> telegram, MakerValues& out) {
  const std::vector<std::uint8_t> one(telegram.begin(), telegram.end());
  return DecodeMakerValues(std::span(&one, 1), out);
}

std::int16_t DecodeMakerValues(std::span<const std::vector<std::uint8_t>> telegrams,
                               MakerValues& out) {
  // The walk runs on a link state and store of this call alone, never the thread's own.
  auto walked = std::make_shared<MakerValues::Walked>();
  std::int16_t result = 0;
  for (std::size_t i = 0; i < telegrams.size() && result == 0; ++i) {
    std::array<std::uint8_t, kLongestFrame> work{};
    const std::size_t n = std::min(telegrams[i].size(), work.size());
    std::copy_n(telegrams[i].begin(), n, work.begin());
    MbusLinkState header;  // later telegrams' headers are not the reading's
    result = CheckRspUd(i == 0 ? walked->link : header, walked->data, std::span(work).first(n),
                        static_cast<std::int16_t>(n), kDataReadout, i == 0);
  }
  out.walked_ = std::move(walked);
  return result;
}

}  // namespace velmar
