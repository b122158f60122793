#include "values_panel.hpp"

#include "maker_fields.hpp"

#include <QHeaderView>

namespace velmar::gui {
namespace {

QTableWidget* MakeTable(QWidget* parent, const QStringList& headers) {
  auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  table->setHorizontalHeaderLabels(headers);
  table->verticalHeader()->setVisible(false);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->horizontalHeader()->setStretchLastSection(true);
  return table;
}

}  // namespace

ValuesPanel::ValuesPanel(QWidget* parent)
    : values(
          MakeTable(parent, {QObject::tr("Value"), QObject::tr("Reading"), QObject::tr("Unit")})),
      records(MakeTable(parent,
                        {"#", QObject::tr("Storage"), QObject::tr("Tariff"), QObject::tr("Subunit"),
                         QObject::tr("Function"), QObject::tr("Quantity"), QObject::tr("Value"),
                         QObject::tr("Unit")})) {}

void ValuesPanel::Clear() {
  values->setRowCount(0);
  records->setRowCount(0);
}

void ValuesPanel::Show(const std::optional<MakerValues>& maker, std::span<const DataRecord> list,
                       const std::string& recordError) {
  Clear();
  if (maker) ShowValues(*maker);
  ShowRecords(list, recordError);
}

void ValuesPanel::AddRow(const QString& name, const QString& value, const QString& unit) {
  const int row = values->rowCount();
  values->insertRow(row);
  values->setItem(row, 0, new QTableWidgetItem(name));
  values->setItem(row, 1, new QTableWidgetItem(value));
  values->setItem(row, 2, new QTableWidgetItem(unit));
}

// The named values come from the one table of this maker's fields the command line and the
// collector read too: the same names, units and formats everywhere.
void ValuesPanel::ShowValues(const MakerValues& v) {
  for (const tools::ValueCell& c : tools::ValueCells(v)) {
    AddRow(QString::fromStdString(c.label), QString::fromStdString(c.text),
           QString::fromStdString(c.unit));
  }
  values->resizeColumnsToContents();
}

void ValuesPanel::ShowRecords(std::span<const DataRecord> list, const std::string& recordError) {
  int n = 0;
  for (const DataRecord& r : list) {
    records->insertRow(n);
    const QString value = r.kind == ValueKind::kNumber ? QString::number(r.value, 'g', 12)
                                                       : QString::fromStdString(ValueText(r));
    const QStringList cells = {
        QString::number(n + 1),
        QString::number(r.storage),
        QString::number(r.tariff),
        QString::number(r.subunit),
        QString::fromUtf8(FunctionName(r.function).data(),
                          static_cast<int>(FunctionName(r.function).size())),
        QString::fromUtf8(r.quantity.data(), static_cast<int>(r.quantity.size())),
        value,
        QString::fromStdString(UnitText(r))};
    for (int c = 0; c < cells.size(); ++c) records->setItem(n, c, new QTableWidgetItem(cells[c]));
    ++n;
  }
  if (!recordError.empty()) {
    records->insertRow(n);
    records->setItem(n, 0, new QTableWidgetItem(QString::fromStdString(recordError)));
    records->setSpan(n, 0, 1, records->columnCount());
  }
  records->resizeColumnsToContents();
}

QString ValuesPanel::ValueOf(const QString& name) const {
  for (int row = 0; row < values->rowCount(); ++row) {
    if (values->item(row, 0)->text() == name) return values->item(row, 1)->text();
  }
  return {};
}

}  // namespace velmar::gui
