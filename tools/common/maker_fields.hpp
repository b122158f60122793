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

// One line of the window's values: a label ("Energy tariff 2"), the value as text, its unit.
struct ValueCell {
  std::string label;
  std::string text;
  std::string unit;
};

struct MakerField {
  const char* name;   // the control's member name: the JSON key
  const char* label;  // what the command line's table calls it
  const char* unit;   // "" when the value has none
  nlohmann::ordered_json (*json)(const MakerValues&);
  // The command line's table rows: one (label, text with unit) for most; tariffs and relays
  // more.
  std::vector<std::pair<std::string, std::string>> (*rows)(const MakerValues&);
  // The window's lines for what only this maker's meters tell; the identity and the plain
  // values have lines of their own. Null: the field has none.
  std::vector<ValueCell> (*panel)(const MakerValues&) = nullptr;
};

// In the order `velmar read --json` prints them, after "result" and "Timeout".
const std::vector<MakerField>& MakerFields();

// The field of this name, or nullptr.
const MakerField* FindMakerField(const std::string& name);

// The window's lines of this maker's own values, in the fields' order: reported relays, the
// tariffs (a flagged one "-"), error flags with the bits set, transformer ratio, active tariff
// and power failures. Microseconds; never throws but std::bad_alloc.
std::vector<ValueCell> PanelCells(const MakerValues& values);

// The status byte's texts on one line ("no errors" when none), as every list shows them.
std::string StatusLine(const MakerValues& values);

}  // namespace velmar::tools
