#include "table_export.hpp"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QRegularExpression>
#include <QSaveFile>
#include <QShortcut>
#include <QTableWidget>

#include "decode_json.hpp"
#include "records_json.hpp"

namespace velmar::gui {
namespace {

// One row of fields joined by `separator`; a field holding the separator, a quote or a line
// end is quoted, its quotes doubled (CSV's rule; TSV readers take it too).
QString Row(const QStringList& fields, QChar separator) {
  QStringList out;
  for (QString f : fields) {
    if (f.contains(separator) || f.contains('"') || f.contains('\n') || f.contains('\r')) {
      f = '"' + f.replace(QStringLiteral("\""), QStringLiteral("\"\"")) + '"';
    }
    out << f;
  }
  return out.join(separator) + '\n';
}

QString Text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

}  // namespace

QString RowsAsText(const QTableWidget& table) {
  QList<int> rows;
  for (const QModelIndex& i : table.selectionModel()->selectedRows()) rows << i.row();
  if (rows.isEmpty()) {
    for (int r = 0; r < table.rowCount(); ++r) rows << r;
  }
  std::sort(rows.begin(), rows.end());
  // The column titles first, so what is pasted says what each column is.
  QStringList titles;
  for (int c = 0; c < table.columnCount(); ++c) {
    const QTableWidgetItem* h = table.horizontalHeaderItem(c);
    titles << (h != nullptr ? h->text() : QString());
  }
  QString text = titles.join('\t') + '\n';
  for (int r : rows) {
    QStringList cells;
    for (int c = 0; c < table.columnCount(); ++c) {
      if (c > 0 && table.columnSpan(r, 0) > c) break;  // a note across the row
      const QTableWidgetItem* item = table.item(r, c);
      cells << (item != nullptr ? item->text() : QString());
    }
    text += cells.join('\t') + '\n';
  }
  return text;
}

QString TableText(const QTableWidget& table, QChar separator) {
  QStringList titles;
  for (int c = 0; c < table.columnCount(); ++c) {
    const QTableWidgetItem* h = table.horizontalHeaderItem(c);
    titles << (h != nullptr ? h->text() : QString());
  }
  QString text = Row(titles, separator);
  for (int r = 0; r < table.rowCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < table.columnCount(); ++c) {
      const QTableWidgetItem* item = table.item(r, c);
      cells << (item != nullptr ? item->text() : QString());
    }
    text += Row(cells, separator);
  }
  return text;
}

void AddCopyShortcut(QTableWidget* table) {
  auto* copy = new QShortcut(QKeySequence::Copy, table);
  copy->setContext(Qt::WidgetWithChildrenShortcut);
  QObject::connect(copy, &QShortcut::activated, table,
                   [table] { QApplication::clipboard()->setText(RowsAsText(*table)); });
}

QString ReadingTable(const tools::MeterRead& read, const ReadingContext& context, QChar separator) {
  const QString id = QString::fromLatin1(read.reading.header.ident.data());
  const QStringList lead = {id, context.address, context.time, QString::number(read.Code())};
  auto line = [separator](const QStringList& fields) { return Row(fields, separator); };
  QString text = line({"meter_id", "address", "time", "result", "kind", "name", "value", "unit",
                       "storage", "tariff", "subunit", "phase", "function"});
  if (!read.Ok()) {
    return text + line(lead + QStringList{"error", QString::fromStdString(read.error), "", "", "",
                                          "", "", "", ""});
  }
  for (const tools::PlainValue& v : read.values) {
    const QString value = v.value.is_string() ? QString::fromStdString(v.value.get<std::string>())
                                              : QString::number(v.value.get<double>(), 'g', 15);
    text += line(lead + QStringList{"value", QString::fromStdString(v.name), value,
                                    Text(v.sort->unit), "", "", "", "", ""});
  }
  for (const DataRecord& r : read.reading.records) {
    const QString value = r.kind == ValueKind::kNumber ? QString::number(r.value, 'g', 15)
                                                       : QString::fromStdString(ValueText(r));
    text += line(lead + QStringList{"record", Text(r.quantity), value,
                                    QString::fromStdString(UnitText(r)), QString::number(r.storage),
                                    QString::number(r.tariff), QString::number(r.subunit),
                                    QString::number(r.phase), Text(FunctionName(r.function))});
  }
  return text;
}

QString ReadingCsv(const tools::MeterRead& read, const ReadingContext& context) {
  return ReadingTable(read, context, ',');
}

QString ReadingJsonText(const tools::MeterRead& read, const ReadingContext& context) {
  auto j = tools::ReadingJson(read);
  j["address"] = context.address.toStdString();
  j["time"] = context.time.toStdString();
  if (read.Ok()) j["records"] = tools::RecordListJson(read.reading.records);
  return QString::fromStdString(tools::ToJsonLine(j)) + '\n';
}

QString WriteWhole(const QString& path, const QString& text) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return file.errorString();
  const QByteArray bytes = text.toUtf8();
  if (file.write(bytes) != bytes.size()) {
    const QString why = file.errorString();
    file.cancelWriting();
    return why;
  }
  if (!file.commit()) return file.errorString();
  return {};
}

}  // namespace velmar::gui
