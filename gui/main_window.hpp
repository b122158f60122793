// The desktop meter tool's window: connection on the left with the meter commands below it,
// values, records, the tariff table and the trace on the right, the last result in the status
// bar. Commands run on the window's own thread: while one waits for the meter, the control runs
// Qt's event passes, so the window repaints and the buttons that would send stay disabled.
#pragma once

#include <functional>
#include <memory>

#include <QMainWindow>

#include "meter_session.hpp"
#include "values_panel.hpp"
#include "velmar/bus.hpp"

class QPlainTextEdit;
class QSettings;

namespace velmar::gui {

class ConnectionPanel;
class CommandPanel;
class TracePane;

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

  // Makes the control for the device in the connection panel (nothing is sent); false, after a
  // dialog saying why, when the device cannot be used.
  bool Connect() { return EnsureControl(); }

  bool Busy() const { return busy_; }
  MeterSession& Session() { return session_; }
  ConnectionPanel* Connection() { return connection_; }
  CommandPanel* Commands() { return commands_; }
  ValuesPanel& Values() { return *values_; }
  TracePane* Trace() { return trace_; }
  QPlainTextEdit* TableView() { return table_view_; }
  // The text in the status bar: the last command and how it ended.
  QString LastResult() const { return last_result_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildLayout();
  void ConnectButtons();
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
  QPlainTextEdit* table_view_ = nullptr;
  QString last_result_;
  bool busy_ = false;
  bool closing_ = false;
};

}  // namespace velmar::gui
