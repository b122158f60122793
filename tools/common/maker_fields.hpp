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
  const char* label;  // the row in a table ("" for a field tables leave out)
  const char* unit;   // "" when the value has none
  nlohmann::ordered_json (*json)(const MakerValues&);
  // The table rows the field fills: one (label, text) for most; tariffs and relays more.
  std::vector<std::pair<std::string, std::string>> (*rows)(const MakerValues&);
};

// In the order `velmar read --json` prints them, after "result" and "Timeout".
const std::vector<MakerField>& MakerFields();

// The field of this name, or nullptr.
const MakerField* FindMakerField(const std::string& name);

}  // namespace velmar::tools
