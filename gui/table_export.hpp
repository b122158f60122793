// Tables and readings out of the window: rows as tab-separated text for the clipboard, CSV and
// JSON files written whole or not at all.
#pragma once

#include <QString>
#include <QStringList>

#include "meter_read.hpp"

class QTableWidget;

namespace velmar::gui {

// A line of the column titles, then the selected rows of `table` (every row when none is
// selected), one line each, cells separated by tabs; spanned note rows keep their one cell.
QString RowsAsText(const QTableWidget& table);

// Every row of `table` with a header row of its column titles, as CSV (`separator` ',') or TSV.
QString TableText(const QTableWidget& table, QChar separator);

// Ctrl+C on `table` copies RowsAsText to the clipboard.
void AddCopyShortcut(QTableWidget* table);

// What a saved reading names besides its values: the meter's address as asked and the time of
// the read (UTC).
struct ReadingContext {
  QString address;
  QString time;  // ISO 8601, UTC
};

// The reading as CSV (`separator` ',') or TSV ('\t'): a header row, then one whole row per plain
// value and per record, each starting with the meter's identification number, the address, the
// time and the result, so rows of different meters and reads can be told apart.
QString ReadingTable(const tools::MeterRead& read, const ReadingContext& context, QChar separator);
QString ReadingCsv(const tools::MeterRead& read, const ReadingContext& context);

// The reading as `velmar read --json --records` prints it, with "address" and "time".
QString ReadingJsonText(const tools::MeterRead& read, const ReadingContext& context);

// Writes `text` to `path` through a temporary file renamed into place: the file is whole or
// untouched. "" on success, else why.
QString WriteWhole(const QString& path, const QString& text);

}  // namespace velmar::gui
