// What the control needs from its surroundings: a serial port, timers, one pass of host event
// processing, a message box, the host container with its property set, and the address text
// field. The posix and virtual platforms implement these; a GUI host can supply its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmar/variant.hpp"

namespace velmar {

// The serial line of a control: configured while closed, opened on demand, received bytes
// collected in the port's own buffer during host event passes. Every member takes microseconds
// (bytes leave and arrive during event passes, not inside a call); any member may throw
// PortError when the device refuses or has gone, and the port is then as the member says.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Whether the port is open. Opening an open port or closing a closed one does nothing; a
  // failed open throws PortError and leaves the port closed.
  virtual bool PortOpen() const = 0;
  virtual void SetPortOpen(bool open) = 0;
  // Port number, 1 and up; changing it while open throws PortError.
  virtual std::int16_t CommPort() const = 0;
  virtual void SetCommPort(std::int16_t port) = 0;
  // Speed, parity, data bits and stop bits, comma separated: "2400,e,8,1". Settings the port
  // cannot run throw PortError and leave the previous ones in force.
  virtual std::string Settings() const = 0;
  virtual void SetSettings(const std::string& settings) = 0;
  // Whether the RTS line is raised (some level converters draw power from it).
  virtual bool RTSEnable() const = 0;
  virtual void SetRTSEnable(bool raised) = 0;
  // 1 = bytes. The control only ever asks for bytes.
  virtual void SetInputMode(int mode) = 0;
  // Bytes one Input read delivers; 0 = every waiting byte.
  virtual void SetInputLen(int length) = 0;
  // Received-byte count at which a port that raises receive events would raise one; the
  // control handles no port event and only sets it.
  virtual void SetRThreshold(int count) = 0;

  // Received bytes waiting in the port's buffer. Throws PortError when the port is closed.
  virtual int InBufferCount() const = 0;
  // Discards every waiting received byte. Throws PortError when the port is closed.
  virtual void ClearInBuffer() = 0;
  // Bytes handed to Output and not yet on the line. Throws PortError when the port is closed.
  virtual int OutBufferCount() const = 0;
  // Queues the bytes for transmission and returns at once. Throws PortError when the port is
  // closed or the device has gone.
  virtual void Output(std::span<const std::uint8_t> data) = 0;
  // Takes the waiting bytes, oldest first (all of them when the input length is 0). Throws
  // PortError when the port is closed or the device has gone.
  virtual std::vector<std::uint8_t> Input() = 0;
};

// A periodic timer whose ticks arrive during host event passes. Constant time, never throws.
class Timer {
 public:
  virtual ~Timer() = default;
  // Period in milliseconds; a running timer starts a fresh period.
  virtual void SetInterval(int milliseconds) = 0;
  virtual int Interval() const = 0;
  // True starts ticking from a fresh period; False stops the ticks.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

// Host event processing. A pass delivers what is due (timer ticks, received bytes, the host's
// own events) and returns at once. The control's waits are loops of passes until a condition
// holds that only an event can change; there WaitForEvents stands for the passes that would
// find nothing new: it sleeps until the next thing is due and then runs one pass. That is what
// keeps a waiting control off the processor.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // One pass: delivers what is due and returns without waiting. Throws what a host event
  // handler throws.
  virtual void ProcessEvents() = 0;
  // Sleeps until something is due (at most until the earliest timer), then runs one pass.
  virtual void WaitForEvents() = 0;
  // A timer whose ticks call `on_tick` during passes of this loop; disabled until enabled.
  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) = 0;
};

// A modal message box with an OK button. No title means the host's default title. Returns when
// the person has closed it (a console host: at once); the host's events keep running meanwhile.
class MessageBox {
 public:
  virtual ~MessageBox() = default;
  virtual void Show(const std::string& text, const std::optional<std::string>& title) = 0;
};

// The per-instance property set the host container keeps for saved settings.
class PropertySet {
 public:
  virtual ~PropertySet() = default;
  // The stored value, or `default_value` when the entry is absent.
  virtual Variant Read(const std::string& name, const Variant& default_value) = 0;
  // The container may leave out a value equal to its default.
  virtual void Write(const std::string& name, const Variant& value,
                     const Variant& default_value) = 0;
};

// The host container around one control instance.
class Container {
 public:
  virtual ~Container() = default;
  // Marks the instance's saved settings as out of date.
  virtual void PropertyChanged(const std::string& name) = 0;
  virtual std::string InstanceName() const = 0;
};

// The address text field from which a meter read takes its address. Constant time.
class TextField {
 public:
  virtual ~TextField() = default;
  virtual std::string Text() const = 0;
  virtual void SetText(std::string text) = 0;
};

// A text field that is only a string, for hosts without a form ("254" unless told otherwise).
class SimpleTextField : public TextField {
 public:
  explicit SimpleTextField(std::string text = "254") : text_(std::move(text)) {}
  std::string Text() const override { return text_; }
  void SetText(std::string text) override { text_ = std::move(text); }

 private:
  std::string text_;
};

// Everything the control borrows from its host; the host keeps these alive while the control
// lives.
struct HostServices {
  EventLoop& events;
  MessageBox& messages;
  Container& container;
};

}  // namespace velmar
