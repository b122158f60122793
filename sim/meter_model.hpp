// The slave side of an M-Bus electricity meter as this control talks to it: acknowledges,
// RSP_UD telegrams built from configurable values, password, clock, lock modes, tariff table
// blocks with confirmations and a multi-telegram read-back, plus faults injected per exchange.
// The model only maps frames to replies; a transport (virtual line or pseudo-terminal) delivers
// them in time.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmar::sim {

struct MeterConfig {
  std::uint8_t primaryAddress = 1;
  std::int32_t identNumber = 12345678;
  std::string manufacturer = "ORV";
  std::uint8_t version = 2;
  std::uint8_t medium = 2;  // electricity
  std::uint8_t status = 0;
  double energyTotalKwh = 12345.67;
  std::array<double, 4> energyTariffKwh = {8000.25, 4000.5, 300.0, 44.92};
  bool tariffStatusVife = false;  // adds VIFE 0x00 to the tariff registers
  std::int32_t transformerRatio = 50;
  std::int16_t activeTariff = 2;
  std::int16_t powerFailCount = 7;
  std::uint32_t errorFlags = 0x00000104;
  std::uint32_t errorFlagsHigh = 0;
  bool errorFlags8Bytes = false;
  // Index 0 is the total (for voltage and current: the value without phase), 1 to 3 the phases.
  std::array<double, 4> activePowerW = {2345.67, 800.11, 745.0, 800.56};
  std::array<double, 4> reactivePowerW = {120.5, 0, 0, 0};
  std::array<double, 4> apparentPowerW = {2400.0, 0, 0, 0};
  std::array<double, 4> voltageV = {0, 230.1, 229.8, 231.2};
  std::array<double, 4> currentA = {0, 3.48, 3.24, 3.46};
  std::array<double, 4> powerFactor = {0.987, 0, 0, 0};
  std::string dateTime = "261205143000";           // YYMMDDhhmmss
  std::array<int, 5> relays = {1, 0, -1, -1, -1};  // per output: 1 on, 0 off, -1 not reported
  std::string firmware = "V1.04";
  std::int32_t runningSeconds = 93784;  // shown as days, hours, minutes, seconds
  std::string password = "00000000";
  std::vector<std::uint8_t> table = {0x01, 0x06, 0x00, 0x02, 0x16, 0x00};
  int responseDelayMs = 20;
  bool mute = false;    // takes every frame but never answers (a meter with a broken transmitter)
  int readChunk = 100;  // table bytes per read-back telegram
  std::uint8_t readBackStatus = 0;  // status byte of the read-back telegrams' blocks
  // The data readout spread over this many telegrams (1-4), each but the last ending with
  // "more records follow" (DIF 0x1F): energies; ratio, tariff and flags; power, voltage and
  // current; clock, relays and the rest.
  int telegrams = 1;
  // The speed the meter listens at; 0 hears any. A baud-rate switch sets it.
  int baud = 0;
  int applicationResets = 0;  // application resets received (CI 0x50)
  // A telegram recorded from another maker's meter, answered to REQ_UD2 instead of this maker's
  // readout: its A field becomes the meter's primary address and its check byte is made again.
  std::vector<std::uint8_t> recordedTelegram{};
};

enum class FaultKind {
  kNone,     // the usual answer: lets a later fault hit a later exchange
  kSilence,  // no answer
  kDelay,    // answer after `value` ms
  kTrickle,  // bytes every `value` ms (default 60) for 3 s
  kBadChecksum,
  kBadStart,
  kBadStop,
  kBadControl,     // C field 0x18
  kBadCi,          // CI field 0x73
  kLongLength,     // L field 5 larger than the data
  kBadBlockType,   // manufacturer block of another type
  kNack,           // 0x15 instead of the acknowledge
  kGarbage,        // three unrelated bytes instead of the answer
  kExtraBytes,     // `value` (default 2) zero bytes after the stop byte
  kConfirmStatus,  // the next block confirmation carries status `value`
};

struct Fault {
  FaultKind kind;
  int value = 0;
};

struct SimReply {
  std::vector<std::uint8_t> bytes;
  int delayMs = 0;
  int gapMs = 0;  // silence between bytes beyond the character time
};

class SimMeter {
 public:
  explicit SimMeter(MeterConfig config = {});

  // The answer to one complete frame from the master, if any.
  std::optional<SimReply> OnFrame(std::span<const std::uint8_t> frame);
  // Faults apply one per answered exchange, in order.
  // kConfirmStatus applies to the next block confirmation instead.
  void InjectFault(Fault fault);
  void ClearFaults() { faults_.clear(); }

  MeterConfig& config() { return config_; }
  const MeterConfig& config() const { return config_; }
  bool unlocked() const { return unlocked_; }
  const std::vector<std::uint8_t>& lockModes() const { return lock_modes_; }
  // The RSP_UD with the meter's values, as the meter sends it now (all in one telegram).
  std::vector<std::uint8_t> DataTelegram();
  // The readout as the meter sends it: `telegrams` frames, all but the last announcing more.
  std::vector<std::vector<std::uint8_t>> DataTelegrams();

 private:
  bool Addressed(std::uint8_t a) const;
  std::optional<SimReply> OnShortFrame(std::uint8_t c, std::uint8_t a);
  std::optional<SimReply> OnLongFrame(std::span<const std::uint8_t> frame);
  std::optional<SimReply> OnSelection(std::span<const std::uint8_t> data);
  std::optional<SimReply> OnUserData(std::span<const std::uint8_t> data);
  std::optional<SimReply> OnAddressed(std::uint8_t ci, std::span<const std::uint8_t> data);
  std::vector<std::vector<std::uint8_t>> DataRecordGroups() const;
  std::optional<SimReply> OnBlock(std::uint8_t type, std::span<const std::uint8_t> data);
  std::vector<std::uint8_t> Telegram(const std::vector<std::uint8_t>& records);
  std::vector<std::uint8_t> BlockTelegram(std::uint8_t dif, std::uint8_t type, std::uint8_t status,
                                          std::span<const std::uint8_t> data);
  void QueueReadBack();
  std::optional<SimReply> Answer(std::vector<std::uint8_t> bytes);
  std::optional<SimReply> Ack();

  MeterConfig config_;
  std::deque<Fault> faults_;
  std::deque<std::vector<std::uint8_t>> pending_;
  std::vector<std::uint8_t> last_telegram_;
  std::optional<bool> last_fcb_;
  std::vector<std::uint8_t> image_;
  std::vector<std::uint8_t> lock_modes_;
  std::optional<int> confirm_status_;
  bool selected_ = false;
  bool unlocked_ = false;
  std::uint8_t access_ = 0;
};

// What sits between the master and the meters besides the wire: a level converter that echoes
// every frame the master sends, and a network gateway that delivers the meters' bytes in bursts
// of `burstBytes` with `burstGapMs` of silence between them.
struct LineBehaviour {
  bool echo = false;
  int burstBytes = 0;  // 0: byte by byte at the line's pace
  int burstGapMs = 0;
};

// The meters that hear a frame sent at `baud`: those listening at that speed or at any.
std::vector<SimMeter*> ListeningAt(const std::vector<SimMeter*>& meters, int baud);

// One frame on a bus of several meters: every meter sees it (a broadcast or a selection
// changes several). One answer is heard as it is; several at once collide into a damaged one.
std::optional<SimReply> AnswerOnBus(const std::vector<SimMeter*>& meters,
                                    std::span<const std::uint8_t> frame);

// Frames out of a byte stream: short and long frames with a valid checksum and stop byte; bytes
// that start no frame are dropped.
class FrameAssembler {
 public:
  // Returns a frame once its last byte has arrived.
  std::optional<std::vector<std::uint8_t>> Feed(std::uint8_t b);
  void Reset() { buffer_.clear(); }

 private:
  std::vector<std::uint8_t> buffer_;
};

// Text helpers for configuration.
std::uint16_t ManufacturerCode(const std::string& letters);

}  // namespace velmar::sim
