#include "plain_values.hpp"

#include <algorithm>
#include <array>

namespace velmar::tools {
namespace {

constexpr std::array<ValueSort, 16> kSorts = {{
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
    {"meter_time", "Meter time", "", "", "", ""},
}};

const ValueSort& Sort(std::string_view stem) {
  return *std::find_if(kSorts.begin(), kSorts.end(),
                       [stem](const ValueSort& s) { return s.stem == stem; });
}

// A record's quantity and unit, the sort it is, and how its value becomes the sort's unit:
// times `multiply`, divided by `divide`.
struct Conversion {
  std::string_view quantity;
  std::string_view unit;
  std::string_view stem;
  double multiply;
  double divide;
};

constexpr std::array<Conversion, 19> kConversions = {{
    {"Energy", "Wh", "energy", 1, 1000},
    {"Energy", "J", "energy", 1, 3.6e6},
    {"Power", "W", "power", 1, 1},
    {"Power", "J/h", "power", 1, 3600},
    {"Reactive power", "var", "reactive_power", 1, 1},
    {"Apparent power", "VA", "apparent_power", 1, 1},
    {"Voltage", "V", "voltage", 1, 1},
    {"Current", "A", "current", 1, 1},
    {"Power factor", "", "power_factor", 1, 1},
    {"Volume", "m^3", "volume", 1, 1},
    {"Volume flow", "m^3/h", "flow", 1, 1},
    {"Volume flow", "m^3/min", "flow", 60, 1},
    {"Volume flow", "m^3/s", "flow", 3600, 1},
    {"Flow temperature", "°C", "flow_temperature", 1, 1},
    {"Return temperature", "°C", "return_temperature", 1, 1},
    {"Temperature difference", "K", "temperature_difference", 1, 1},
    {"External temperature", "°C", "external_temperature", 1, 1},
    {"Pressure", "bar", "pressure", 1, 1},
    {"Mass", "kg", "mass", 1, 1},
}};

const Conversion* ConversionOf(const DataRecord& r) {
  if (!r.unitSuffix.empty()) return nullptr;
  for (const Conversion& c : kConversions) {
    if (c.quantity == r.quantity && c.unit == r.unit) return &c;
  }
  return nullptr;
}

// The present value as the meter vouches for it.
bool Plain(const DataRecord& r) {
  // Error code 0 is the meter saying "no error": the value stands.
  return r.storage == 0 && r.function == RecordFunction::kInstantaneous && r.errorCode <= 0 &&
         !r.manufacturerVife && !r.unscaled && !r.timePoint && !r.profile &&
         r.quantity != "Manufacturer specific";
}

// A maker that splits power by subunit has named the quantity already; otherwise only
// subunit 0 is the meter's own.
bool OwnSubunit(const DataRecord& r) {
  return r.subunit == 0 || r.quantity == "Reactive power" || r.quantity == "Apparent power";
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
    if (r.quantity == "Date and time" && r.kind == ValueKind::kDateTime && !r.date.invalid) {
      if (r.tariff != 0 || r.subunit != 0) continue;
      PlainValue v = Named(Sort("meter_time"), r);
      v.value = ValueText(r);
      Add(out, std::move(v));
      continue;
    }
    const Conversion* c = ConversionOf(r);
    if (c == nullptr || r.kind != ValueKind::kNumber || !OwnSubunit(r)) continue;
    PlainValue v = Named(Sort(c->stem), r);
    v.value = r.value * c->multiply / c->divide;
    Add(out, std::move(v));
  }
  return out;
}

nlohmann::ordered_json ValuesJson(const std::vector<PlainValue>& values) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const PlainValue& v : values) j[v.name] = v.value;
  return j;
}

std::span<const ValueSort> ValueSorts() {
  return kSorts;
}

}  // namespace velmar::tools
