// A platform in virtual time, for tests and simulations: a virtual clock that jumps to the next
// event on each host event pass, virtual timers, and an in-memory serial line whose far end is
// a peer object (a simulated meter). A 3.1 s time-out runs in microseconds and exactly.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "velmar/platform.hpp"
#include "velmar/serial_port_base.hpp"

namespace velmar::virt {

using Nanos = std::int64_t;
constexpr Nanos kMillisecond = 1'000'000;

inline constexpr Nanos Ms(double ms) {
  return static_cast<Nanos>(ms * 1e6);
}

class VirtualEventLoop : public EventLoop {
 public:
  // Something that has events at points of virtual time.
  class Source {
   public:
    virtual ~Source() = default;
    // The time of its next event, or none.
    virtual std::optional<Nanos> NextEventTime() const = 0;
    // Runs every event due at or before `now`.
    virtual void RunDue(Nanos now) = 0;
  };

  // The clock starts at 0.
  VirtualEventLoop();
  ~VirtualEventLoop() override;

  // Virtual time in nanoseconds since the loop was made.
  Nanos Now() const { return now_; }
  // Runs what is due now, without moving the clock.
  void ProcessEvents() override;
  // Advances the clock to the next event and runs everything due then; returns at once when
  // nothing is scheduled.
  void WaitForEvents() override;
  // A timer ticking in virtual time; it must not outlive the loop.
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;

  // Sources are not owned; a source removes itself before it is destroyed.
  void AddSource(Source* source);
  void RemoveSource(Source* source);
  // Runs `action` during the first pass at or after `when` (a host event).
  void At(Nanos when, std::function<void()> action);
  // Passes run so far.
  std::uint64_t Passes() const { return passes_; }
  // A wait that never ends is a bug; past this many passes a pass throws logic_error.
  void SetPassLimit(std::uint64_t limit) { pass_limit_ = limit; }

 private:
  class HostActions;
  void RunDue();
  Nanos now_ = 0;
  std::vector<Source*> sources_;
  std::unique_ptr<HostActions> actions_;
  std::uint64_t passes_ = 0;
  std::uint64_t pass_limit_ = 10'000'000;
};

class VirtualSerialPort;

// The far end of a virtual line: gets every byte the control transmits, when its last bit has
// left, and may answer with SendToMaster.
class LinePeer {
 public:
  virtual ~LinePeer() = default;
  virtual void OnByteFromMaster(std::uint8_t b, VirtualSerialPort& line) = 0;
};

// A serial line in virtual time. Bytes sent leave one character time apart (the settings' bits
// over the speed) and reach the peer when their last bit is out; the peer's answers arrive the
// same way. Opening and closing cost no time.
class VirtualSerialPort : public SerialPortBase, private VirtualEventLoop::Source {
 public:
  // The peer (not owned) gets the bytes sent; without one they go nowhere.
  explicit VirtualSerialPort(VirtualEventLoop& loop, LinePeer* peer = nullptr);
  ~VirtualSerialPort() override;

  void SetPeer(LinePeer* peer) { peer_ = peer; }
  // Every open from now on fails, as for a missing device.
  void SetOpenFails(bool fails) { open_fails_ = fails; }
  // The adapter is gone: every later operation but closing throws PortError.
  void Unplug() { unplugged_ = true; }
  // Delivers bytes to the control starting at `start` (never before the line is free), one
  // character time apart, with `extra_gap` of silence between bytes.
  void SendToMaster(std::span<const std::uint8_t> bytes, Nanos start, Nanos extra_gap = 0);
  // Virtual time one character takes at the current settings (11 bits at 2400 baud: 4.58 ms).
  Nanos CharacterTime() const;
  Nanos Now() const { return loop_.Now(); }
  // How often the port was opened, and every byte that has left it so far.
  int OpenCount() const { return open_count_; }
  const std::vector<std::uint8_t>& Transmitted() const { return transmitted_; }
  // One byte on the line, and the virtual time its last bit left the sender.
  struct LineByte {
    Nanos end;
    bool fromMaster;
    std::uint8_t value;
  };
  // Every byte of both directions in order of time, once recording is on.
  void RecordLine(bool on) { record_line_ = on; }
  const std::vector<LineByte>& Line() const { return line_; }
  // Forgets what was transmitted so far; a long simulation keeps the record from growing.
  void ClearTransmitted() { transmitted_.clear(); }
  // Wakes the loop as a real port does that keeps a burst's bytes in its queue until they are
  // asked for: a byte that comes less than `gap` after the one before it does not wake the
  // loop (it is there at the next pass). 0, the default: every byte wakes it.
  void WakeOnlyAfterSilence(Nanos gap) { wake_gap_ = gap; }

  bool PortOpen() const override { return open_; }
  // Throws PortError when the port was unplugged or set to fail its opens.
  void SetPortOpen(bool open) override;
  int OutBufferCount() const override;
  // Throws PortError when the port is closed or unplugged.
  void Output(std::span<const std::uint8_t> data) override;

 private:
  std::optional<Nanos> NextEventTime() const override;
  void RunDue(Nanos now) override;
  void RequireUsable(const char* operation) const override;

  VirtualEventLoop& loop_;
  LinePeer* peer_;
  bool open_ = false;
  bool open_fails_ = false;
  bool unplugged_ = false;
  bool record_line_ = false;
  int open_count_ = 0;
  std::deque<std::pair<Nanos, std::uint8_t>> tx_;
  std::deque<std::pair<Nanos, std::uint8_t>> rx_scheduled_;
  Nanos rx_line_free_ = 0;
  Nanos wake_gap_ = 0;
  std::optional<Nanos> last_rx_;
  std::vector<std::uint8_t> transmitted_;
  std::vector<LineByte> line_;
};

// Message boxes, remembered in order.
class RecordingMessageBox : public MessageBox {
 public:
  struct Shown {
    std::string text;
    std::optional<std::string> title;
    bool operator==(const Shown&) const = default;
  };
  void Show(const std::string& text, const std::optional<std::string>& title) override {
    shown.push_back({text, title});
  }
  std::vector<Shown> shown;
};

// A property set in memory that remembers the order of its reads and writes.
class MemoryPropertySet : public PropertySet {
 public:
  Variant Read(const std::string& name, const Variant& default_value) override;
  void Write(const std::string& name, const Variant& value, const Variant& default_value) override;
  std::map<std::string, Variant> values;
  std::vector<std::string> reads;
  std::vector<std::string> writes;
};

// A container that remembers every property-changed notification.
class RecordingContainer : public Container {
 public:
  explicit RecordingContainer(std::string name = "Velmar1") : name_(std::move(name)) {}
  void PropertyChanged(const std::string& name) override { changed.push_back(name); }
  std::string InstanceName() const override { return name_; }
  std::vector<std::string> changed;

 private:
  std::string name_;
};

}  // namespace velmar::virt
