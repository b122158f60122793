// The platform for a real serial line on Linux and other POSIX systems: a termios serial port,
// an event pass that sleeps in poll() until the next timer deadline or received byte, a console
// message box on stderr, and saved settings in a small text file.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "velmar/platform.hpp"

namespace velmar::posix {

using Clock = std::chrono::steady_clock;

class PosixEventLoop : public EventLoop {
 public:
  // A file descriptor (or none) to watch, and an optional time by which the loop must wake.
  class Source {
   public:
    virtual ~Source() = default;
    virtual int Fd() const = 0;
    // The poll events wanted now; with 0 the descriptor is still watched for a hang-up.
    virtual short Events() const = 0;
    virtual std::optional<Clock::time_point> WakeAt() const { return std::nullopt; }
    virtual void OnReady(short revents) = 0;
  };

  PosixEventLoop();
  ~PosixEventLoop() override;
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  // Runs what is due now: ready descriptors and expired timers.
  void ProcessEvents() override;
  // Sleeps until the earliest timer deadline or source wake time, or until a watched
  // descriptor is ready; then runs what is due. With nothing to wait for it returns at once.
  void WaitForEvents() override;
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;

  void AddSource(Source* source);
  void RemoveSource(Source* source);
  std::uint64_t Passes() const { return passes_; }

  class PosixTimer;
  void AddTimer(PosixTimer* timer);
  void RemoveTimer(PosixTimer* timer);

 private:
  std::optional<Clock::time_point> NextDeadline() const;
  void Pass(bool wait);
  std::optional<Clock::time_point> ArmDeadline(Clock::time_point when);
  void LearnWakeLatency(Clock::duration late);
  void RunDueTimers();

  std::vector<Source*> sources_;
  std::vector<PosixTimer*> timers_;
  std::uint64_t passes_ = 0;
  int deadline_fd_ = -1;  // timerfd that wakes the poll at the next deadline
  Clock::duration wake_latency_{0};
  std::vector<pollfd> fds_;  // reused by every pass
  std::vector<Source*> watched_;
};

// A serial port on a device path. Port number N is looked up in a table the host can fill
// (SetDevicePath); without an entry it is /dev/ttyS{N-1}.
class PosixSerialPort : public SerialPort, private PosixEventLoop::Source {
 public:
  explicit PosixSerialPort(PosixEventLoop& loop);
  ~PosixSerialPort() override;

  void SetDevicePath(std::int16_t port, std::string path);
  std::string DevicePath() const;
  // True when the open device is a pseudo-terminal (which has no parity and no modem lines).
  bool IsPseudoTerminal() const;

  bool PortOpen() const override { return fd_ >= 0; }
  void SetPortOpen(bool open) override;
  std::int16_t CommPort() const override { return comm_port_; }
  void SetCommPort(std::int16_t port) override;
  std::string Settings() const override { return settings_; }
  void SetSettings(const std::string& settings) override;
  bool RTSEnable() const override { return rts_; }
  void SetRTSEnable(bool raised) override;
  void SetInputMode(int mode) override { input_mode_ = mode; }
  void SetInputLen(int length) override { input_len_ = length; }
  void SetRThreshold(int count) override { threshold_ = count; }
  int InBufferCount() const override;
  void ClearInBuffer() override;
  int OutBufferCount() const override;
  void Output(std::span<const std::uint8_t> data) override;
  std::vector<std::uint8_t> Input() override;

 private:
  // A device that is gone is no longer watched: its hang-up would wake every pass.
  int Fd() const override { return lost_ ? -1 : fd_; }
  short Events() const override;
  std::optional<Clock::time_point> WakeAt() const override;
  void OnReady(short revents) override;

  void Open();
  void Close();
  void ApplySettings();
  void ApplyRts();
  void Drain();
  void Flush();
  int KernelQueued() const;
  void RequireOpen(const char* operation) const;
  void MarkLost(const std::string& why);

  PosixEventLoop& loop_;
  std::map<std::int16_t, std::string> devices_;
  int fd_ = -1;
  std::string path_;
  bool lost_ = false;
  std::string lost_reason_;
  std::int16_t comm_port_ = 1;
  std::string settings_ = "9600,n,8,1";
  bool rts_ = false;
  int input_mode_ = 0;
  int input_len_ = 0;
  int threshold_ = 0;
  std::vector<std::uint8_t> in_buffer_;
  std::vector<std::uint8_t> pending_out_;
};

// Message boxes as lines on stderr: "Error: text"; without a title, the default title.
class ConsoleMessageBox : public MessageBox {
 public:
  explicit ConsoleMessageBox(std::string default_title = "velmar")
      : default_title_(std::move(default_title)) {}
  void Show(const std::string& text, const std::optional<std::string>& title) override;

 private:
  std::string default_title_;
};

// Saved settings as "name=value" lines in a text file, rewritten on every write.
class FilePropertySet : public PropertySet {
 public:
  explicit FilePropertySet(std::string path);
  Variant Read(const std::string& name, const Variant& default_value) override;
  void Write(const std::string& name, const Variant& value, const Variant& default_value) override;
  bool Exists() const;

 private:
  std::map<std::string, std::string> Load() const;
  std::string path_;
};

class ConsoleContainer : public Container {
 public:
  explicit ConsoleContainer(std::string name = "Velmar1") : name_(std::move(name)) {}
  void PropertyChanged(const std::string& name) override { changed_.push_back(name); }
  std::string InstanceName() const override { return name_; }
  const std::vector<std::string>& Changed() const { return changed_; }

 private:
  std::string name_;
  std::vector<std::string> changed_;
};

}  // namespace velmar::posix
