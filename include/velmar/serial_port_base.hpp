// What every serial port of the control shares, whatever carries the bytes: the port number,
// the settings text, RTS, the input options and the buffer of received bytes the control reads
// from. A concrete port says how it opens, sends, and fetches what the line delivered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velmar/platform.hpp"

namespace velmar {

struct SerialSettings;

class SerialPortBase : public SerialPort {
 public:
  // Port number 1 and up. Throws PortError for a number below 1 or while the port is open.
  std::int16_t CommPort() const override { return comm_port_; }
  void SetCommPort(std::int16_t port) override;

  // The settings as last accepted, without blanks at either end ("2400,e,8,1"). Setting them
  // trims blanks, parses the four fields and, while the port is open, applies them at once.
  // Throws PortError naming the field for a text that does not parse or that this port cannot
  // run; the port keeps its previous settings then. Takes microseconds.
  std::string Settings() const override { return settings_; }
  void SetSettings(const std::string& settings) override;

  // The RTS line as set; raised or lowered at once while the port is open.
  bool RTSEnable() const override { return rts_; }
  void SetRTSEnable(bool raised) override;

  void SetInputMode(int mode) override { input_mode_ = mode; }
  void SetInputLen(int length) override { input_len_ = length; }
  void SetRThreshold(int count) override { threshold_ = count; }
  int InputMode() const { return input_mode_; }
  int InputLen() const { return input_len_; }
  int RThreshold() const { return threshold_; }

  // Received bytes waiting: those fetched into the buffer and those the line holds beyond it.
  // Throws PortError when the port is not usable.
  int InBufferCount() const override;
  // Drops every waiting byte, fetched or not. Throws PortError when the port is not usable.
  void ClearInBuffer() override;
  // Fetches what the line delivered and takes up to InputLen bytes (all with 0), oldest first.
  // Throws PortError when the port is not usable.
  std::vector<std::uint8_t> Input() override;

  // Seconds one character takes on the line at the current settings (start, data, parity and
  // stop bits over the speed): 11 bits at 2400 baud is 4.58 ms.
  double CharacterSeconds() const { return character_seconds_; }

  // Why the last open of this port failed ("/dev/ttyUSB0 is in use by another program"), or ""
  // when it succeeded. The control reports a failed open by its result alone; a host adds this.
  const std::string& LastError() const { return last_error_; }

 protected:
  SerialPortBase();

  // Throws PortError naming `operation` when bytes cannot be counted, sent or read now.
  virtual void RequireUsable(const char* operation) const = 0;
  // Throws PortError naming `operation` when received bytes cannot be counted or read now; by
  // default whenever the port is not usable.
  virtual void RequireReadable(const char* operation) const { RequireUsable(operation); }
  // Refuses settings this port cannot run (PortError); by default it runs any that parse.
  virtual void CheckSettings(const SerialSettings& settings) const;
  // Puts the current settings or RTS on an open line.
  virtual void ApplySettings() {}
  virtual void ApplyRts() {}
  // Bytes the line has delivered that are not in the buffer yet; fetching them; dropping them.
  virtual int QueuedBeyondBuffer() const { return 0; }
  virtual void FetchQueued() {}
  virtual void DropQueued() {}

  std::vector<std::uint8_t>& received() { return in_buffer_; }
  const std::vector<std::uint8_t>& received() const { return in_buffer_; }
  void SetLastError(std::string why) { last_error_ = std::move(why); }

 private:
  std::string last_error_;
  std::int16_t comm_port_ = 1;
  std::string settings_ = "9600,n,8,1";
  double character_seconds_ = 10.0 / 9600;
  bool rts_ = false;
  int input_mode_ = 0;
  int input_len_ = 0;
  int threshold_ = 0;
  std::vector<std::uint8_t> in_buffer_;
};

}  // namespace velmar
