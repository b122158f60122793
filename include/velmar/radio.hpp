// Radio receivers for wireless M-Bus: the USB sticks' serial protocols (IMST iM871A, Amber
// AMB8465, a CUL running culfw) and plain hex lines, each turning the bytes a receiver delivers
// into telegrams, and a receiver on any port of the platform (a serial line or a TCP stream).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmar/platform.hpp"
#include "velmar/wmbus.hpp"

namespace velmar {

enum class ReceiverKind : std::uint8_t { kIm871a, kAmb8465, kCul, kHex };

// "im871a", "amb8465", "cul", "hex" and back; nullopt for any other name.
std::optional<ReceiverKind> ReceiverByName(std::string_view name);
std::string_view ReceiverName(ReceiverKind kind);
// The serial line settings the receiver runs at ("57600,n,8,1" for the iM871A).
std::string_view ReceiverSettings(ReceiverKind kind);

// The link mode a receiver listens in: T1 (frequent transmit), C1 (compact), S1 (stationary).
enum class RadioMode : std::uint8_t { kT1, kC1, kS1 };
// "t1", "c1", "s1" (either case) and back ("T1", ...); nullopt for any other name.
std::optional<RadioMode> RadioModeByName(std::string_view name);
std::string_view RadioModeName(RadioMode mode);

// One telegram as a receiver delivered it.
struct HeardTelegram {
  std::vector<std::uint8_t> bytes;  // from the L field; the receiver may have removed the CRCs
  std::optional<int> rssi;          // received signal strength in dBm, where the receiver says
  std::optional<RadioMode> mode;    // the link mode it came in, where known
  // The sticks and software radios check the block CRCs and pass the frame on without them; a
  // plain hex line is taken as sent on the air unless its reader is told otherwise.
  FrameCrcs crcs = FrameCrcs::kRemoved;
};

// The byte stream of one kind of receiver, without I/O: the command that starts it listening
// in a mode, its answer, and the telegrams in what it delivers. The stick's own side (answers
// and indications) is here too, so a simulated stick speaks exactly what is read.
class ReceiverProtocol {
 public:
  virtual ~ReceiverProtocol() = default;

  // The command that sets the link mode; empty when the receiver takes none (hex lines).
  virtual std::vector<std::uint8_t> StartCommand(RadioMode mode) const = 0;
  // Reads delivered bytes (any split); telegrams heard are appended to `heard`. Bytes that are
  // no frame of this receiver are skipped and counted.
  virtual void Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) = 0;
  // Whether the receiver confirmed the start command (true at once when it takes none).
  virtual bool Started() const = 0;
  // Frames or lines skipped so far; why each was, since the last call (at most the first 16
  // reasons are kept between calls, so noise cannot grow the reader).
  std::uint64_t Skipped() const { return skipped_; }
  std::vector<std::string> TakeSkipReasons() { return std::exchange(reasons_, {}); }

  // The stick's side: its answer to every complete command in `bytes` (any split), and a
  // telegram (from L, without CRCs) as it delivers it with `rssi` dBm.
  virtual std::vector<std::uint8_t> Answer(std::span<const std::uint8_t> bytes) = 0;
  virtual std::vector<std::uint8_t> Indication(std::span<const std::uint8_t> telegram,
                                               int rssi) const = 0;

 protected:
  void Skip(std::string why) {
    ++skipped_;
    if (reasons_.size() < 16) reasons_.push_back(std::move(why));
  }

 private:
  std::uint64_t skipped_ = 0;
  std::vector<std::string> reasons_;
};

// A receiver whose stream is text lines ended by LF (a CR before it is dropped): Feed cuts the
// lines, in any split, and hands each whole line to Line(); a line longer than `longest`
// characters is skipped as such, the stream going on after it.
class LineReceiverProtocol : public ReceiverProtocol {
 public:
  void Feed(std::span<const std::uint8_t> bytes, std::vector<HeardTelegram>& heard) final;

 protected:
  explicit LineReceiverProtocol(std::size_t longest) : longest_(longest) {}
  // One whole line without its end; `number` counts the lines from 1 (for skip reasons).
  virtual void Line(std::string_view line, std::uint64_t number,
                    std::vector<HeardTelegram>& heard) = 0;

 private:
  std::string line_;
  std::size_t longest_;
  bool too_long_ = false;
  std::uint64_t number_ = 0;
};

// A new protocol reader of `kind`; `hex_lines` says how plain hex lines come (see HeardTelegram).
std::unique_ptr<ReceiverProtocol> MakeReceiverProtocol(ReceiverKind kind,
                                                       FrameCrcs hex_lines = FrameCrcs::kPresent);

// A receiver on an open-able port and the host's event loop.
class RadioReceiver {
 public:
  RadioReceiver(EventLoop& events, SerialPort& port, ReceiverKind kind,
                FrameCrcs hex_lines = FrameCrcs::kPresent);
  // A receiver of a host's own protocol: `settings` are the line settings the port is opened
  // at, `model` what the start failure asks the user to check ("a CUL running culfw").
  RadioReceiver(EventLoop& events, SerialPort& port, std::unique_ptr<ReceiverProtocol> protocol,
                std::string settings, std::string model);
  ~RadioReceiver();
  RadioReceiver(const RadioReceiver&) = delete;
  RadioReceiver& operator=(const RadioReceiver&) = delete;

  // Opens the port at the receiver's settings, sends the start command for `mode` and waits up
  // to `timeoutMs` for its confirmation. Returns "" or one line naming the device's failure
  // ("the receiver did not confirm link mode T1 within 2000 ms: is it an iM871A?"). Throws
  // PortError when the port cannot be opened. Port open afterwards. At most timeoutMs plus the
  // port's open time.
  std::string Start(RadioMode mode, int timeoutMs);
  // Waits until at least one telegram is heard or `ms` pass, and returns those heard (none
  // when the time passed), with the mode the stick was started in (hex lines: the mode their
  // line names, if any). Throws PortError when the port fails (a stick unplugged, a stream
  // closed). Returns early when `stop` is set by an event handler.
  std::vector<HeardTelegram> Listen(int ms, const bool* stop = nullptr);
  ReceiverProtocol& Protocol() { return *protocol_; }

 private:
  void Arm(int ms);
  void Disarm();

  EventLoop& events_;
  SerialPort& port_;
  std::unique_ptr<ReceiverProtocol> protocol_;
  std::string settings_;
  std::string model_;
  std::optional<RadioMode> mode_;  // the mode a stick confirmed
  std::unique_ptr<Timer> deadline_;
  std::unique_ptr<Timer> tick_;  // wakes the loop to look at the port while waiting
  bool passed_ = false;
};

}  // namespace velmar
