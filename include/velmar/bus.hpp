// The general M-Bus master: one object per bus that reaches any maker's meter (EN 13757-2 link
// layer, EN 13757-3 application layer). Every operation goes through one exchange: send a
// frame, then take the reply as complete as soon as its own length says so (E5; 10 .. 16;
// 68 L L 68 .. CS 16), so a read costs line time plus milliseconds and a gateway that delivers
// in bursts never cuts a reply short. Requests without a proper reply are repeated with the same
// frame-count bit. All state (frame-count bits, the selected meter, options) belongs to the
// object: two buses on one thread never see each other.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmar/platform.hpp"
#include "velmar/records.hpp"
#include "velmar/status.hpp"
#include "velmar/trace.hpp"

namespace velmar {

// An identification number as its eight digits, leading zeros kept ("00000042": a number of
// fewer digits would read as a primary address). Every tool shows a number from a scan or an
// address this way.
std::string IdentNumberText(std::uint32_t identNumber);

// A meter's address: a primary address (0-250; 253 the selected meter, 254 the one meter on a
// point-to-point line, 255 broadcast, which no meter answers), or an identification number of
// eight BCD digits with an optional manufacturer, version and medium. A meter named by its
// identification number is selected (SND_UD, CI 0x52) and then addressed at 253.
struct Address {
  bool secondary = false;
  std::uint8_t primary = 254;
  std::uint32_t identNumber = 0;  // as its eight decimal digits read
  std::optional<std::uint16_t> manufacturer;
  std::optional<std::uint8_t> version;
  std::optional<std::uint8_t> medium;
  // A search's selection: the eight nibbles as sent, most significant first, 0xF for any
  // digit. When set it is sent instead of `identNumber`.
  std::optional<std::uint32_t> wildcardIdent;

  static Address Primary(std::uint8_t address);
  static Address Ident(std::uint32_t identNumber);
  // Text forms: 1-3 digits a primary address ("42"), exactly 8 digits an identification number
  // ("00000042", leading zeros kept). Nullopt for anything else or a primary address of
  // 251-252; `why` (when given) then says what is accepted.
  static std::optional<Address> Parse(std::string_view text, std::string* why = nullptr);
  // "42", or "00000042" for an identification number.
  std::string Text() const;
  bool operator==(const Address&) const = default;
};

// One frame as it came off the line, and when its last byte was taken.
struct ReceivedTelegram {
  std::vector<std::uint8_t> bytes;
  std::chrono::system_clock::time_point received;
  bool operator==(const ReceivedTelegram& other) const { return bytes == other.bytes; }
};

// What a read brought: its result, the telegrams as received, and their records decoded by the
// standard record decoder (their data fields point into `telegrams`: a Reading copies and
// moves safely, a copy's fields pointing into its own telegrams; nothing is decoded again).
struct Reading {
  Status result = Status::kNoReply;
  // The link check's code of the reply that failed (LinkResult: -1 start, -2 stop, -3 structure,
  // -4 checksum, -6 length), 0 otherwise; hosts that report the control's codes use it.
  std::int16_t linkResult = 0;
  std::vector<ReceivedTelegram> telegrams;
  std::vector<DataRecord> records;  // of every telegram, in order
  TelegramHeader header;            // of the first telegram
  std::string recordError;          // a malformed record that ended a telegram's list, or ""
  // The manufacturer's bytes after DIF 0x0F or 0x1F, of the last telegram that had them (they
  // point into `telegrams`; a copy's into its own).
  std::span<const std::uint8_t> manufacturerData;
  bool moreRecords = false;  // the last telegram read still announced more
  int attempts = 0;          // requests sent for the data, repeats included
  // How many times a telegram of this reading went through the record decoder: one per
  // telegram, as each is decoded once when it is added and never again (a copy keeps the count).
  int decodes = 0;

  Reading() = default;
  Reading(const Reading& other);
  Reading& operator=(const Reading& other);
  Reading(Reading&&) noexcept = default;
  Reading& operator=(Reading&&) noexcept = default;
  // Appends a telegram and decodes it, once: its records are added to `records`, the first
  // telegram gives `header`, the first malformed record `recordError`, bytes of the maker's
  // after the records `manufacturerData`, and `moreRecords` says
  // whether it announced more (false when it does not decode). Microseconds; throws nothing
  // but std::bad_alloc.
  void AddTelegram(ReceivedTelegram telegram);
  // The telegrams' bytes alone, in order.
  std::vector<std::vector<std::uint8_t>> TelegramBytes() const;
};

enum class EchoMode : std::uint8_t {
  kAuto,  // bytes that repeat the frame just sent are dropped before the answer is judged
  kOff,   // every byte received is the meter's
};

struct BusOptions {
  // How long a meter has for the first byte of its answer. 0: the standard's 330 bit times
  // plus 50 ms at the port's speed, rounded up (188 ms at 2400 baud, 85 ms at 9600).
  int replyTimeoutMs = 0;
  // How long a reply that has started may pause before it counts as ended short. Gateways
  // deliver in bursts with gaps of 200 ms and more, so this is generous.
  int byteTimeoutMs = 500;
  // Repeats of a request that got no reply or a damaged one (same frame-count bit).
  int retries = 2;
  EchoMode echo = EchoMode::kAuto;
  // How long the line rests after the port opens, before the first frame. A level converter
  // that takes its supply from RTS or DTR needs it up first (tens of ms); one with its own
  // supply, a pseudo-terminal and a gateway need nothing.
  int settleMs = 0;
};

struct ReadOptions {
  // Fetch every telegram while one ends with "more records follow" (DIF 0x1F), toggling the
  // frame-count bit, up to `maxTelegrams`; false reads the first telegram only.
  bool allTelegrams = true;
  int maxTelegrams = 16;
};

// What came back for a raw frame: the result of judging it and the bytes as received.
struct RawReply {
  Status result = Status::kNoReply;
  std::vector<std::uint8_t> bytes;
};

// Counts and line times since the bus was made: each frame sent at the port's character time,
// each reply heard at the same, and the reply time-out of each request that got no answer.
struct BusStats {
  int framesSent = 0;
  int repliesHeard = 0;
  double sentSeconds = 0;
  double heardSeconds = 0;
  double silentSeconds = 0;
};

// Times below: one exchange is its frame on the line, then up to the reply time-out for the
// first byte of the answer, the answer's own line time, and a byte time-out for each pause
// inside it; an answer that never completes ends at the latest after the reply time-out, a byte
// time-out for each byte of the longest frame (a gateway may pass bytes on one at a time) and
// that frame's line time (about 132 s at 2400 baud with the defaults, reached only by a line
// that trickles noise). A request is sent at most 1 + retries times. Opening the port adds
// settleMs.
class Bus {
 public:
  // Uses the port as configured (device, settings, RTS); opens it on the first operation and
  // keeps it open until Close() or destruction. The loop and port must outlive the bus. Never
  // throws but std::bad_alloc.
  Bus(EventLoop& events, SerialPort& port, BusOptions options = {});
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Link reset (SND_NKE) to a primary address, or selection and link reset at 253 for an
  // identification number; kOk on an acknowledge. The next REQ_UD2 carries the frame-count bit
  // set. kNoReply, kCollision, kNotAcknowledged otherwise; kPortError when the port did not open
  // or failed (the port is then closed and PortFailure says why). Typically two character times
  // and the meter's answer delay; a silent address costs (1 + retries) reply time-outs. Port:
  // open after anything but kPortError. Throws nothing (a failing port is kPortError).
  Status Reset(const Address& address);
  // Selects the meter with this identification number (any manufacturer, version, medium where
  // not given); kOk on an acknowledge, kCollision when several meters answered. kBadAddress for
  // a primary address (nothing sent). Results, time and port as Reset.
  Status Select(const Address& address);
  // Reads a meter: link reset, then REQ_UD2 (first with the frame-count bit set) for each
  // telegram. The reading's result is that of the first telegram that failed, or kOk; the
  // telegrams before a failure are kept, and `linkResult` says how the failing frame broke.
  // Typically the line time of the frames and the meter's answer delays (a millisecond more);
  // worst case the reset's plus, per telegram, 1 + retries exchanges. Port: open after anything
  // but kPortError. Throws nothing but std::bad_alloc.
  Reading Read(const Address& address, ReadOptions options = {});
  // Application reset (SND_UD, CI 0x50, with the subcode as its one data byte when given),
  // after reaching the meter as Reset does. kOk on the acknowledge; results, time and port as
  // Reset.
  Status ApplicationReset(const Address& address, std::optional<std::uint8_t> subcode);
  // Gives the meter a new primary address (SND_UD CI 0x51, data 01 7A NN) and confirms it with a
  // link reset at the new address (kNoReply when that reset goes unanswered). kBadArgument for
  // a new address outside 0-250 (nothing sent). Three exchanges. Port: open.
  Status SetPrimaryAddress(const Address& address, std::uint8_t newAddress);
  // Switches the meter to `baud` (300 .. 38400, CI 0xB8 .. 0xBF); the meter acknowledges at the
  // old speed, then the port switches and a link reset at the new speed confirms. kBadArgument
  // for another speed (nothing sent). When the confirmation fails the port stays at the new
  // speed, where the meter most likely is. Three exchanges. Port: open, at the new speed after
  // kOk; throws nothing (a speed the port refuses is kPortError).
  Status SetBaudRate(const Address& address, int baud);
  // Sends `frame` as given and returns what came back, framed and judged as any reply (kOk for a
  // well-formed frame or acknowledge; kNoReply with no bytes). One exchange, no repeats. Port:
  // open after anything but kPortError.
  RawReply SendRaw(std::span<const std::uint8_t> frame);
  // Listens to a probe: sends a link reset to a primary address or a selection, without
  // repeats, and says whether nothing (kNoReply), one meter (kOk: a clean E5 and two character
  // times of quiet after it) or several answered (kCollision, kNotAcknowledged). One exchange.
  // Port: open after anything but kPortError.
  Status Probe(const Address& address);
  // Drops whatever the line still delivers (the tail of an answer given up on, a meter that
  // answered late) until it has been quiet for the byte time-out, so that it is not heard as
  // the answer to the next request. At most four byte time-outs plus the longest frame's line
  // time. Port: as it was; kPortError when it fails meanwhile.
  Status DrainLine();

  // Closes the port and rests 50 ms when it was open (a gateway serves one client at a time and
  // turns away the next one until it has seen this one go). The next operation opens it again
  // (and rests settleMs). Never throws.
  void Close();
  // Options in force; changes take effect with the next exchange. Constant time.
  const BusOptions& Options() const;
  void SetOptions(const BusOptions& options);
  // The reply time-out in force at the port's current speed, in milliseconds. Throws PortError
  // when the port's settings do not parse.
  int ReplyTimeoutMs() const;
  // Every frame sent and every reply received (hex), or "<TimeOut>" where none came; called on
  // the thread that runs the operation.
  void SetTraceCallback(TraceCallback callback);
  // What the bus has put on the line and heard so far, in the protocol's own time, for
  // comparing with the time the work took.
  const BusStats& Stats() const;
  // Why the port last failed (open refused, device gone), "" when it did not.
  const std::string& PortFailure() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmar
