// The desktop meter tool's window: connection on the left with the meter commands below it,
// values, records, the bus, the tariff table and the trace on the right, the last result in the
// status bar, every command also in the menu bar with its shortcut. Commands run on the window's
// own thread: while one waits for the meter, the control (or the bus master, on the same port
// and loop) runs Qt's event passes, so the window repaints and the buttons that would send stay
// disabled.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QMainWindow>

#include "meter_read.hpp"
#include "meter_session.hpp"
#include "table_export.hpp"
#include "values_panel.hpp"
#include "velmar/bus.hpp"
#include "velmar/scan.hpp"

class QAction;
class QPlainTextEdit;
class QSettings;
class QTabWidget;

namespace velmar::gui {

class BusPane;
class ConnectionPanel;
class CommandPanel;
class TracePane;

// Asks the user to go ahead with something that changes a meter; true to go ahead.
using Confirm = std::function<bool(const QString& what)>;
// Asks for a file to save to (`save`) or to open (its title and filters); "" when the user
// cancels.
using AskPath = std::function<QString(const QString& title, const QString& filters, bool save)>;

// `path` with the extension of the file type `filter` names ("CSV (*.csv)" gives ".csv") when
// it has none: the type the user chose in the dialog decides, not a guess.
QString WithFilterSuffix(const QString& path, const QString& filter);

class MainWindow : public QMainWindow {
 public:
  // Settings in `settings` (a test's file), or the application's QSettings when null.
  explicit MainWindow(std::unique_ptr<QSettings> settings = nullptr);
  ~MainWindow() override;

  // What the buttons do; each returns once its command has ended.
  void Read();
  void GivePassword();
  void ChangePassword();
  void SetClock();
  void Lock();
  // Writes the table in the file at `path`; false when the file is refused or the meter did not
  // confirm both blocks.
  bool WriteTableFrom(const QString& path);
  // Reads the table back and writes it to `path` (also shown as hex); false on failure.
  bool ReadTableTo(const QString& path);
  void ClosePort();

  // The bus pane's commands, through the bus master on the control's port and loop.
  void Scan();
  void StopScan();
  void ReadSelected();
  void SetSelectedAddress();
  void SetSelectedSpeed();
  // The last reading to `path`: JSON when it ends in .json, TSV in .tsv, CSV otherwise; the
  // meters the last scan found, TSV or CSV likewise; the trace as text. False, after a dialog
  // saying why, when there is nothing to save or the file cannot be written (nothing
  // half-written).
  bool SaveReading(const QString& path);
  bool SaveFoundMeters(const QString& path);
  bool SaveTrace(const QString& path);
  void ShowAbout();

  // What changes a meter asks first; what saves asks for a file (tests answer themselves).
  void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
  void SetAskPath(AskPath ask) { ask_path_ = std::move(ask); }
  // The menu bar's actions by their text without '&' ("Read", "Quit", ...), or null.
  QAction* Action(const QString& text) const;
  QList<QAction*> MenuActions() const;

  // Makes the control for the device in the connection panel (nothing is sent); false, after a
  // dialog saying why, when the device cannot be used.
  bool Connect() { return EnsureControl(); }
  // The simulated device becomes a bus of `meters` meters at primary addresses 1..n (made
  // anew when it is in use). Nothing is sent.
  void UseSimulatedBus(int meters);

  bool Busy() const { return busy_; }
  MeterSession& Session() { return session_; }
  ConnectionPanel* Connection() { return connection_; }
  CommandPanel* Commands() { return commands_; }
  ValuesPanel& Values() { return *values_; }
  TracePane* Trace() { return trace_; }
  BusPane* BusTab() { return bus_pane_; }
  QTabWidget* Tabs() { return tabs_; }
  // The last read's result (its values, records and JSON), if any read was made.
  const std::optional<tools::MeterRead>& LastRead() const { return last_read_; }
  QPlainTextEdit* TableView() { return table_view_; }
  // The text in the status bar: the last command and how it ended.
  QString LastResult() const { return last_result_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildLayout();
  void BuildMenus();
  void AddShortcuts();
  void ConnectButtons();
  void ConnectBusPane();
  void UpdateTitle();
  void ShowRead(const tools::MeterRead& read, const QString& address);
  void ShowFailedRead(const QString& address, const QString& why);
  // `text`, after a box saying it when failures are to be shown in boxes.
  QString BusFailure(const QString& text);
  // Runs `body` with a bus master on the control's port and loop (the pane's time-out and
  // repeats, the trace shown), as one command.
  void RunBus(const QString& name, const std::function<QString(velmar::Bus&)>& body);
  bool Confirmed(const QString& what);
  void RestoreSettings();
  void SaveSettings();
  bool EnsureControl();
  void ShowLineOf(Velmar& control);
  void ApplyFlags(Velmar& control);
  // Runs one command with the sending buttons disabled; `body` returns the status line.
  void Run(const QString& name, const std::function<QString(Velmar&)>& body);
  void ReadThroughBus(const Address& target);
  std::optional<Variant> WriteAddress();
  void Complain(const QString& text);
  void SetStatus(const QString& text);
  void FinishClose();

  MeterSession session_;
  ConnectionPanel* connection_ = nullptr;
  CommandPanel* commands_ = nullptr;
  std::unique_ptr<ValuesPanel> values_;
  TracePane* trace_ = nullptr;
  BusPane* bus_pane_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QPlainTextEdit* table_view_ = nullptr;
  std::optional<tools::MeterRead> last_read_;
  ReadingContext last_context_;    // the address and time of last_read_
  BusScanner* scanner_ = nullptr;  // the scan in progress, for Stop
  Confirm confirm_;
  AskPath ask_path_;
  QString last_result_;
  bool busy_ = false;
  // The control took its line settings from the saved ones once; every later control (another
  // device, the simulated bus rebuilt) takes the panel's, which the user sees.
  bool line_restored_ = false;
  bool closing_ = false;
};

}  // namespace velmar::gui
