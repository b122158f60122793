// Hosting a Velmar control in a Qt Widgets program. The control's waits run Qt's event passes,
// so the window repaints and answers input while a meter is read; its failures appear as modal
// QMessageBox dialogs; its port settings are kept in QSettings; its address field is a QLineEdit
// on the program's form. A program hosts a control in three lines:
//
//   velmar::qt::Host host;
//   velmar::Velmar meter(host.Services(), host.SerialPort(device), host.AddressField(edit));
//   host.HasSavedSettings() ? meter.ReadProperties(host.Properties()) : meter.InitProperties();
//
// and calls meter.WriteProperties(host.Properties()) as it closes. Everything runs on the thread
// of the QApplication.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <QPointer>
#include <QSettings>
#include <QString>
#include <QWidget>

#include "velmar/platform.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/serial_port_base.hpp"

class QLineEdit;
class QSocketNotifier;
class QTimer;

namespace velmar::qt {

// The control's event passes on Qt's own loop: its timers are QTimers, a port's descriptor is
// watched by QSocketNotifiers while a pass runs, and a waiting pass sleeps in Qt's dispatcher
// until a timer, the port or any window event wakes it, so waiting costs no CPU.
class QtEventLoop : public EventLoop, public posix::DescriptorWatch {
 public:
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  // Delivers pending Qt events (window input, paint, the control's timer ticks, port input) and
  // returns. Throws PortError once Abort was called. Microseconds, plus what the window's own
  // event handlers take.
  void ProcessEvents() override;
  // Sleeps until a control timer is due, the port is ready or any Qt event arrives, then
  // delivers what is pending. With no control timer running and no port waiting it only
  // delivers what is pending. Throws PortError once Abort was called. Worst case: the time to
  // the next control timer tick.
  void WaitForEvents() override;
  // A timer on a precise QTimer; ticks arrive during Qt event processing. Must not outlive the
  // loop.
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;

  void AddSource(posix::DescriptorSource* source) override;
  void RemoveSource(posix::DescriptorSource* source) override;

  // Makes every later pass throw PortError with `why`, so a command in progress ends as if its
  // port had vanished (the host closing its window during a read). The port stays as it was;
  // Resume lets passes run again.
  void Abort(const QString& why);
  void Resume();
  bool Aborted() const { return aborted_; }

  // Passes run so far, and the longest time between the starts of two passes of one wait
  // (what a window waits for its repaint while the control waits), since ResetGaps.
  std::uint64_t Passes() const { return passes_; }
  std::chrono::nanoseconds LongestGap() const { return longest_gap_; }
  void ResetGaps();

  class QtTimer;
  struct Watched;

 private:
  void Pass(bool wait);
  void WatchSources();
  void UnwatchSources();
  bool SomethingToWaitFor() const;
  void NoteGap();

  std::vector<QtTimer*> timers_;
  std::vector<std::unique_ptr<Watched>> sources_;
  std::uint64_t passes_ = 0;
  bool aborted_ = false;
  QString abort_reason_;
  std::chrono::steady_clock::time_point last_pass_{};
  std::chrono::nanoseconds longest_gap_{0};
};

// The control's message boxes as modal QMessageBox dialogs with one OK button: the control's
// title, or the application's display name when it gives none. The application's events keep
// running while a box is open.
class QtMessageBox : public MessageBox {
 public:
  // Returns when the user closes the box. Never throws.
  void Show(const std::string& text, const std::optional<std::string>& title) override;
  // The window the boxes are centred on (none: the screen).
  void SetParent(QWidget* parent) { parent_ = parent; }

 private:
  QPointer<QWidget> parent_;
};

// The control's saved settings in QSettings, under a group named after the control instance.
// Every value is stored as its text and read back as text (an INI-format QSettings keeps only
// texts anyway); the control's properties convert the text when they take it.
class QtPropertySet : public PropertySet {
 public:
  QtPropertySet(QSettings& settings, QString group);
  // The stored text, or `default_value` (as given, of its own type) when the entry is absent.
  // Microseconds.
  Variant Read(const std::string& name, const Variant& default_value) override;
  // Stores the value's text (QSettings writes it to disk soon after, and on sync()).
  // Microseconds.
  void Write(const std::string& name, const Variant& value, const Variant& default_value) override;
  // True when the group holds any entry: a control was saved here before.
  bool Exists() const;

 private:
  QSettings& settings_;
  QString group_;
};

// The container around the control: its instance name, and a note that its settings changed
// since they were last saved.
class QtContainer : public Container {
 public:
  explicit QtContainer(QString name) : name_(std::move(name)) {}
  void PropertyChanged(const std::string&) override { dirty_ = true; }
  std::string InstanceName() const override { return name_.toStdString(); }
  bool SettingsChanged() const { return dirty_; }
  void MarkSaved() { dirty_ = false; }

 private:
  QString name_;
  bool dirty_ = false;
};

// What a Qt program needs to host one control: create it after the QApplication, keep it alive
// as long as the control.
class Host {
 public:
  // Settings in the application's QSettings (organisation and application names as the program
  // set them), in the group `instance_name`.
  explicit Host(QString instance_name = QStringLiteral("Velmar1"));
  // Settings in the given QSettings (a test's temporary file, say).
  Host(std::unique_ptr<QSettings> settings, QString instance_name = QStringLiteral("Velmar1"));
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The event loop, message boxes and container for the control's constructor.
  HostServices Services();
  // A port on `device`: a serial device path (every port number of the control means it), or a
  // gateway as tcp://HOST:PORT. Closed; opened by the control's commands. Throws ArgumentError
  // for a tcp:// text without a valid host and port. Microseconds.
  std::unique_ptr<SerialPortBase> SerialPort(const QString& device);
  // The address field on the form, read by every meter read. The field may be deleted before
  // the control: the control then reads "254". Null: a field of its own holding "254".
  std::unique_ptr<TextField> AddressField(QLineEdit* field);
  // The saved settings for ReadProperties and WriteProperties.
  QtPropertySet& Properties() { return properties_; }
  // True when settings were saved before (answer ReadProperties), false on the first start
  // (answer InitProperties).
  bool HasSavedSettings() const { return properties_.Exists(); }
  QSettings& Settings() { return *settings_; }
  QtEventLoop& Events() { return events_; }
  QtMessageBox& Messages() { return messages_; }
  QtContainer& ContainerOf() { return container_; }

 private:
  std::unique_ptr<QSettings> settings_;
  QtEventLoop events_;
  QtMessageBox messages_;
  QtContainer container_;
  QtPropertySet properties_;
};

}  // namespace velmar::qt
