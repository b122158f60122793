// How this maker's named values look in each list, made from the library's one table of fields
// (`MakerFields()` in velmar/maker_values.hpp) by each field's kind: the JSON of a reading and
// the collector's message, the command line's rows, the window's lines.
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

// The field's value as JSON: numbers as numbers, an unknown identification number "", a tariff
// the meter flags as not valid "-", the error flags' low 32 bits. Microseconds.
nlohmann::ordered_json FieldJson(const MakerField& field, const MakerValues& values);

// Every field under its name, in the table's order (what `velmar read --json` and the
// collector's `control` hold). Microseconds; never throws but std::bad_alloc.
nlohmann::ordered_json FieldsJson(const MakerValues& values);

// The command line's rows of a field: (label, text with unit); "" as label means the field's
// own. Tariffs 1-4 and the relays have rows of their own; the status texts and the error flags'
// high half none (they are on the status and error flag rows). Microseconds.
std::vector<std::pair<std::string, std::string>> FieldRows(const MakerField& field,
                                                           const MakerValues& values);

// The window's lines of this maker's own values, in the fields' order: reported relays, the
// tariffs (a flagged one "-"), error flags with the bits set, transformer ratio, active tariff
// and power failures. The header's fields, the energy total, date and time have lines of their
// own there. Microseconds; never throws but std::bad_alloc.
std::vector<ValueCell> PanelCells(const MakerValues& values);

// The status byte's texts on one line ("no errors" when none), as every list shows them.
std::string StatusLine(const MakerValues& values);

}  // namespace velmar::tools
