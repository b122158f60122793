// The named values of this maker's meters, once: each field's name (the control's member name,
// used as the JSON key), its label in a table, its unit, and how to get it from a decoded
// telegram as JSON and as text. The command line's table, the JSON of a reading and the
// collector all read this one table.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "velmar/maker_values.hpp"

namespace velmar::tools {

struct MakerField {
  const char* name;   // the control's member name: the JSON key
  const char* label;  // what a value panel calls it (an array's cells add their index)
  const char* unit;   // "" when the value has none
  nlohmann::ordered_json (*json)(const MakerValues&);
  // The command line's table rows: one (label, text with unit) for most; tariffs and relays
  // more.
  std::vector<std::pair<std::string, std::string>> (*rows)(const MakerValues&);
  // A cell's text for one value of the field; null: numbers as they are, kWh to two decimals.
  std::string (*cell)(const nlohmann::ordered_json& value) = nullptr;
};

// One line of a value panel: a field's label ("Energy tariff 2" for index 2 of ActiveEnergy),
// the value as text, and its unit.
struct ValueCell {
  std::string label;
  std::string text;
  std::string unit;
};

// In the order `velmar read --json` prints them, after "result" and "Timeout".
const std::vector<MakerField>& MakerFields();

// The field of this name, or nullptr.
const MakerField* FindMakerField(const std::string& name);

// Every value of a reading as panel lines, in the fields' order.
std::vector<ValueCell> ValueCells(const MakerValues& values);

}  // namespace velmar::tools
