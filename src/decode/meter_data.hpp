// The meter data store: everything the decoder learned from the last data reply, plus the
// record walker's working state (it is fed one byte at a time and keeps its place here).
// One copy per thread, shared by every control on it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "decode/notices.hpp"

namespace velmar {

struct OrvMeterData {
  // Meter values.
  double activeEnergyTotal = 0;
  std::array<double, 6> activeEnergyTariff{};
  std::array<std::uint8_t, 6> activeEnergyTariffStatus{};
  double subunit1EnergyTotal = 0;
  std::array<double, 6> subunit1EnergyTariff{};
  std::int32_t transformerRatio = 0;
  double mfrValue59 = 0;
  std::int16_t activeTariff = 0;
  std::int16_t powerFailCount = 0;
  std::int32_t errorFlags = 0;
  std::int32_t errorFlagsHigh = 0;
  double activePowerTotal = 0;
  double reactivePowerTotal = 0;
  double apparentPowerTotal = 0;
  std::array<double, 5> activePowerPhase{};
  std::array<double, 5> reactivePowerPhase{};
  std::array<double, 5> apparentPowerPhase{};
  std::array<double, 5> voltagePhase{};
  std::array<double, 5> currentPhase{};
  double powerFactorTotal = 0;
  std::array<double, 5> powerFactorPhase{};
  std::string meterDate;
  std::string meterTime;
  std::array<bool, 7> outputState{};
  std::array<bool, 7> outputStateValid{};
  std::string durationText;
  std::string firmwareVersion;
  std::uint8_t mfrStatus = 0;
  // Raised by the walker when a manufacturer block brought its status byte: the block fields
  // then hold this telegram's block, whatever its status. Whoever needs to know clears it first.
  bool mfrBlockSeen = false;
  bool moreRecords = false;
  std::array<std::uint8_t, 1025> mfrData{};
  std::int16_t mfrDataLen = 0;

  // Decoder working fields.
  std::int16_t decodeState = 0;
  std::int16_t fieldPos = 0;
  std::string recordText;
  std::array<std::uint8_t, 251> realBytes{};
  double recordValue = 0;
  double recordValueHigh = 0;
  std::uint8_t lastVife = 0;
  std::int16_t dataLen = 0;
  std::uint8_t dataCoding = 0;
  std::int16_t decimals = 0;
  std::int16_t recordSubunit = 0;
  std::int16_t recordTariff = 0;
  std::int16_t recordPhase = 0;
  std::int16_t quantityCode = 0;

  // Where the walk's notices go while a caller decodes into this store.
  NoticeSlot notices;

  bool operator==(const OrvMeterData&) const = default;
};

// This thread's store.
OrvMeterData& MeterData();

// Resets the main meter values before a new reading. Totals of power, power factors, error
// flags, transformer ratio, tariff status, duration and the block fields survive it: a reply
// that lacks those records leaves the previous reading's values in place.
void ClearMeterData();
// The same for a store the caller owns.
void ClearMeterData(OrvMeterData& data);

}  // namespace velmar
