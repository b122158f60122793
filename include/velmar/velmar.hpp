// Velmar: an M-Bus master for electricity meters on a serial line.
//
// A host creates one Velmar per serial line, answers one of the container events (InitProperties
// for a fresh control, ReadProperties to restore saved settings), and then calls one method per
// meter operation. Every method is synchronous and returns a 16-bit result: 0 for success, a small
// negative number for each failure. Failures are also shown in a message box unless noErrorPopup
// is set. Decoded values are shared by all controls on one thread and show the latest reply
// received on it.
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
#include "velmar/variant.hpp"

namespace velmar {

// Direction of a traced frame: sent to the meter, or received from it (including the markers
// "<TimeOut>" and "<Overflow>").
enum class TraceDirection { kSent, kReceived };
using TraceCallback = std::function<void(TraceDirection, const std::string& text)>;

class Velmar {
 public:
  Velmar(HostServices host, std::unique_ptr<SerialPort> port,
         std::unique_ptr<TextField> address_field = nullptr);
  ~Velmar();
  Velmar(const Velmar&) = delete;
  Velmar& operator=(const Velmar&) = delete;

  // Container events.
  void InitProperties();                   // first creation, no saved settings
  void ReadProperties(PropertySet& bag);   // restore
  void WriteProperties(PropertySet& bag);  // save

  // The public interface, in its fixed order.
  bool Timeout() const;
  void Timeout(bool value);
  bool noErrorPopup() const;
  void noErrorPopup(bool value);
  void keepPortopen(bool DontClose);
  Variant protocolVersion() const;
  Variant MeterID() const;
  Variant RTSEnable() const;
  void RTSEnable(const Variant& status);
  Variant CommPort() const;
  void CommPort(const Variant& portNo);
  Variant CommSpeed() const;
  void CommSpeed(const Variant& baudrate);
  Variant MeterErrorCode() const;
  Variant PrimaryAddress() const;
  std::string MeterTime() const;
  std::string MeterDate() const;
  Variant ActiveEnergyTotal() const;
  Variant ActiveEnergy(std::int16_t tariff) const;
  Variant TransformerRatio() const;
  Variant activeTariff() const;
  Variant powerFailCount() const;
  Variant errorFlags() const;
  std::int32_t errorFlagsHigh() const;
  Variant MeterErrorString() const;
  Variant Manufacturer() const;
  std::int16_t getRelayState(std::int16_t relayNo) const;
  std::int16_t ChangePassword(std::string& myPasswd, const std::optional<Variant>& Address = {});
  std::int16_t givePassword(std::string& myPasswd, const std::optional<Variant>& Address = {});
  std::int16_t SetIntervals(std::span<const std::uint8_t> tariffData, std::int32_t& tariffLen,
                            const std::optional<Variant>& Address = {});
  std::int16_t ReadIntervals(std::span<std::uint8_t> tariffData, std::int32_t& tariffLen,
                             const std::optional<Variant>& Address = {});
  std::string readDateTime() const;
  std::int16_t SetDateTime(std::string& sDateTime, const std::optional<Variant>& Address = {});
  std::int16_t SetDateTimeStd(std::string& sDateTime, const std::optional<Variant>& Address = {});
  std::int16_t LockMeter(std::uint8_t& mode, const std::optional<Variant>& Address = {});
  std::int16_t cmd_ReqUD2();
  std::int16_t closePort();

  // Beyond the interface: what a host needs to wire and diagnose the control.
  TextField& txt_Adress();
  SerialPort& MSC_port();
  // Text form of the last three frames sent and replies received, newest first.
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
