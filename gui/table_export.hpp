// Tables and readings out of the window: rows as tab-separated text for the clipboard, CSV and
// JSON files written whole or not at all.
#pragma once

#include <QString>
#include <QStringList>

#include "meter_read.hpp"

class QTableWidget;

namespace velmar::gui {

// The selected rows of `table` (every row when none is selected), one line each, cells
// separated by tabs; spanned note rows keep their one cell.
QString RowsAsText(const QTableWidget& table);

// Ctrl+C on `table` copies RowsAsText to the clipboard.
void AddCopyShortcut(QTableWidget* table);

// The reading as CSV: a header line, then one line per value ("value", name, reading, unit)
// and one per record ("record", quantity, value, unit, storage, tariff, subunit, phase,
// function). Fields with a comma, quote or line break are quoted.
QString ReadingCsv(const tools::MeterRead& read);

// The reading as `velmar read --json --records` prints it.
QString ReadingJsonText(const tools::MeterRead& read);

// Writes `text` to `path` through a temporary file renamed into place: the file is whole or
// untouched. "" on success, else why.
QString WriteWhole(const QString& path, const QString& text);

}  // namespace velmar::gui
