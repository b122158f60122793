#include "bus_pane.hpp"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include "velmar/records.hpp"

namespace velmar::gui {
namespace {

QString Hex2(int v) {
  return QStringLiteral("%1").arg(v, 2, 16, QChar('0')).toUpper();
}

}  // namespace

BusPane::BusPane(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ScanBox());
  found = new QTableWidget(0, 5);
  found->setHorizontalHeaderLabels({tr("Address"), tr("Identification number"), tr("Manufacturer"),
                                    tr("Version"), tr("Medium")});
  found->verticalHeader()->setVisible(false);
  found->setEditTriggers(QAbstractItemView::NoEditTriggers);
  found->setSelectionBehavior(QAbstractItemView::SelectRows);
  found->setSelectionMode(QAbstractItemView::SingleSelection);
  found->horizontalHeader()->setStretchLastSection(true);
  found->verticalHeader()->setDefaultSectionSize(found->fontMetrics().height() + 8);
  found->setToolTip(tr("The meters found; select one to read it or change its address or speed"));
  layout->addWidget(found, 1);
  // One box above the other: side by side they need more width than a 1024-pixel screen
  // leaves beside the command panel.
  layout->addWidget(MeterBox());
  layout->addWidget(ExchangeBox());
  ScanEnded();
}

QGroupBox* BusPane::ScanBox() {
  auto* box = new QGroupBox(tr("Find the meters"));
  auto* grid = new QGridLayout(box);
  primary = new QRadioButton(tr("Primary addresses"));
  primary->setChecked(true);
  primary->setToolTip(tr("A link reset to each address of the range; one acknowledge is a meter"));
  first = new QSpinBox;
  first->setRange(0, 250);
  first->setToolTip(tr("First primary address to try (0-250)"));
  last = new QSpinBox;
  last->setRange(0, 250);
  last->setValue(250);
  last->setToolTip(tr("Last primary address to try (0-250, not below the first)"));
  secondary = new QRadioButton(tr("Identification numbers"));
  secondary->setToolTip(tr("A search by identification number, narrowed digit by digit"));
  pattern = new QLineEdit(QStringLiteral("FFFFFFFF"));
  pattern->setMinimumWidth(
      pattern->fontMetrics().horizontalAdvance(QStringLiteral("1234FFFF,KAM,*,07")) + 12);
  pattern->setToolTip(
      tr("Eight digits, F for any digit, optionally ,MAN,VV,MM "
         "(1234FFFF,KAM,*,07)"));
  scan = new QPushButton(tr("Scan"));
  scan->setToolTip(tr("Find the meters on the bus"));
  stop = new QPushButton(tr("Stop"));
  stop->setToolTip(tr("End the scan after the address being tried; what was found stays"));
  progress = new QProgressBar;
  progress->setToolTip(tr("Addresses tried"));
  auto* range = new QHBoxLayout;
  range->addWidget(first);
  range->addWidget(new QLabel(tr("to")));
  range->addWidget(last);
  range->addStretch();
  grid->addWidget(primary, 0, 0);
  grid->addLayout(range, 0, 1);
  grid->addWidget(scan, 0, 2);
  grid->addWidget(stop, 0, 3);
  grid->addWidget(secondary, 1, 0);
  grid->addWidget(pattern, 1, 1);
  grid->addWidget(progress, 1, 2, 1, 2);
  grid->setColumnStretch(1, 1);
  sending_ = {primary, secondary, first, last, pattern, scan};
  return box;
}

QGroupBox* BusPane::MeterBox() {
  auto* box = new QGroupBox(tr("Selected meter"));
  auto* row = new QHBoxLayout(box);
  readSelected = new QPushButton(tr("Read"));
  readSelected->setToolTip(
      tr("Read the selected meter (by its identification number when it "
         "was found by one)"));
  newAddress = new QSpinBox;
  newAddress->setRange(0, 250);
  newAddress->setToolTip(tr("The primary address to give the selected meter (0-250)"));
  setAddress = new QPushButton(tr("Set address"));
  setAddress->setToolTip(tr("Give the selected meter a new primary address (asks first)"));
  newSpeed = new QComboBox;
  for (int baud : {300, 600, 1200, 2400, 4800, 9600, 19200, 38400}) {
    newSpeed->addItem(QString::number(baud), baud);
  }
  newSpeed->setCurrentText(QStringLiteral("2400"));
  newSpeed->setToolTip(tr("The baud rate to switch the selected meter to"));
  setSpeed = new QPushButton(tr("Set baud rate"));
  setSpeed->setToolTip(tr("Switch the selected meter to the new baud rate (asks first)"));
  row->addWidget(readSelected);
  row->addSpacing(12);
  row->addWidget(newAddress);
  row->addWidget(setAddress);
  row->addSpacing(12);
  row->addWidget(newSpeed);
  row->addWidget(setSpeed);
  row->addStretch();
  sending_ << readSelected << newAddress << setAddress << newSpeed << setSpeed;
  return box;
}

QGroupBox* BusPane::ExchangeBox() {
  auto* box = new QGroupBox(tr("Every exchange"));
  auto* form = new QFormLayout(box);
  replyTimeout = new QSpinBox;
  replyTimeout->setRange(0, 60000);
  replyTimeout->setSuffix(tr(" ms"));
  replyTimeout->setSpecialValueText(tr("standard"));
  replyTimeout->setToolTip(tr("How long to wait for an answer; standard: 330 bit times + 50 ms"));
  retries = new QSpinBox;
  retries->setRange(0, 10);
  retries->setValue(2);
  retries->setToolTip(
      tr("Repeats of a request that got no proper answer (scans: probes are "
         "repeated only when this is set)"));
  form->addRow(tr("Reply time-out"), replyTimeout);
  form->addRow(tr("Repeats"), retries);
  return box;
}

void BusPane::ScanStarted() {
  meters_.clear();
  found->setRowCount(0);
  progress->setValue(0);
  SetSendingEnabled(false);
  stop->setEnabled(true);
}

void BusPane::AddFound(const FoundMeter& m) {
  meters_.push_back(m);
  const int row = found->rowCount();
  found->insertRow(row);
  const QString address =
      m.primaryAddress >= 0 ? QString::number(m.primaryAddress) : QStringLiteral("-");
  QStringList cells;
  if (m.collision) {
    cells = {address, tr("collision: several meters answered"), "", "", ""};
  } else if (!m.readable) {
    const QString ident = m.identKnown ? QString::fromStdString(IdentNumberText(m.identNumber))
                                       : tr("unknown: its data could not be read");
    cells = {address, ident, "?", "?", "?"};
  } else {
    cells = {address, QString::fromStdString(IdentNumberText(m.identNumber)),
             QString::fromLatin1(m.manufacturer.data()), Hex2(m.version),
             QString::fromUtf8(MediumText(m.medium).data())};
  }
  for (int c = 0; c < cells.size(); ++c) found->setItem(row, c, new QTableWidgetItem(cells[c]));
  found->resizeColumnsToContents();
}

void BusPane::Progress(int done, int total) {
  progress->setMaximum(total);  // 0: a busy bar for a search of unknown length
  progress->setValue(done);
}

void BusPane::ScanEnded() {
  SetSendingEnabled(true);
  stop->setEnabled(false);
  if (progress->maximum() == 0) progress->setMaximum(1);
}

const FoundMeter* BusPane::SelectedMeter() const {
  const auto rows = found->selectionModel()->selectedRows();
  if (rows.isEmpty()) return nullptr;
  const auto row = static_cast<std::size_t>(rows.front().row());
  return row < meters_.size() ? &meters_[row] : nullptr;
}

void BusPane::MovedTo(int primary) {
  const auto rows = found->selectionModel()->selectedRows();
  if (rows.isEmpty()) return;
  const int row = rows.front().row();
  meters_[static_cast<std::size_t>(row)].primaryAddress = primary;
  found->item(row, 0)->setText(QString::number(primary));
}

std::optional<Address> BusPane::Selected() const {
  const FoundMeter* m = SelectedMeter();
  if (m == nullptr || m->collision) return std::nullopt;
  if (m->primaryAddress >= 0) return Address::Primary(static_cast<std::uint8_t>(m->primaryAddress));
  return Address::Ident(m->identNumber);
}

BusOptions BusPane::Options() const {
  BusOptions o;
  o.replyTimeoutMs = replyTimeout->value();
  o.retries = retries->value();
  return o;
}

void BusPane::SetSendingEnabled(bool enabled) {
  for (QWidget* w : sending_) w->setEnabled(enabled);
}

}  // namespace velmar::gui
