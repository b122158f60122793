// The read-only members that expose the last reply received on this thread.
#include <string>

#include "decode/header_text.hpp"
#include "decode/meter_data.hpp"
#include "link/link_state.hpp"
#include "velmar/velmar.hpp"

namespace velmar {

Variant Velmar::protocolVersion() const {
  return Variant(LinkState().versionByte);
}

Variant Velmar::MeterID() const {
  const std::int32_t id = LinkState().identNumber;
  return id <= 0 ? Variant(std::string()) : Variant(id);
}

Variant Velmar::MeterErrorCode() const {
  return Variant(LinkState().statusByte);
}
Variant Velmar::PrimaryAddress() const {
  return Variant(LinkState().primaryAddress);
}
std::string Velmar::MeterTime() const {
  return MeterData().meterTime;
}
std::string Velmar::MeterDate() const {
  return MeterData().meterDate;
}
Variant Velmar::ActiveEnergyTotal() const {
  return Variant(MeterData().activeEnergyTotal);
}

Variant Velmar::ActiveEnergy(std::int16_t tariff) const {
  if (tariff < 0 || tariff > 5) {
    throw IndexOutOfRangeError("ActiveEnergy: tariff " + std::to_string(tariff) +
                               " is outside 0 to 5");
  }
  const auto i = static_cast<std::size_t>(tariff);
  const OrvMeterData& d = MeterData();
  if (d.activeEnergyTariffStatus[i] != 0) return Variant(std::string("-"));
  return Variant(d.activeEnergyTariff[i]);
}

Variant Velmar::TransformerRatio() const {
  return Variant(MeterData().transformerRatio);
}
Variant Velmar::activeTariff() const {
  return Variant(MeterData().activeTariff);
}
Variant Velmar::powerFailCount() const {
  return Variant(MeterData().powerFailCount);
}
Variant Velmar::errorFlags() const {
  return Variant(MeterData().errorFlags);
}
std::int32_t Velmar::errorFlagsHigh() const {
  return MeterData().errorFlagsHigh;
}

Variant Velmar::MeterErrorString() const {
  return Variant(StatusBitsText(LinkState().statusByte));
}

Variant Velmar::Manufacturer() const {
  return Variant(ManufacturerText(LinkState().manufacturerCode));
}

std::int16_t Velmar::getRelayState(std::int16_t relayNo) const {
  if (relayNo < 0 || relayNo > 5) return -1;
  const auto i = static_cast<std::size_t>(relayNo);
  if (!MeterData().outputStateValid[i]) return -2;
  return MeterData().outputState[i] ? 1 : 0;
}

std::string Velmar::readDateTime() const {
  return MeterData().meterDate + MeterData().meterTime;
}

}  // namespace velmar
