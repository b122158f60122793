// The bus in the window: a primary scan over a range of addresses or a secondary search by a
// pattern of the identification number, with progress and Stop; the meters found in a table;
// and for the selected meter a read, a new primary address or a new baud rate. The reply
// time-out and the repeats of every bus exchange are set here too. The pane only collects what
// the user asks for; the window runs it through the bus master on the control's port and loop.
#pragma once

#include <QGroupBox>
#include <QWidget>

#include <optional>

#include "velmar/scan.hpp"

class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableWidget;

namespace velmar::gui {

class BusPane : public QWidget {
 public:
  explicit BusPane(QWidget* parent = nullptr);

  // A scan begins: the table empties, Scan is disabled and Stop enabled.
  void ScanStarted();
  // A meter (or a collision) found: one row.
  void AddFound(const FoundMeter& meter);
  void Progress(int done, int total);
  // The scan ended (finished, stopped or failed): Scan back, Stop off.
  void ScanEnded();
  // The selected meter's address: its primary address, or its identification number when it
  // was found by one; nullopt with no row selected, or a collision selected.
  std::optional<Address> Selected() const;
  // The selected meter now answers at `primary` (after a new address was given to it).
  void MovedTo(int primary);
  // The found meter of the selected row.
  const FoundMeter* SelectedMeter() const;
  // The options of every bus exchange: reply time-out (0: the standard's for the speed) and
  // repeats.
  BusOptions Options() const;
  // Enables the buttons that send (not Stop, which a scan needs).
  void SetSendingEnabled(bool enabled);

  QRadioButton* primary = nullptr;
  QRadioButton* secondary = nullptr;
  QSpinBox* first = nullptr;
  QSpinBox* last = nullptr;
  QLineEdit* pattern = nullptr;
  QPushButton* scan = nullptr;
  QPushButton* stop = nullptr;
  QProgressBar* progress = nullptr;
  QTableWidget* found = nullptr;
  QPushButton* readSelected = nullptr;
  QSpinBox* newAddress = nullptr;
  QPushButton* setAddress = nullptr;
  QComboBox* newSpeed = nullptr;
  QPushButton* setSpeed = nullptr;
  QSpinBox* replyTimeout = nullptr;
  QSpinBox* retries = nullptr;

 private:
  QGroupBox* ScanBox();
  QGroupBox* MeterBox();
  QGroupBox* ExchangeBox();
  std::vector<FoundMeter> meters_;
  QList<QWidget*> sending_;
};

}  // namespace velmar::gui
