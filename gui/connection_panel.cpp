#include "connection_panel.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include "meter_session.hpp"

namespace velmar::gui {

QStringList SerialDevices() {
  QStringList found;
  const QDir dev(QStringLiteral("/dev"));
  for (const QString& name :
       dev.entryList({"ttyUSB*", "ttyACM*", "ttyAMA*"}, QDir::System, QDir::Name)) {
    found << dev.filePath(name);
  }
  // Every PC lists ttyS0 to ttyS31; only those with a UART type other than 0 are real.
  for (const QString& name : dev.entryList({"ttyS*"}, QDir::System, QDir::Name)) {
    QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(name));
    if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed() != "0") {
      found << dev.filePath(name);
    }
  }
  return found;
}

ConnectionPanel::ConnectionPanel(QWidget* parent) : QGroupBox(tr("Connection"), parent) {
  auto* form = new QFormLayout(this);
  device = new QComboBox;
  device->setEditable(true);
  device->setToolTip(
      tr("A serial device, the built-in simulated meter, or an M-Bus to Ethernet "
         "gateway as tcp://HOST:PORT"));
  refresh = new QPushButton(tr("Rescan"));
  refresh->setToolTip(tr("Look again for the serial adapters plugged into this computer"));
  auto* row = new QHBoxLayout;
  row->addWidget(device, 1);
  row->addWidget(refresh);
  form->addRow(tr("Device"), row);
  speed = new QComboBox;
  for (int baud : {300, 600, 1200, 2400, 4800, 9600, 19200, 38400}) {
    speed->addItem(QString::number(baud), baud);
  }
  speed->setToolTip(tr("The line's speed; 8 data bits, even parity, 1 stop bit"));
  form->addRow(tr("Speed (8E1)"), speed);
  rts = new QCheckBox(tr("Raise RTS (powers some level converters)"));
  rts->setToolTip(tr("Some level converters draw their power from RTS"));
  form->addRow(QString(), rts);
  address = new QLineEdit(QStringLiteral("254"));
  address->setToolTip(
      tr("0-250 primary address, 254 the one meter on the line, or an 8-digit "
         "identification number (reading only)"));
  form->addRow(tr("Meter address"), address);
  keepOpen = new QCheckBox(tr("Keep the port open between commands"));
  keepOpen->setToolTip(
      tr("Leave the port open after each command (faster; the device stays "
         "busy for other programs)"));
  form->addRow(QString(), keepOpen);
  showErrors = new QCheckBox(tr("Show failures in message boxes"));
  showErrors->setChecked(true);
  showErrors->setToolTip(
      tr("A failed command also opens a message box (the panel says it "
         "either way)"));
  form->addRow(QString(), showErrors);
  SetSpeed(2400);
}

void ConnectionPanel::FillDevices(const QString& selected) {
  device->clear();
  device->addItem(QString::fromUtf8(kSimulatedDevice));
  device->addItems(SerialDevices());
  if (!selected.isEmpty() && device->findText(selected) < 0) device->addItem(selected);
  device->setCurrentText(selected.isEmpty() ? QString::fromUtf8(kSimulatedDevice) : selected);
}

QString ConnectionPanel::Device() const {
  return device->currentText().trimmed();
}

int ConnectionPanel::Speed() const {
  return speed->currentData().toInt();
}

void ConnectionPanel::SetSpeed(int baud) {
  const int at = speed->findData(baud);
  if (at >= 0) {
    speed->setCurrentIndex(at);
  } else {
    speed->addItem(QString::number(baud), baud);
    speed->setCurrentIndex(speed->count() - 1);
  }
}

}  // namespace velmar::gui
