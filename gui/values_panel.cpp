#include "values_panel.hpp"

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

QString Kwh(const std::optional<double>& v) {
  return v ? QString::number(*v, 'f', 2) : QStringLiteral("-");
}

// The meter lists its status bits as lines; a table cell reads better with commas.
QString StatusTexts(const std::string& text) {
  QStringList lines =
      QString::fromStdString(text).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  return lines.isEmpty() ? QObject::tr("no errors") : lines.join(QStringLiteral(", "));
}

QString Relay(int state) {
  return state == 1 ? QObject::tr("on") : state == 0 ? QObject::tr("off") : QObject::tr("-");
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

void ValuesPanel::ShowValues(const MakerValues& v) {
  AddRow(QObject::tr("Meter ID"), v.identNumber <= 0 ? QString() : QString::number(v.identNumber),
         {});
  AddRow(QObject::tr("Manufacturer"), QString::fromStdString(v.Manufacturer()), {});
  AddRow(QObject::tr("Version"), QString::number(v.version), {});
  AddRow(QObject::tr("Primary address"), QString::number(v.primaryAddress), {});
  AddRow(QObject::tr("Status"), QString::number(v.status), {});
  AddRow(QObject::tr("Status texts"), StatusTexts(v.StatusText()), {});
  AddRow(QObject::tr("Energy total"), Kwh(v.energyTotal), QStringLiteral("kWh"));
  for (std::size_t t = 0; t < v.energyTariff.size(); ++t) {
    AddRow(QObject::tr("Energy tariff %1").arg(t), Kwh(v.energyTariff[t]), QStringLiteral("kWh"));
  }
  AddRow(QObject::tr("Transformer ratio"), QString::number(v.transformerRatio), {});
  AddRow(QObject::tr("Active tariff"), QString::number(v.activeTariff), {});
  AddRow(QObject::tr("Power failures"), QString::number(v.powerFailCount), {});
  AddRow(QObject::tr("Error flags"),
         QStringLiteral("0x%1 0x%2")
             .arg(static_cast<quint32>(v.errorFlagsHigh), 8, 16, QChar('0'))
             .arg(static_cast<quint32>(v.errorFlags), 8, 16, QChar('0')),
         {});
  AddRow(QObject::tr("Date"), QString::fromStdString(v.date), QStringLiteral("YYMMDD"));
  AddRow(QObject::tr("Time"), QString::fromStdString(v.time), QStringLiteral("hh:mm:ss"));
  for (std::size_t r = 0; r < v.relays.size(); ++r) {
    AddRow(QObject::tr("Relay %1").arg(r), Relay(v.relays[r]), {});
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
