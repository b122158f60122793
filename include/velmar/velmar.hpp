// Velmar: an M-Bus master for electricity meters on a serial line.
//
// A host creates one Velmar per serial line, answers one of the container events (InitProperties
// for a fresh control, ReadProperties to restore saved settings), and then calls one method per
// meter operation. Every method is synchronous: while it waits, the host's event passes keep
// running. It returns a 16-bit result, 0 for success and a small negative number for each failure
// (named in velmar/results.hpp); failures are also shown in a message box unless noErrorPopup is
// set. Decoded values are shared by all controls on one thread and show the latest reply received
// on it: run one thread per bus.
//
// Times below are for 2400 baud. The reply waits are fixed: a reply must start within 3.1 s and
// fall silent (80 ms without a byte) within 2.1 s of its first byte; a frame must leave within
// 2.1 s. Opening or closing the port adds 50 ms of settling. Argument errors are thrown before
// anything is sent unless a member says otherwise; PortError from a port that fails while a frame
// is written or read ends the member with the port in whatever state the failure left it (a
// vanished device: closed).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "velmar/error.hpp"
#include "velmar/platform.hpp"
#include "velmar/results.hpp"
#include "velmar/trace.hpp"
#include "velmar/variant.hpp"

namespace velmar {

class Velmar {
 public:
  // Takes the port (not null: ArgumentError) and the address field (a field holding "254" when
  // null); borrows the host services, which must outlive the control. The port stays closed.
  Velmar(HostServices host, std::unique_ptr<SerialPort> port,
         std::unique_ptr<TextField> address_field = nullptr);
  // Does not close the port: the port closes as it is destroyed.
  ~Velmar();
  Velmar(const Velmar&) = delete;
  Velmar& operator=(const Velmar&) = delete;

  // --- Container events. None sends anything; each takes microseconds (plus the property
  // set's own time), and throws what the port or the property set throws.

  // First creation: port 1, 2400 baud 8E1 (both reported changed), bytes input, the whole
  // buffer on each read, keepPortopen true. RTS stays as the port has it.
  void InitProperties();
  // Restore: reads "Caption" (discarded), "CommPort", "CommSpeed", "RTSEnable" and sets each;
  // an absent entry leaves its setting as it is. Closes an open port (CommPort, RTSEnable).
  void ReadProperties(PropertySet& bag);
  // Save: writes "Caption" (empty), "CommPort", "CommSpeed", "RTSEnable" with their defaults
  // (the instance name, 1, 2400, false). The port is not touched.
  void WriteProperties(PropertySet& bag);

  // --- Flags. Plain fields: no failure, no port action, constant time.

  // True when the reply time-out of the latest exchange ran out. Cleared when a command opens
  // the port and whenever a time-out is armed; the host may set it.
  bool Timeout() const;
  void Timeout(bool value);
  // True: no member shows a message box (the decoder's two notices still appear); results are
  // the same either way.
  bool noErrorPopup() const;
  void noErrorPopup(bool value);
  // True: the meter commands leave the port open after their exchange.
  void keepPortopen(bool DontClose);

  // --- Meter values of the latest reply on this thread (byte, 32-bit integer, text or double
  // in a Variant as named). Constant time, no port action; all zero/empty before any reply.

  // Version byte of the fixed header (byte).
  Variant protocolVersion() const;
  // Identification number (32-bit integer), or "" when it is 0 or less.
  Variant MeterID() const;

  // --- Serial configuration. Throws ConversionError/OverflowError for a value that does not
  // convert, PortError for one the port refuses; no message box. Microseconds.

  // Whether RTS is raised (Boolean). Setting it closes an open port first, at once (no 50 ms
  // settle), then sets RTS and reports "RTSEnable" changed; a value that does not convert
  // throws ConversionError after the port was closed. Microseconds.
  Variant RTSEnable() const;
  void RTSEnable(const Variant& status);
  // Port number (16-bit integer). Setting it closes an open port first and reports "CommPort"
  // changed.
  Variant CommPort() const;
  void CommPort(const Variant& portNo);
  // The speed as text with a sign position: the number in the first four characters of the
  // settings (" 2400"; 19200 reads " 1920"). Setting it makes the settings "<speed>,e,8,1",
  // applied at once to an open port, and reports "CommSpeed" changed.
  Variant CommSpeed() const;
  void CommSpeed(const Variant& baudrate);

  // --- More meter values (see above).

  // Status byte of the fixed header (byte); 99 after a read that got no reply.
  Variant MeterErrorCode() const;
  // Primary address the meter answered from (byte).
  Variant PrimaryAddress() const;
  // "hh:mm:ss" and "YYMMDD" of the meter's clock record, or "".
  std::string MeterTime() const;
  std::string MeterDate() const;
  // Energy register in kWh (double).
  Variant ActiveEnergyTotal() const;
  // Energy of tariff 0 to 5 in kWh (double), or "-" when the meter flagged that register.
  // Throws IndexOutOfRangeError for another tariff.
  Variant ActiveEnergy(std::int16_t tariff) const;
  // Current transformer ratio (32-bit integer).
  Variant TransformerRatio() const;
  // Tariff in force (16-bit integer).
  Variant activeTariff() const;
  // Power failures counted by the meter (16-bit integer).
  Variant powerFailCount() const;
  // Low and high 32 bits of the meter's error flags.
  Variant errorFlags() const;
  std::int32_t errorFlagsHigh() const;
  // A text per status bit set, each followed by CR LF, highest bit first; "" for status 0.
  Variant MeterErrorString() const;
  // Three manufacturer letters ("ORV"), or "" for a code of 0 or one with its top bit set.
  Variant Manufacturer() const;
  // Relay 0 to 5: 1 on, 0 off, -2 not in the latest reply, -1 for another relay number.
  std::int16_t getRelayState(std::int16_t relayNo) const;

  // --- Write commands. Each needs a meter opened by givePassword first (the meter ignores
  // writes otherwise, which shows as no reply). `Address` is a primary address 0-255 (number or
  // numeric text), 254 when left out; one that does not convert throws ConversionError or
  // OverflowError before anything is sent, except in ReadIntervals (below). Message boxes have
  // the title "Error".

  // Writes a new password: the first 8 characters of `myPasswd`, padded with '0' (written back
  // into `myPasswd`). WriteResult: kOk (port closed unless keepPortopen), kNoReply or
  // kNotAcknowledged (port left open, message box). One exchange: at most about 5.5 s.
  std::int16_t ChangePassword(std::string& myPasswd, const std::optional<Variant>& Address = {});
  // Presents the password (padded as above) and so opens a write sequence: opens the port,
  // resets the link (SND_NKE, 200 ms), sends the password. PasswordResult: kOk, kCouldNotInit
  // (port refused to open, nothing sent, no message box), kNoReply, kNotAcknowledged (message
  // box). The port stays open on every path. At most about 8 s.
  std::int16_t givePassword(std::string& myPasswd, const std::optional<Variant>& Address = {});
  // Writes the tariff table: the first `tariffLen` bytes of `tariffData` (at most 302) as a
  // 304-byte image with CRC, in two blocks, each acknowledged and confirmed by the meter.
  // SetIntervalsResult: kOk (port closed unless keepPortopen), kTableTooLarge (message box
  // without title, nothing sent, port untouched), kBlockNotConfirmed (message box; port closed
  // unless keepPortopen when a block got no acknowledge, left open when the meter's status
  // refused it). A negative `tariffLen` or one beyond `tariffData` throws ArgumentError before
  // anything is sent. The progress callback hears each confirmed block. Typically 2.5 s, at
  // most about 25 s.
  std::int16_t SetIntervals(std::span<const std::uint8_t> tariffData, std::int32_t& tariffLen,
                            const std::optional<Variant>& Address = {});
  // Reads the tariff table back into `tariffData`, setting `tariffLen` to its length (trailing
  // 0x00 bytes and the image CRC removed). Opens the port and resets the link as givePassword
  // does. ReadIntervalsResult: kOk, kCouldNotInit, kNoReply, kNotAcknowledged,
  // kDataRequestFailed (a data telegram failed its check, brought no table data, or would pass
  // 401 bytes); the port is closed unless keepPortopen on every path but kCouldNotInit.
  // Throws IndexOutOfRangeError after closing when `tariffData` is shorter than the table
  // (`tariffLen` unchanged). The address is converted only after the port was opened and the
  // link reset (SND_NKE to the address's leading number, or to 253 for one outside 1-255) was
  // sent and its 200 ms passed, and, for an address of 256 or more, after the selection frame
  // for that identification number was sent and its answer collected: an `Address` that does
  // not convert to a byte throws ConversionError or OverflowError with those frames already on
  // the line and the port left open. About 0.3 s a telegram, at most about 6 s a telegram.
  std::int16_t ReadIntervals(std::span<std::uint8_t> tariffData, std::int32_t& tariffLen,
                             const std::optional<Variant>& Address = {});
  // MeterDate followed by MeterTime.
  std::string readDateTime() const;
  // Sets the meter clock from "hhmmssDDMMYY" (12 characters once spaces at either end are
  // removed; the digits are sent as BCD without further checks). ClockResult: kOk (port closed
  // unless keepPortopen), kWrongLength (nothing sent, no message box), kNotAcknowledged (no
  // reply or not an acknowledge: message box, port left open). At most about 5.5 s.
  std::int16_t SetDateTime(std::string& sDateTime, const std::optional<Variant>& Address = {});
  // The same clock text sent as the standard date/time record (type F, minute resolution,
  // seconds dropped); the fields are taken as numbers. Results and times as SetDateTime.
  std::int16_t SetDateTimeStd(std::string& sDateTime, const std::optional<Variant>& Address = {});
  // Sends lock mode `mode` unchanged. WriteResult: kOk, kNoReply, kNotAcknowledged (message
  // box); the port is closed unless keepPortopen on every path. At most about 5.5 s.
  std::int16_t LockMeter(std::uint8_t& mode, const std::optional<Variant>& Address = {});

  // Reads the meter at the primary address (0-255) in the address field: opens the port, resets
  // the link (SND_NKE, 200 ms), sends REQ_UD2, waits 150 ms, collects and decodes the reply into
  // this thread's values. An address from 256 up is taken as an identification number and its
  // meter selected, but the read cannot follow: the request's address is one byte, so it ends
  // in OverflowError after the reset and the selection (reads by identification number go
  // through velmar::Bus).
  // ReadResult::kOk also when no reply came (then Timeout is true and MeterErrorCode 99),
  // kCouldNotInit when the port did not open (message box), or a LinkResult code for a reply
  // that failed its check (message box with the link error text). The port is closed unless
  // keepPortopen. An address text that does not fit a byte throws OverflowError after the
  // link reset (and the selection). Typically 0.5 s with a meter answering, 3.6 s without; at most
  // about 10 s.
  std::int16_t cmd_ReqUD2();
  // Closes the port if it is open and waits 50 ms. PortResult::kOk, or kFailed when the port
  // refused (never throws).
  std::int16_t closePort();

  // --- Beyond the interface: what a host needs to wire and diagnose the control.

  // The address field cmd_ReqUD2 reads from.
  TextField& txt_Adress();
  // The control's serial port.
  SerialPort& MSC_port();
  // Text form of the last three frames sent and replies received, newest first; emptied when
  // the port opens.
  const std::array<std::string, 3>& sentLog() const;
  const std::array<std::string, 3>& replyLog() const;
  // Called for every frame sent and reply received, with the text the logs get.
  void SetTraceCallback(TraceCallback callback);
  // Called after each tariff block has been confirmed (block number from 1, block count).
  void SetProgressCallback(std::function<void(int block, int blocks)> callback);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmar
