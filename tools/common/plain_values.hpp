// The values of a reading under plain names, in the units people use: "energy_kWh",
// "energy_tariff1_kWh", "power_L1_W", "volume_m3", "flow_temperature_C", "meter_time", ... One
// table says for each kind of value its name, label, unit and how Home Assistant classes it; the
// reading's JSON, the command line and discovery all read it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "velmar/records.hpp"

namespace velmar::tools {

// One kind of value.
struct ValueSort {
  std::string_view stem;         // the name's start: "energy", "power", "flow_temperature"
  std::string_view label;        // "Energy", "Flow temperature"
  std::string_view nameUnit;     // the name's end: "kWh", "m3", "m3h", "C" ("" none)
  std::string_view unit;         // as shown: "kWh", "m³", "m³/h", "°C" ("" none)
  std::string_view deviceClass;  // Home Assistant's device class ("" none)
  std::string_view stateClass;   // "total_increasing", "measurement" ("" none)
};

// One named value of a reading.
struct PlainValue {
  std::string name;   // "energy_tariff1_kWh", "voltage_L2_V"
  std::string label;  // "Energy tariff 1", "Voltage L2"
  const ValueSort* sort = nullptr;
  nlohmann::ordered_json value;  // a number in the sort's unit, or the text of a time
};

// The plain values among `records`: the present value (storage 0, instantaneous) of each
// quantity the table knows, subunit 0, for tariff 0 and each tariff, and per phase where the
// meter names phases. A record the meter flags with an error, or that its maker qualifies in
// its own way, is left out; the first record of a name wins. Other storage numbers, functions
// and subunits stay in the record list. The names are in the order of the records.
std::vector<PlainValue> PlainValues(std::span<const DataRecord> records);

// {"energy_kWh": 12345.67, ...} in that order.
nlohmann::ordered_json ValuesJson(const std::vector<PlainValue>& values);

// The sort whose name starts with `stem` ("volume", "flow_temperature"), or nullptr.
const ValueSort* FindSort(std::string_view stem);

// The sort a record's number is, with its value in that sort's unit in `value`; nullptr (and
// `value` untouched) for a record that is not a number of a sort the table knows.
const ValueSort* SortOf(const DataRecord& record, double& value);

// What brings a number of one record code into its sort's unit: times `multiply`, then divided
// by `divide`.
struct UnitFactors {
  double multiply = 1;
  double divide = 1;
};
// The factors for a record like `record` (its code, and no unit of its own from a VIFE), for a
// reader that converts the same meter's records again and again; nullopt where SortOf gives
// nullptr for every value.
std::optional<UnitFactors> FactorsOf(const DataRecord& record);
// `value` in its sort's unit, exactly as SortOf works it out. Constant time.
inline double InSortUnit(double value, const UnitFactors& f) {
  // Most records are in their sort's unit already: no division (tens of cycles each) for them,
  // and the same number as dividing by 1 would give.
  return f.divide == 1 ? value * f.multiply : value * f.multiply / f.divide;
}

// The record codes of the sort `stem`, one bit each (bit N for Measure N): "energy" is Wh and
// J, "flow" m³/h, m³/min and m³/s. 0 for a stem the table does not convert.
std::uint32_t MeasuresOf(std::string_view stem);

// Every sort, in the table's order (for documentation and tests).
std::span<const ValueSort> ValueSorts();

}  // namespace velmar::tools
