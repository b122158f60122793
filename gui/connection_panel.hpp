// Where the user says which line and meter to talk to: the device (serial devices found on this
// machine, the simulated meter, or a typed path or tcp://HOST:PORT), speed, RTS, the meter
// address (the control's address field), whether the port stays open, and whether failures
// open message boxes.
#pragma once

#include <QGroupBox>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace velmar::gui {

// Serial devices present on this machine: USB and ACM adapters, and the built-in ports that have
// a UART behind them.
QStringList SerialDevices();

class ConnectionPanel : public QGroupBox {
 public:
  explicit ConnectionPanel(QWidget* parent = nullptr);

  // Lists the simulated meter and the devices found, selecting `selected` (added when missing).
  void FillDevices(const QString& selected);
  QString Device() const;
  int Speed() const;
  void SetSpeed(int baud);

  QComboBox* device = nullptr;
  QPushButton* refresh = nullptr;
  QComboBox* speed = nullptr;
  QCheckBox* rts = nullptr;
  QLineEdit* address = nullptr;
  QCheckBox* keepOpen = nullptr;
  QCheckBox* showErrors = nullptr;
};

}  // namespace velmar::gui
