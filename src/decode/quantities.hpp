// What a completed data record means to the control: the table from quantity code, subunit,
// tariff and phase to the fields of the meter data store.
#pragma once

#include <cstdint>

namespace velmar {

// Internal quantity codes the record walker assigns.
enum QuantityCode : std::int16_t {
  kUnused = 0,
  kEnergy = 1,
  kTransformerRatio = 2,
  kActiveTariff = 3,
  kPowerFailCount = 4,
  kErrorFlags = 5,
  kMfrValue59 = 6,
  kPower = 10,
  kVoltage = 11,
  kCurrent = 12,
  kPowerFactor = 13,
  kMfrValue52 = 14,
  kDigitalOutput = 16,
  kFirmwareVersion = 17,
  kDuration = 18,
  kDateTime = 109,
  kVif7B = 251,
  kVifExtensionFD = 253,
  kVifExtensionFF = 255,
};

struct OrvMeterData;

// Stores the record just walked in `d` into its field of `d`, by its quantity code.
void InterpretRecord(OrvMeterData& d);

}  // namespace velmar
