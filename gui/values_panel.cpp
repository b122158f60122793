#include "values_panel.hpp"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

#include "maker_names.hpp"

namespace velmar::gui {
namespace {

QTableWidget* MakeTable(QWidget* parent, const QStringList& headers) {
  auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  table->setHorizontalHeaderLabels(headers);
  table->verticalHeader()->setVisible(false);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table->horizontalHeader()->setStretchLastSection(true);
  table->setAlternatingRowColors(true);
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
  return table;
}

QString Text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

// Energy to the tenth of a watt-hour the registers keep; other numbers as sent.
QString NumberText(double v, std::string_view unit) {
  return unit == "kWh" ? QString::number(v, 'f', 2) : QString::number(v, 'g', 12);
}

// The bits set in the meter's error flags; their meaning is the maker's.
QString FlagBits(std::uint64_t flags) {
  QStringList bits;
  for (int b = 0; b < 64; ++b) {
    if ((flags >> b) & 1U) bits << QObject::tr("bit %1").arg(b);
  }
  return bits.isEmpty() ? QObject::tr("none") : bits.join(QStringLiteral(", "));
}

}  // namespace

QString LocalTimeText(const QString& iso) {
  const QDateTime t = QDateTime::fromString(iso, Qt::ISODate);
  return t.isValid() ? QLocale().toString(t, QLocale::ShortFormat) : iso;
}

ValuesPanel::ValuesPanel(QWidget* parent)
    : valuesTab(new QWidget(parent)),
      values(MakeTable(valuesTab,
                       {QObject::tr("Value"), QObject::tr("Reading"), QObject::tr("Unit")})),
      records(
          MakeTable(parent, {"#", QObject::tr("Storage"), QObject::tr("Tariff"),
                             QObject::tr("Subunit"), QObject::tr("Phase"), QObject::tr("Function"),
                             QObject::tr("Quantity"), QObject::tr("Value"), QObject::tr("Unit")})) {
  auto* layout = new QVBoxLayout(valuesTab);
  layout->setContentsMargins(0, 0, 0, 0);
  failure_ = new QLabel;
  failure_->setWordWrap(true);
  failure_->setStyleSheet(QStringLiteral("QLabel { color: #b00020; font-weight: bold; }"));
  failure_->hide();
  layout->addWidget(failure_);
  layout->addWidget(values, 1);
  values->setToolTip(
      QObject::tr("The meter's values; Ctrl+C copies the selected rows (all "
                  "when none is selected) as tab-separated text"));
  records->setToolTip(
      QObject::tr("Every record of the meter's answer; Ctrl+C copies the "
                  "selected rows (all when none is selected)"));
}

void ValuesPanel::Clear() {
  values->setRowCount(0);
  records->setRowCount(0);
  failure_->clear();
  failure_->hide();
}

void ValuesPanel::Show(const tools::MeterRead& read, const QString& address, const QString& time) {
  Clear();
  if (!read.Ok()) {
    failure_->setText(QObject::tr("The read of %1 failed at %2 (%3): %4")
                          .arg(address, time)
                          .arg(read.Code())
                          .arg(QString::fromStdString(read.error)));
    failure_->show();
    return;
  }
  ShowIdentity(read);
  if (read.maker) ShowMakerExtras(*read.maker);
  ShowPlainValues(read.values);
  values->resizeColumnsToContents();
  ShowRecords(read.reading.records, read.reading.recordError);
}

void ValuesPanel::AddRow(const QString& name, const QString& value, const QString& unit) {
  const int row = values->rowCount();
  values->insertRow(row);
  values->setItem(row, 0, new QTableWidgetItem(name));
  values->setItem(row, 1, new QTableWidgetItem(value));
  values->setItem(row, 2, new QTableWidgetItem(unit));
}

void ValuesPanel::ShowIdentity(const tools::MeterRead& read) {
  const TelegramHeader& h = read.reading.header;
  AddRow(QObject::tr("Meter ID"), QString::fromLatin1(h.ident.data()));
  const std::string code(h.manufacturer.data());
  if (!code.empty()) {
    AddRow(QObject::tr("Manufacturer"), QString::fromStdString(tools::ManufacturerText(code)));
  }
  if (!IsFixedStructure(h)) AddRow(QObject::tr("Version"), QString::number(h.version));
  AddRow(QObject::tr("Medium"), Text(h.mediumName));
  AddRow(QObject::tr("Primary address"), QString::number(h.a));
  const QString status =
      read.maker ? QString::fromStdString(read.maker->StatusText()).trimmed() : QString();
  AddRow(QObject::tr("Status"),
         QStringLiteral("0x%1%2")
             .arg(h.status, 2, 16, QChar('0'))
             .arg(status.isEmpty() ? QObject::tr(" (no errors)")
                                   : " (" + status.split('\n').join(QStringLiteral(", ")) + ")"));
}

// What only this maker's meters tell: relays (those the meter reports), error flags with the
// bits set, transformer ratio, active tariff and power failures.
void ValuesPanel::ShowMakerExtras(const MakerValues& m) {
  for (std::size_t r = 0; r < m.relays.size(); ++r) {
    if (m.relays[r] == -2) continue;
    AddRow(QObject::tr("Relay %1").arg(r),
           m.relays[r] == 1 ? QObject::tr("on") : QObject::tr("off"));
  }
  const std::uint64_t flags =
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(m.errorFlagsHigh)) << 32) |
      static_cast<std::uint32_t>(m.errorFlags);
  AddRow(QObject::tr("Error flags"),
         FlagBits(flags) + QStringLiteral("  (0x%1)")
                               .arg(QStringLiteral("%1").arg(flags, 16, 16, QChar('0')).toUpper()));
  AddRow(QObject::tr("Transformer ratio"), QString::number(m.transformerRatio));
  AddRow(QObject::tr("Active tariff"), QString::number(m.activeTariff));
  AddRow(QObject::tr("Power failures"), QString::number(m.powerFailCount));
}

void ValuesPanel::ShowPlainValues(const std::vector<tools::PlainValue>& list) {
  for (const tools::PlainValue& v : list) {
    const QString label = QString::fromStdString(v.label);
    if (v.value.is_string()) {
      AddRow(label, LocalTimeText(QString::fromStdString(v.value.get<std::string>())));
    } else {
      AddRow(label, NumberText(v.value.get<double>(), v.sort->unit), Text(v.sort->unit));
    }
  }
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
        r.phase != 0 ? QStringLiteral("L%1").arg(r.phase) : QString(),
        Text(FunctionName(r.function)),
        Text(r.quantity) + (r.manufacturerVife ? QObject::tr(" (maker's)") : QString()),
        value,
        QString::fromStdString(UnitText(r))};
    for (int c = 0; c < cells.size(); ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      if (c <= 4 || c == 7) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      records->setItem(n, c, item);
    }
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

QString ValuesPanel::Failure() const {
  return failure_->text();
}

}  // namespace velmar::gui
