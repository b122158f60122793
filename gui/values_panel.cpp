#include "values_panel.hpp"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

#include "maker_fields.hpp"
#include "maker_names.hpp"
#include "plain_values.hpp"

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
  profiles_ = tools::ProfileSet::Load(tools::ProfileFolders());
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
  ShowProfile(read);
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
  // This maker's meters name their status bits; for another maker's the byte is shown as sent.
  const QString bits =
      read.maker ? " (" + QString::fromStdString(tools::StatusLine(*read.maker)) + ")" : QString();
  AddRow(QObject::tr("Status"), QStringLiteral("0x%1").arg(h.status, 2, 16, QChar('0')) + bits);
}

// What only this maker's meters tell, as its field table lays it out.
void ValuesPanel::ShowMakerExtras(const MakerValues& m) {
  for (const tools::ValueCell& c : tools::PanelCells(m)) {
    AddRow(QString::fromStdString(c.label), QString::fromStdString(c.text), Text(c.unit));
  }
}

void ValuesPanel::ShowPlainValues(const std::vector<tools::PlainValue>& list) {
  for (const tools::PlainValue& v : list) {
    const QString label = QString::fromStdString(v.label);
    if (HasRow(label)) continue;  // the maker's own line (a tariff it flags reads "-") stands
    if (v.value.is_string()) {
      AddRow(label, LocalTimeText(QString::fromStdString(v.value.get<std::string>())));
    } else {
      AddRow(label, NumberText(v.value.get<double>(), v.sort->unit), Text(v.sort->unit));
    }
  }
}

// A meter with a profile: its fields by their labels, then the alarms set (a wired reading's
// maker bytes are not kept, so flags read from them are absent).
void ValuesPanel::ShowProfile(const tools::MeterRead& read) {
  const tools::ProfileReading p = tools::ReadByProfile(
      profiles_, read.reading.header, read.reading.records, read.reading.manufacturerData);
  if (p.profile == nullptr) return;
  for (const tools::FieldValue& f : p.fields) {
    const tools::ValueSort* sort = tools::FindSort(f.field->quantity);
    const QString label = QString::fromStdString(f.field->label);
    if (f.value.is_string()) {
      AddRow(label, QString::fromStdString(f.value.get<std::string>()));
    } else {
      const std::string_view unit = sort != nullptr ? sort->unit : std::string_view();
      AddRow(label, NumberText(f.value.get<double>(), unit), Text(unit));
    }
  }
  if (p.flags.empty()) return;
  QStringList alarms;
  for (const std::string& a : p.Alarms()) alarms << QString::fromStdString(a);
  AddRow(QObject::tr("Alarms"),
         alarms.isEmpty() ? QObject::tr("none") : alarms.join(QStringLiteral(", ")));
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

bool ValuesPanel::HasRow(const QString& name) const {
  for (int row = 0; row < values->rowCount(); ++row) {
    if (values->item(row, 0)->text() == name) return true;
  }
  return false;
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
