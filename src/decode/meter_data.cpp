#include "decode/meter_data.hpp"

namespace velmar {

OrvMeterData& MeterData() {
  thread_local OrvMeterData data;
  return data;
}

void ClearMeterData() {
  ClearMeterData(MeterData());
}

void ClearMeterData(OrvMeterData& d) {
  d.activeEnergyTotal = 0;
  d.subunit1EnergyTotal = 0;
  d.mfrValue59 = 0;
  d.activeTariff = 0;
  d.powerFailCount = 0;
  d.meterDate.clear();
  d.meterTime.clear();
  d.firmwareVersion.clear();
  // Index 5 of the tariff arrays and 5, 6 of the outputs are never written by the decoder.
  for (std::size_t i = 0; i <= 4; ++i) {
    d.activePowerPhase[i] = 0;
    d.reactivePowerPhase[i] = 0;
    d.apparentPowerPhase[i] = 0;
    d.activeEnergyTariff[i] = 0;
    d.subunit1EnergyTariff[i] = 0;
    d.voltagePhase[i] = 0;
    d.currentPhase[i] = 0;
    d.outputStateValid[i] = false;
    d.outputState[i] = false;
  }
}

}  // namespace velmar
