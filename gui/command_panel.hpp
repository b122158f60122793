// The buttons that send something to the meter, with the inputs each one needs: read, present
// and change the password, set the clock (from this computer's clock or typed, in the meter's
// own format or as a standard date/time record), lock, and the tariff table to and from files.
#pragma once

#include <QGroupBox>
#include <QList>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace velmar::gui {

class CommandPanel : public QGroupBox {
 public:
  explicit CommandPanel(QWidget* parent = nullptr);

  // Enables or disables every button that sends (while a command runs, nothing else may).
  void SetSendingEnabled(bool enabled);
  // True when the clock is to be sent as a standard date/time record.
  bool StandardClock() const;

  QPushButton* read = nullptr;
  QLineEdit* password = nullptr;
  QPushButton* givePassword = nullptr;
  QLineEdit* newPassword = nullptr;
  QPushButton* changePassword = nullptr;
  QCheckBox* showPasswords = nullptr;
  QRadioButton* pcClock = nullptr;
  QRadioButton* typedClock = nullptr;
  QLineEdit* clockText = nullptr;
  QComboBox* clockFormat = nullptr;
  QPushButton* setClock = nullptr;
  QSpinBox* lockMode = nullptr;
  QPushButton* lock = nullptr;
  QPushButton* writeTable = nullptr;
  QPushButton* readTable = nullptr;
  // Block `block` of `blocks` sent or read; "no table sent yet" while `blocks` is 0 (and
  // "starting" with `block` -1).
  void ShowTableProgress(int block, int blocks);
  QProgressBar* tableProgress = nullptr;
  QPushButton* closePort = nullptr;

 private:
  QList<QWidget*> sending_;
};

}  // namespace velmar::gui
