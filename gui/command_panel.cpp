#include "command_panel.hpp"

#include <QCheckBox>
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
  read->setToolTip(tr("Read the meter at the address (F5, or Return in the address field)"));
  grid->addWidget(read, row++, 0, 1, 3);

  password = new QLineEdit;
  password->setMaxLength(8);
  password->setPlaceholderText(tr("1 to 8 characters"));
  password->setEchoMode(QLineEdit::Password);
  password->setToolTip(tr("The meter's password, 1 to 8 characters"));
  givePassword = new QPushButton(tr("Present password"));
  givePassword->setToolTip(tr("Present the password to the meter, which opens it for writing"));
  grid->addWidget(new QLabel(tr("Password")), row, 0);
  grid->addWidget(password, row, 1);
  grid->addWidget(givePassword, row++, 2);

  newPassword = new QLineEdit;
  newPassword->setMaxLength(8);
  newPassword->setPlaceholderText(tr("1 to 8 characters"));
  newPassword->setEchoMode(QLineEdit::Password);
  newPassword->setToolTip(tr("The password the meter is to have from now on"));
  changePassword = new QPushButton(tr("Change password"));
  changePassword->setToolTip(tr("Give the meter the new password (present the old one first)"));
  showPasswords = new QCheckBox(tr("Show"));
  showPasswords->setToolTip(tr("Show the passwords as typed"));
  connect(showPasswords, &QCheckBox::toggled, this, [this](bool show) {
    const auto mode = show ? QLineEdit::Normal : QLineEdit::Password;
    password->setEchoMode(mode);
    newPassword->setEchoMode(mode);
  });
  grid->addWidget(new QLabel(tr("New password")), row, 0);
  grid->addWidget(newPassword, row, 1);
  grid->addWidget(changePassword, row++, 2);
  grid->addWidget(showPasswords, row++, 1);

  pcClock = new QRadioButton(tr("This computer's clock"));
  pcClock->setChecked(true);
  pcClock->setToolTip(tr("Set the meter to this computer's local time"));
  typedClock = new QRadioButton(tr("Typed"));
  typedClock->setToolTip(tr("Set the meter to the time typed beside"));
  clockText = new QLineEdit;
  clockText->setPlaceholderText(QStringLiteral("hhmmssDDMMYY"));
  clockText->setMaxLength(12);
  clockText->setToolTip(tr("hhmmssDDMMYY, for example 143000051226, or now"));
  clockFormat = new QComboBox;
  clockFormat->addItem(tr("Meter's own clock format"));
  clockFormat->addItem(tr("Standard date/time record (minutes)"));
  clockFormat->setToolTip(
      tr("How the time is sent: the meter's own format, or the standard "
         "date/time record"));
  setClock = new QPushButton(tr("Set clock"));
  setClock->setToolTip(tr("Set the meter's clock (present the password first)"));
  grid->addWidget(new QLabel(tr("Clock")), row, 0);
  grid->addWidget(pcClock, row, 1);
  grid->addWidget(setClock, row++, 2);
  grid->addWidget(typedClock, row, 0);
  grid->addWidget(clockText, row++, 1);
  grid->addWidget(clockFormat, row++, 1);

  lockMode = new QSpinBox;
  lockMode->setRange(0, 255);
  lockMode->setToolTip(tr("The lock mode to send, 0-255"));
  lock = new QPushButton(tr("Lock"));
  lock->setToolTip(tr("Lock the meter in the mode beside"));
  grid->addWidget(new QLabel(tr("Lock mode")), row, 0);
  grid->addWidget(lockMode, row, 1);
  grid->addWidget(lock, row++, 2);

  writeTable = new QPushButton(tr("Write tariff table..."));
  readTable = new QPushButton(tr("Read tariff table..."));
  writeTable->setToolTip(tr("Write a tariff table from a file to the meter"));
  readTable->setToolTip(tr("Read the meter's tariff table back into a file"));
  tableProgress = new QProgressBar;
  tableProgress->setToolTip(tr("Blocks of the tariff table sent or read"));
  ShowTableProgress(0, 0);
  grid->addWidget(writeTable, row, 0);
  grid->addWidget(readTable, row, 1);
  grid->addWidget(tableProgress, row++, 2);

  closePort = new QPushButton(tr("Close port"));
  closePort->setToolTip(tr("Close the serial port (the device is free for other programs)"));
  grid->addWidget(closePort, row++, 0, 1, 3);
  sending_ = {read, givePassword, changePassword, setClock, lock, writeTable, readTable, closePort};
}

void CommandPanel::SetSendingEnabled(bool enabled) {
  for (QWidget* w : sending_) w->setEnabled(enabled);
}

bool CommandPanel::StandardClock() const {
  return clockFormat->currentIndex() == 1;
}

void CommandPanel::ShowTableProgress(int block, int blocks) {
  if (blocks <= 0) {
    // No table under way: a busy bar while its blocks are not yet known, nothing before.
    tableProgress->setRange(0, 1);
    tableProgress->setValue(0);
    tableProgress->setFormat(block < 0 ? tr("starting") : tr("no table sent yet"));
    return;
  }
  tableProgress->setRange(0, blocks);
  tableProgress->setValue(block);
  tableProgress->setFormat(tr("block %v of %m"));
}

}  // namespace velmar::gui
