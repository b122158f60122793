#include "command_panel.hpp"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

namespace velmar::gui {

CommandPanel::CommandPanel(QWidget* parent) : QGroupBox(tr("Meter"), parent) {
  auto* grid = new QGridLayout(this);
  int row = 0;
  read = new QPushButton(tr("&Read"));
  read->setDefault(true);
  grid->addWidget(read, row++, 0, 1, 3);

  password = new QLineEdit;
  password->setMaxLength(8);
  password->setPlaceholderText(tr("1 to 8 characters"));
  givePassword = new QPushButton(tr("Present password"));
  grid->addWidget(new QLabel(tr("Password")), row, 0);
  grid->addWidget(password, row, 1);
  grid->addWidget(givePassword, row++, 2);

  newPassword = new QLineEdit;
  newPassword->setMaxLength(8);
  newPassword->setPlaceholderText(tr("1 to 8 characters"));
  changePassword = new QPushButton(tr("Change password"));
  grid->addWidget(new QLabel(tr("New password")), row, 0);
  grid->addWidget(newPassword, row, 1);
  grid->addWidget(changePassword, row++, 2);

  pcClock = new QRadioButton(tr("This computer's clock"));
  pcClock->setChecked(true);
  typedClock = new QRadioButton(tr("Typed"));
  clockText = new QLineEdit;
  clockText->setPlaceholderText(QStringLiteral("hhmmssDDMMYY"));
  clockText->setMaxLength(12);
  clockFormat = new QComboBox;
  clockFormat->addItem(tr("Meter's own clock format"));
  clockFormat->addItem(tr("Standard date/time record (minutes)"));
  setClock = new QPushButton(tr("Set clock"));
  grid->addWidget(new QLabel(tr("Clock")), row, 0);
  grid->addWidget(pcClock, row, 1);
  grid->addWidget(setClock, row++, 2);
  grid->addWidget(typedClock, row, 0);
  grid->addWidget(clockText, row++, 1);
  grid->addWidget(clockFormat, row++, 1);

  lockMode = new QSpinBox;
  lockMode->setRange(0, 255);
  lock = new QPushButton(tr("Lock"));
  grid->addWidget(new QLabel(tr("Lock mode")), row, 0);
  grid->addWidget(lockMode, row, 1);
  grid->addWidget(lock, row++, 2);

  writeTable = new QPushButton(tr("Write tariff table..."));
  readTable = new QPushButton(tr("Read tariff table..."));
  tableProgress = new QProgressBar;
  tableProgress->setRange(0, 2);
  tableProgress->setValue(0);
  tableProgress->setFormat(tr("block %v of %m"));
  grid->addWidget(writeTable, row, 0);
  grid->addWidget(readTable, row, 1);
  grid->addWidget(tableProgress, row++, 2);

  closePort = new QPushButton(tr("Close port"));
  grid->addWidget(closePort, row++, 0, 1, 3);
  sending_ = {read, givePassword, changePassword, setClock, lock, writeTable, readTable, closePort};
}

void CommandPanel::SetSendingEnabled(bool enabled) {
  for (QWidget* w : sending_) w->setEnabled(enabled);
}

bool CommandPanel::StandardClock() const {
  return clockFormat->currentIndex() == 1;
}

}  // namespace velmar::gui
