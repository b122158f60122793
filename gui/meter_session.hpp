// The control behind the desktop tool's window: made for the device the user picked (the
// built-in simulated meter on a pseudo-terminal, a serial device, or a gateway), with its port
// settings restored from and saved to QSettings.
#pragma once

#include <memory>
#include <vector>

#include <QString>

#include "velmar/qt.hpp"
#include "velmar/velmar.hpp"

class QLineEdit;

namespace velmar::sim {
class SimMeter;
class PtyMeterServer;
}  // namespace velmar::sim

namespace velmar::gui {

class ReplyCapture;

// The device list entry that starts the built-in simulated meter.
inline const char* const kSimulatedDevice = "Simulated meter";

class MeterSession {
 public:
  // Settings in `settings`, or the application's QSettings when null.
  explicit MeterSession(std::unique_ptr<QSettings> settings = nullptr);
  ~MeterSession();
  MeterSession(const MeterSession&) = delete;
  MeterSession& operator=(const MeterSession&) = delete;

  qt::Host& host() { return *host_; }
  // Makes a control for `device` reading its address from `address`: restored from saved
  // settings when there are some, initialised otherwise. The simulated meter starts on a
  // pseudo-terminal at `speed` baud. An earlier control is closed first. Throws Error (also
  // ArgumentError for a malformed tcp:// text, system_error when no pseudo-terminal is left);
  // the session then has no control. Nothing is sent to any meter.
  Velmar& Open(const QString& device, int speed, QLineEdit* address);
  Velmar* control() { return control_.get(); }
  SerialPortBase* port() { return port_; }
  // The bytes the control took off the line since it last sent (its latest reply), empty
  // without a control. Constant time.
  const std::vector<std::uint8_t>& LastReply() const;
  // The simulated meter (the first of a simulated bus) when it is the device in use, else null.
  sim::SimMeter* simulator() { return meters_.empty() ? nullptr : meters_.front().get(); }
  // The meter at primary address n (1..) of a simulated bus, or null.
  sim::SimMeter* simulator(int n) {
    return n >= 1 && n <= static_cast<int>(meters_.size()) ? meters_[n - 1].get() : nullptr;
  }
  // How many meters the simulated device has (1, the default: one meter at address 1; more: a
  // bus at 1..n, identification numbers 12345678 for the first and 123456nn after). Takes
  // effect at the next Open.
  void SetSimulatedMeters(int n) { simulated_ = n; }
  // The simulated meter's side of the pseudo-terminal (to pull its plug), or null.
  sim::PtyMeterServer* simulatorLine() { return server_.get(); }
  const QString& device() const { return device_; }
  // The device the simulated meter's pseudo-terminal has, or "".
  QString SimulatorPath() const;

  // Writes the control's settings (the container's save event). Microseconds.
  void Save();
  // Closes the port (50 ms when open), drops the control and stops the simulated meter.
  void Shutdown();

 private:
  std::unique_ptr<qt::Host> host_;
  std::vector<std::unique_ptr<sim::SimMeter>> meters_;
  int simulated_ = 1;
  std::unique_ptr<sim::PtyMeterServer> server_;
  SerialPortBase* port_ = nullptr;
  ReplyCapture* capture_ = nullptr;  // between the control and port_, owned by the control
  std::unique_ptr<Velmar> control_;
  QString device_;
};

}  // namespace velmar::gui
