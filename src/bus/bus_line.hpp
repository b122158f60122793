// The bus master's side of the line: opening the port, putting a frame on it, and hearing a
// reply that is complete by its own length. Waits are loops of host event passes that sleep
// until a byte or a deadline is due, so a window or a second bus stays live meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "velmar/bus.hpp"
#include "velmar/platform.hpp"

namespace velmar::bus {

struct Heard {
  std::vector<std::uint8_t> bytes;  // the reply, echo removed; ends where its frame ended
  bool complete = false;            // a whole frame by its length (or a lone E5)
};

struct ListenLimits {
  int replyTimeoutMs = 0;  // for the first byte of the answer (after any echo)
  int byteTimeoutMs = 0;   // for each pause inside an answer that has started
  bool echo = true;        // drop a leading repeat of the frame just sent
  bool ackCheck = false;   // after a lone E5, listen two characters more for a second answer
  // Only an E5 is a good answer: bytes that start otherwise end two characters of quiet after
  // the last, not at the byte time-out (several meters answering at once end that way).
  bool ackOnly = false;
  // A data request is never answered by E5: one that comes is a late acknowledge of an
  // earlier request, dropped while the real answer is awaited.
  bool dropLateAck = false;
};

class BusLine {
 public:
  BusLine(EventLoop& events, SerialPort& port);
  ~BusLine();

  // Opens a closed port and lets the line rest for the settle time (SetSettle). Throws
  // PortError.
  void Open();
  // How long the line rests after the port opens: a level converter fed from RTS or DTR needs
  // its supply up before the first frame; one with its own supply, and a gateway, need none.
  void SetSettle(int ms) { settle_ms_ = ms; }
  // Closes an open port and rests 50 ms, so that whoever opens it next (a gateway takes one
  // client at a time) finds it free. Never throws.
  void Close();
  // Drops stale input, queues `frame` and waits until it has left (at most its line time plus
  // one second: PortError then). Throws PortError.
  void Send(std::span<const std::uint8_t> frame);
  // Listens for the answer to `sent`. Throws PortError when the port fails meanwhile.
  Heard Listen(std::span<const std::uint8_t> sent, const ListenLimits& limits);
  // Takes and drops bytes until the line has been quiet for `pauseMs` (at most four pauses and
  // the longest frame's line time). Throws PortError when the port fails meanwhile.
  void DrainUntilQuiet(int pauseMs);
  // Waits `ms` milliseconds of host event passes.
  void Wait(int ms);
  // Seconds one character takes at the port's settings (read again only when the settings text
  // has changed). Throws PortError when the settings do not parse.
  double CharacterSeconds() const;
  SerialPort& port() { return port_; }
  const SerialPort& port() const { return port_; }

 private:
  void Arm(int ms);
  void ArmLimit(int ms);
  void Nap(int ms);
  void PassAtMost(int ms);
  void Take(std::vector<std::uint8_t>& into);

  EventLoop& events_;
  SerialPort& port_;
  std::unique_ptr<Timer> deadline_;
  std::unique_ptr<Timer> limit_;
  std::unique_ptr<Timer> nap_;
  bool deadline_passed_ = false;
  bool limit_passed_ = false;
  bool nap_passed_ = false;
  int settle_ms_ = 0;
  // The settings the character time was last worked out for: every exchange asks for it
  // several times, and the settings change only with the speed.
  mutable std::string settings_;
  mutable double character_seconds_ = 0;
};

}  // namespace velmar::bus
