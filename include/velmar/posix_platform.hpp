// The platform for a real serial line on Linux and other POSIX systems: a termios serial port,
// an event pass that sleeps until the next timer deadline or received byte, a console message
// box on stderr, and saved settings in a small text file.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmar/platform.hpp"
#include "velmar/serial_port_base.hpp"

struct termios;

namespace velmar::posix {

using Clock = std::chrono::steady_clock;

// What a watched descriptor is ready for, or asks to be woken for.
enum IoEvents : unsigned {
  kNoEvents = 0,
  kReadable = 1,
  kWritable = 2,
  kHangUp = 4,  // reported only: the other end is gone, or the descriptor failed
};

// A file descriptor (or none) to watch, and an optional time by which the loop must wake.
class DescriptorSource {
 public:
  virtual ~DescriptorSource() = default;
  // The descriptor to watch, or -1 for none.
  virtual int Fd() const = 0;
  // The IoEvents wanted now; with kNoEvents the descriptor is still watched for a hang-up.
  virtual unsigned Events() const = 0;
  virtual std::optional<Clock::time_point> WakeAt() const { return std::nullopt; }
  // Called during a pass with the IoEvents that occurred.
  virtual void OnReady(unsigned events) = 0;
};

// Where a port registers its descriptor: an event loop that watches it and calls OnReady during
// its passes. The posix loop does it with ppoll(); a GUI host does it on its toolkit's loop.
class DescriptorWatch {
 public:
  virtual ~DescriptorWatch() = default;
  // Sources are not owned; a source removes itself before it is destroyed. Constant time.
  virtual void AddSource(DescriptorSource* source) = 0;
  virtual void RemoveSource(DescriptorSource* source) = 0;
};

// Host event processing on ppoll(): one pass runs what is due (ready descriptors, expired
// timers); a waiting pass first sleeps until the earliest timer deadline, source wake time or
// ready descriptor. Timers fire on the thread that runs the passes.
class PosixEventLoop : public EventLoop, public DescriptorWatch {
 public:
  using Source = DescriptorSource;

  // Throws std::system_error when the system refuses a timer descriptor.
  PosixEventLoop();
  ~PosixEventLoop() override;
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  // Runs what is due now and returns; takes microseconds.
  void ProcessEvents() override;
  // Sleeps until the earliest timer deadline or source wake time, or until a watched
  // descriptor is ready; then runs what is due. With nothing to wait for it returns at once.
  // Worst case: the time to the earliest deadline.
  void WaitForEvents() override;
  // A timer whose ticks run during passes of this loop; it must not outlive the loop.
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;

  void AddSource(Source* source) override;
  void RemoveSource(Source* source) override;
  // Passes run so far (a measure of how often a wait woke up).
  std::uint64_t Passes() const { return passes_; }

  class PosixTimer;
  void AddTimer(PosixTimer* timer);
  void RemoveTimer(PosixTimer* timer);

 private:
  struct PollSet;
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
  std::unique_ptr<PollSet> poll_;  // reused by every pass
};

// A port whose bytes travel through one file descriptor: received bytes are fetched from the
// kernel during event passes of the loop or when the control asks, queued output is written as
// the descriptor takes it, and a descriptor that fails or hangs up makes every later operation
// but closing throw PortError. The serial device and the network gateway differ only in how the
// descriptor is opened and what their settings do.
class PosixStreamPort : public SerialPortBase, private DescriptorSource {
 public:
  ~PosixStreamPort() override;

  bool PortOpen() const override { return fd_ >= 0; }
  // Opens or closes; a failed open throws PortError, keeps the reason in LastError and leaves
  // the port closed.
  void SetPortOpen(bool open) override;
  // Bytes handed to Output and not yet on their way (in the port and in the kernel).
  int OutBufferCount() const override;
  // Queues the bytes and writes what the kernel takes now; the rest leaves during passes.
  // Throws PortError when the port is closed or the other end is gone.
  void Output(std::span<const std::uint8_t> data) override;

 protected:
  explicit PosixStreamPort(DescriptorWatch& loop);
  // Opens the descriptor (non-blocking, close-on-exec) and sets it up; throws PortError.
  virtual int OpenDescriptor() = 0;
  // Set-up once the descriptor is the port's; a PortError closes it again.
  virtual void AfterOpen() {}
  // Last words before the descriptor closes (a terminal gets its settings back).
  virtual void BeforeClose(int /*fd*/) {}
  // What messages call the port: a device path, or host:port.
  virtual std::string Name() const = 0;
  // Whether a read of no bytes means the other end has gone (a socket) rather than that nothing
  // is waiting (a terminal without a minimum read).
  virtual bool EndOfStreamIsHangUp() const { return false; }
  // Why the other end is gone when the stream ended (a program can tell how it exited).
  virtual std::string EndOfStreamReason() { return "the other end closed the connection"; }

  int fd() const { return fd_; }
  bool lost() const { return lost_; }
  void RequireUsable(const char* operation) const override;
  int QueuedBeyondBuffer() const override;
  void FetchQueued() override;
  void DropQueued() override;

 private:
  int Fd() const override { return lost_ ? -1 : fd_; }
  unsigned Events() const override;
  std::optional<Clock::time_point> WakeAt() const override;
  void OnReady(unsigned events) override;
  void Close();
  void Flush();
  void MarkLost(const std::string& why);

  DescriptorWatch& loop_;
  int fd_ = -1;
  bool lost_ = false;
  std::string lost_reason_;
  std::vector<std::uint8_t> pending_out_;
};

// A serial port on a device path. Port number N is looked up in a table the host can fill
// (SetDevicePath); without an entry it is the default device, or /dev/ttyS{N-1}. Opening takes the
// device exclusively (another program holding it makes the open fail), saves the terminal's
// settings and applies the port's; closing puts the saved settings back.
class PosixSerialPort : public PosixStreamPort {
 public:
  explicit PosixSerialPort(DescriptorWatch& loop);
  ~PosixSerialPort() override;

  // Names the device of port number `port`.
  void SetDevicePath(std::int16_t port, std::string path);
  // Names the device of every port number without an entry of its own (instead of
  // /dev/ttyS{N-1}): a host that lets the user pick a device rather than a number.
  void SetDefaultDevice(std::string path);
  // The device of the current port number.
  std::string DevicePath() const;
  // True when the open device is a pseudo-terminal (which has no parity and no modem lines).
  bool IsPseudoTerminal() const;

 private:
  int OpenDescriptor() override;
  void AfterOpen() override;
  void BeforeClose(int fd) override;
  std::string Name() const override { return path_; }
  void CheckSettings(const SerialSettings& settings) const override;
  void ApplySettings() override;
  void ApplyRts() override;
  void DropQueued() override;

  std::map<std::int16_t, std::string> devices_;
  std::string default_device_;
  std::string path_;
  std::unique_ptr<termios> saved_;  // the terminal's settings before this port opened it
};

// A transparent M-Bus to Ethernet gateway: the raw M-Bus bytes of one bus over a TCP
// connection. Opening connects (at most ConnectTimeout, three seconds unless set), closing
// disconnects. The speed and RTS settings are kept and reported but not applied: the gateway
// runs its bus line with its own settings. A connection the gateway drops ends the waiting call
// with PortError, as an unplugged adapter does; the next open connects again.
class TcpGatewayPort : public PosixStreamPort {
 public:
  TcpGatewayPort(DescriptorWatch& loop, std::string host, std::uint16_t port);
  ~TcpGatewayPort() override;

  const std::string& Host() const { return host_; }
  std::uint16_t TcpPort() const { return port_; }
  void SetConnectTimeout(std::chrono::milliseconds timeout) { connect_timeout_ = timeout; }

 private:
  int OpenDescriptor() override;
  std::string Name() const override;
  bool EndOfStreamIsHangUp() const override { return true; }

  std::string host_;
  std::uint16_t port_;
  std::chrono::milliseconds connect_timeout_{3000};
};

// A program's standard output as a port, for receivers that are programs (a software-defined
// radio's decoder): opening starts the program (no shell; standard input from /dev/null), its
// standard error is handed line by line to the host, and the end of its output (it exited or
// died) makes the port gone with how it ended, once the output that came before it has been
// read. Closing stops it (SIGTERM, SIGKILL after two
// seconds) and reaps it. Output to the program is refused.
class PosixProcessPort : public PosixStreamPort {
 public:
  // `argv[0]` is looked up on PATH. Nothing starts before SetPortOpen(true).
  PosixProcessPort(DescriptorWatch& loop, std::vector<std::string> argv);
  ~PosixProcessPort() override;

  // Receives each line the program writes to its standard error (without the newline; a
  // line longer than 1000 characters is cut). Called during event passes.
  void OnErrorLine(std::function<void(const std::string&)> handler) {
    error_line_ = std::move(handler);
  }
  // The running program's process id, or -1.
  int Pid() const { return pid_; }

 private:
  class ErrorPipe;
  int OpenDescriptor() override;
  void BeforeClose(int fd) override;
  std::string Name() const override { return argv_.front(); }
  bool EndOfStreamIsHangUp() const override { return true; }
  std::string EndOfStreamReason() override;
  void RequireReadable(const char* operation) const override;
  // Waits up to `ms` for the program to end; its status text, or "" while it runs.
  std::string Reap(int ms);
  void Stop();

  DescriptorWatch& loop_;
  std::vector<std::string> argv_;
  std::function<void(const std::string&)> error_line_;
  std::unique_ptr<ErrorPipe> errors_;
  int pid_ = -1;
  std::string ended_;
};

// Parses "tcp://HOST:PORT" into host and port; false for any other text (a device path).
// Throws ArgumentError naming the text when it starts with tcp:// but the port is not 1-65535
// or the host is empty.
bool ParseGatewayAddress(const std::string& text, std::string& host, std::uint16_t& port);

// The port a host's device text names: a TcpGatewayPort for tcp://HOST:PORT, otherwise a
// PosixSerialPort whose every port number means `device` (an empty text keeps the
// /dev/ttyS{N-1} numbering). Closed; watched by `loop`. Throws ArgumentError as
// ParseGatewayAddress does. Microseconds.
std::unique_ptr<SerialPortBase> PortForDevice(DescriptorWatch& loop, const std::string& device);

// Message boxes as lines on stderr: "title: text"; without a title, the default title.
class ConsoleMessageBox : public MessageBox {
 public:
  explicit ConsoleMessageBox(std::string default_title = "velmar")
      : default_title_(std::move(default_title)) {}
  // Returns once the line is written; never throws.
  void Show(const std::string& text, const std::optional<std::string>& title) override;

 private:
  std::string default_title_;
};

// Saved settings as "name=value" lines in a text file, rewritten on every write.
class FilePropertySet : public PropertySet {
 public:
  explicit FilePropertySet(std::string path);
  // The value as text, or `default_value` when the file or the entry is missing.
  Variant Read(const std::string& name, const Variant& default_value) override;
  // Rewrites the file through a temporary file and a rename, so a failed write leaves the old
  // file whole. Throws Error when the file cannot be written.
  void Write(const std::string& name, const Variant& value, const Variant& default_value) override;
  bool Exists() const;

 private:
  std::map<std::string, std::string> Load() const;
  std::string path_;
};

// The container of a control in a console program: an instance name. A console program saves
// settings when told to (velmar config), so change notifications need no record.
class ConsoleContainer : public Container {
 public:
  explicit ConsoleContainer(std::string name = "Velmar1") : name_(std::move(name)) {}
  void PropertyChanged(const std::string&) override {}
  std::string InstanceName() const override { return name_; }

 private:
  std::string name_;
};

}  // namespace velmar::posix
