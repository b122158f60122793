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

QString Text(const Variant& v) {
  return QString::fromStdString(v.ToText());
}

QString Kwh(const Variant& v) {
  return v.IsText() ? Text(v) : QString::number(v.ToDouble(), 'f', 2);
}

// The meter lists its status bits as lines; a table cell reads better with commas.
QString StatusTexts(const Variant& v) {
  QStringList lines = Text(v).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
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

void ValuesPanel::Show(Velmar& control, const DecodedTelegram& telegram) {
  Clear();
  ShowValues(control);
  ShowRecords(telegram);
}

void ValuesPanel::AddRow(const QString& name, const QString& value, const QString& unit) {
  const int row = values->rowCount();
  values->insertRow(row);
  values->setItem(row, 0, new QTableWidgetItem(name));
  values->setItem(row, 1, new QTableWidgetItem(value));
  values->setItem(row, 2, new QTableWidgetItem(unit));
}

void ValuesPanel::ShowValues(Velmar& v) {
  AddRow(QObject::tr("Meter ID"), Text(v.MeterID()), {});
  AddRow(QObject::tr("Manufacturer"), Text(v.Manufacturer()), {});
  AddRow(QObject::tr("Version"), Text(v.protocolVersion()), {});
  AddRow(QObject::tr("Primary address"), Text(v.PrimaryAddress()), {});
  AddRow(QObject::tr("Status"), Text(v.MeterErrorCode()), {});
  AddRow(QObject::tr("Status texts"), StatusTexts(v.MeterErrorString()), {});
  AddRow(QObject::tr("Energy total"), Kwh(v.ActiveEnergyTotal()), QStringLiteral("kWh"));
  for (std::int16_t t = 0; t <= 5; ++t) {
    AddRow(QObject::tr("Energy tariff %1").arg(t), Kwh(v.ActiveEnergy(t)), QStringLiteral("kWh"));
  }
  AddRow(QObject::tr("Transformer ratio"), Text(v.TransformerRatio()), {});
  AddRow(QObject::tr("Active tariff"), Text(v.activeTariff()), {});
  AddRow(QObject::tr("Power failures"), Text(v.powerFailCount()), {});
  AddRow(QObject::tr("Error flags"),
         QStringLiteral("0x%1 0x%2")
             .arg(static_cast<quint32>(v.errorFlagsHigh()), 8, 16, QChar('0'))
             .arg(static_cast<quint32>(v.errorFlags().ToInt32()), 8, 16, QChar('0')),
         {});
  AddRow(QObject::tr("Date"), QString::fromStdString(v.MeterDate()), QStringLiteral("YYMMDD"));
  AddRow(QObject::tr("Time"), QString::fromStdString(v.MeterTime()), QStringLiteral("hh:mm:ss"));
  for (std::int16_t r = 0; r <= 5; ++r) {
    AddRow(QObject::tr("Relay %1").arg(r), Relay(v.getRelayState(r)), {});
  }
  values->resizeColumnsToContents();
}

void ValuesPanel::ShowRecords(const DecodedTelegram& telegram) {
  int n = 0;
  for (const DataRecord& r : telegram.records) {
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
  if (!telegram.error.empty()) {
    records->insertRow(n);
    records->setItem(n, 0, new QTableWidgetItem(QString::fromStdString(telegram.error)));
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
