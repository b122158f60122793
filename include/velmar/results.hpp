// The results of the control's commands, by name. Every command returns a 16-bit integer: 0 for
// success and a small negative number for each failure; the numbers are fixed, so hosts may
// store or compare either the names or the numbers.
#pragma once

#include <cstdint>
#include <string>

namespace velmar {

// Judging a reply (a link error); cmd_ReqUD2 and the data requests of the tariff commands
// return these.
struct LinkResult {
  enum : std::int16_t {
    kOk = 0,
    kWrongStartByte = -1,  // the reply does not start with 0x68 (or 0xFC)
    kWrongStopByte = -2,   // the last byte of the reply is not 0x16
    kStructureError = -3,  // L fields differ, C or CI not an RSP_UD, not an acknowledge
    kChecksumError = -4,   // the check byte does not match the frame
    kUndecodedData = -5,   // a walk of an earlier reply never finished on this thread
    kWrongLength = -6,     // the L field promises more bytes than arrived
    kWrongBlockType = -7,  // the manufacturer block is not of the type asked for
  };
};

// cmd_ReqUD2: also the link results above (from -1 to -7) for a reply that failed its check.
struct ReadResult {
  enum : std::int16_t {
    kOk = 0,
    kCouldNotInit = -1,  // the port did not open; nothing was sent
  };
};

// givePassword.
struct PasswordResult {
  enum : std::int16_t {
    kOk = 0,
    kCouldNotInit = -1,     // the port did not open; nothing was sent
    kNoReply = -3,          // no acknowledge within the reply time-out
    kNotAcknowledged = -4,  // an answer came, but not an acknowledge
  };
};

// ChangePassword and LockMeter.
struct WriteResult {
  enum : std::int16_t {
    kOk = 0,
    kNoReply = -2,          // no answer within the reply time-out
    kNotAcknowledged = -3,  // an answer came, but not an acknowledge
  };
};

// SetDateTime and SetDateTimeStd.
struct ClockResult {
  enum : std::int16_t {
    kOk = 0,
    kWrongLength = -2,      // the clock text is not 12 characters; nothing was sent
    kNotAcknowledged = -3,  // no answer, or not an acknowledge
  };
};

// SetIntervals.
struct SetIntervalsResult {
  enum : std::int16_t {
    kOk = 0,
    kTableTooLarge = -4,      // more than 302 bytes; nothing was sent
    kBlockNotConfirmed = -5,  // a block got no acknowledge, or the meter did not confirm it
  };
};

// ReadIntervals.
struct ReadIntervalsResult {
  enum : std::int16_t {
    kOk = 0,
    kCouldNotInit = -1,       // the port did not open; nothing was sent
    kNoReply = -2,            // the read request got no answer
    kNotAcknowledged = -3,    // the read request got an answer that is not an acknowledge
    kDataRequestFailed = -4,  // a data telegram failed, brought no table data, or overflowed
  };
};

// closePort, and opening the port inside a command.
struct PortResult {
  enum : std::int16_t {
    kOk = 0,
    kFailed = -1,  // the serial port refused to open or close
  };
};

// The message-box text of a LinkResult code ("Communication error. Checksum error in message."
// for -4); any other code gets the unknown-error text. Microseconds; never throws but
// std::bad_alloc.
std::string MbusErrorText(std::int16_t code);

}  // namespace velmar
