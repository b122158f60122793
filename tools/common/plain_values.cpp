#include "plain_values.hpp"

#include <algorithm>
#include <array>

namespace velmar::tools {
namespace {

constexpr std::array<ValueSort, 18> kSorts = {{
    {"energy", "Energy", "kWh", "kWh", "energy", "total_increasing"},
    {"power", "Power", "W", "W", "power", "measurement"},
    {"reactive_power", "Reactive power", "var", "var", "reactive_power", "measurement"},
    {"apparent_power", "Apparent power", "VA", "VA", "apparent_power", "measurement"},
    {"voltage", "Voltage", "V", "V", "voltage", "measurement"},
    {"current", "Current", "A", "A", "current", "measurement"},
    {"power_factor", "Power factor", "", "", "power_factor", "measurement"},
    {"volume", "Volume", "m3", "m³", "volume", "total_increasing"},
    {"flow", "Flow", "m3h", "m³/h", "volume_flow_rate", "measurement"},
    {"flow_temperature", "Flow temperature", "C", "°C", "temperature", "measurement"},
    {"return_temperature", "Return temperature", "C", "°C", "temperature", "measurement"},
    {"temperature_difference", "Temperature difference", "K", "K", "temperature", "measurement"},
    {"external_temperature", "External temperature", "C", "°C", "temperature", "measurement"},
    {"pressure", "Pressure", "bar", "bar", "pressure", "measurement"},
    {"mass", "Mass", "kg", "kg", "weight", "total_increasing"},
    {"hca", "Heat cost allocation", "", "", "", "total_increasing"},
    {"humidity", "Relative humidity", "pct", "%", "humidity", "measurement"},
    {"meter_time", "Meter time", "", "", "", ""},
}};

const ValueSort& Sort(std::string_view stem) {
  return *std::find_if(kSorts.begin(), kSorts.end(),
                       [stem](const ValueSort& s) { return s.stem == stem; });
}

// What a record measures, the sort it is, and how its value becomes the sort's unit: times
// `multiply`, divided by `divide`.
struct Conversion {
  Measure measure;
  std::string_view stem;
  UnitFactors factors;
};

constexpr std::array<Conversion, 21> kConversions = {{
    {Measure::kEnergyWh, "energy", {1, 1000}},
    {Measure::kEnergyJ, "energy", {1, 3.6e6}},
    {Measure::kPowerW, "power", {1, 1}},
    {Measure::kPowerJPerH, "power", {1, 3600}},
    {Measure::kReactivePowerVar, "reactive_power", {1, 1}},
    {Measure::kApparentPowerVA, "apparent_power", {1, 1}},
    {Measure::kVoltageV, "voltage", {1, 1}},
    {Measure::kCurrentA, "current", {1, 1}},
    {Measure::kPowerFactor, "power_factor", {1, 1}},
    {Measure::kVolumeM3, "volume", {1, 1}},
    {Measure::kVolumeFlowM3PerH, "flow", {1, 1}},
    {Measure::kVolumeFlowM3PerMin, "flow", {60, 1}},
    {Measure::kVolumeFlowM3PerS, "flow", {3600, 1}},
    {Measure::kFlowTemperatureC, "flow_temperature", {1, 1}},
    {Measure::kReturnTemperatureC, "return_temperature", {1, 1}},
    {Measure::kTemperatureDifferenceK, "temperature_difference", {1, 1}},
    {Measure::kExternalTemperatureC, "external_temperature", {1, 1}},
    {Measure::kPressureBar, "pressure", {1, 1}},
    {Measure::kMassKg, "mass", {1, 1}},
    {Measure::kHcaUnits, "hca", {1, 1}},
    {Measure::kRelativeHumidity, "humidity", {1, 1}},
}};

// The conversion of each record code, looked up by the code: every decoded record asks.
constexpr std::size_t kMeasures = static_cast<std::size_t>(Measure::kDateTime) + 1;
constexpr std::array<const Conversion*, kMeasures> kByMeasure = [] {
  std::array<const Conversion*, kMeasures> by{};
  for (const Conversion& c : kConversions) by[static_cast<std::size_t>(c.measure)] = &c;
  return by;
}();

// The sort of each record code's conversion, by the code.
constexpr std::array<const ValueSort*, kMeasures> kSortByMeasure = [] {
  std::array<const ValueSort*, kMeasures> by{};
  for (const Conversion& c : kConversions) {
    for (const ValueSort& sort : kSorts) {
      if (sort.stem == c.stem) by[static_cast<std::size_t>(c.measure)] = &sort;
    }
  }
  return by;
}();

const Conversion* ConversionOf(const DataRecord& r) {
  // An orthogonal VIFE that adds a unit of its own ("/h": a rate of the quantity) makes the
  // value something else.
  if (!r.unitSuffix.empty()) return nullptr;
  const auto code = static_cast<std::size_t>(r.measure);
  return code < kMeasures ? kByMeasure[code] : nullptr;
}

// The present value as the meter vouches for it.
bool Plain(const DataRecord& r) {
  // Error code 0 is the meter saying "no error": the value stands.
  return r.storage == 0 && r.function == RecordFunction::kInstantaneous && r.errorCode <= 0 &&
         !r.manufacturerVife && !r.unscaled && !r.timePoint && !r.profile;
}

// A maker that splits power by subunit has named the quantity already; otherwise only
// subunit 0 is the meter's own.
bool OwnSubunit(const DataRecord& r) {
  return r.subunit == 0 || r.measure == Measure::kReactivePowerVar ||
         r.measure == Measure::kApparentPowerVA;
}

PlainValue Named(const ValueSort& sort, const DataRecord& r) {
  PlainValue v;
  v.sort = &sort;
  v.name = sort.stem;
  v.label = sort.label;
  if (r.tariff != 0) {
    v.name += "_tariff";
    v.name += std::to_string(r.tariff);
    v.label += " tariff ";
    v.label += std::to_string(r.tariff);
  }
  if (r.phase != 0) {
    v.name += "_L";
    v.name += std::to_string(r.phase);
    v.label += " L";
    v.label += std::to_string(r.phase);
  }
  if (!sort.nameUnit.empty()) {
    v.name += '_';
    v.name += sort.nameUnit;
  }
  return v;
}

void Add(std::vector<PlainValue>& out, PlainValue v) {
  const bool known =
      std::any_of(out.begin(), out.end(), [&](const PlainValue& o) { return o.name == v.name; });
  if (!known) out.push_back(std::move(v));
}

}  // namespace

std::vector<PlainValue> PlainValues(std::span<const DataRecord> records) {
  std::vector<PlainValue> out;
  for (const DataRecord& r : records) {
    if (!Plain(r)) continue;
    if (r.measure == Measure::kDateTime && r.kind == ValueKind::kDateTime && !r.date.invalid) {
      if (r.tariff != 0 || r.subunit != 0) continue;
      PlainValue v = Named(Sort("meter_time"), r);
      v.value = ValueText(r);
      Add(out, std::move(v));
      continue;
    }
    const Conversion* c = ConversionOf(r);
    if (c == nullptr || r.kind != ValueKind::kNumber || !OwnSubunit(r)) continue;
    PlainValue v = Named(Sort(c->stem), r);
    v.value = InSortUnit(r.value, c->factors);
    Add(out, std::move(v));
  }
  return out;
}

nlohmann::ordered_json ValuesJson(const std::vector<PlainValue>& values) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const PlainValue& v : values) j[v.name] = v.value;
  return j;
}

const ValueSort* FindSort(std::string_view stem) {
  const auto* s = std::find_if(kSorts.begin(), kSorts.end(),
                               [stem](const ValueSort& sort) { return sort.stem == stem; });
  return s == kSorts.end() ? nullptr : s;
}

const ValueSort* SortOf(const DataRecord& record, double& value) {
  const Conversion* c = ConversionOf(record);
  if (c == nullptr || record.kind != ValueKind::kNumber) return nullptr;
  value = InSortUnit(record.value, c->factors);
  return kSortByMeasure[static_cast<std::size_t>(c->measure)];
}

std::optional<UnitFactors> FactorsOf(const DataRecord& record) {
  const Conversion* c = ConversionOf(record);
  if (c == nullptr) return std::nullopt;
  return c->factors;
}

std::uint32_t MeasuresOf(std::string_view stem) {
  std::uint32_t bits = 0;
  for (const Conversion& c : kConversions) {
    if (c.stem == stem) bits |= 1u << static_cast<unsigned>(c.measure);
  }
  return bits;
}

std::span<const ValueSort> ValueSorts() {
  return kSorts;
}

}  // namespace velmar::tools
