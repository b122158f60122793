#include "velmar/maker_values.hpp"

#include <algorithm>
#include <array>
#include <memory>

#include "decode/header_text.hpp"
#include "decode/meter_data.hpp"
#include "decode/record_walker.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"

namespace velmar {
namespace {

constexpr std::size_t kLongestFrame = 255 + 6;
constexpr std::uint8_t kDataReadout = 0;  // the block type of a plain data read

void CopyHeader(const MbusLinkState& link, MakerValues& out) {
  out.primaryAddress = link.primaryAddress;
  out.identNumber = link.identNumber;
  out.manufacturerCode = static_cast<std::uint16_t>(link.manufacturerCode);
  out.version = link.versionByte;
  out.status = link.statusByte;
}

void CopyValues(const OrvMeterData& d, MakerValues& out) {
  out.energyTotal = d.activeEnergyTotal;
  for (std::size_t t = 0; t < out.energyTariff.size(); ++t) {
    out.energyTariff[t] = d.activeEnergyTariffStatus[t] != 0
                              ? std::nullopt
                              : std::optional<double>(d.activeEnergyTariff[t]);
  }
  out.transformerRatio = d.transformerRatio;
  out.activeTariff = d.activeTariff;
  out.powerFailCount = d.powerFailCount;
  out.errorFlags = d.errorFlags;
  out.errorFlagsHigh = d.errorFlagsHigh;
  out.date = d.meterDate;
  out.time = d.meterTime;
  for (std::size_t r = 0; r < out.relays.size(); ++r) {
    out.relays[r] = !d.outputStateValid[r] ? -2 : d.outputState[r] ? 1 : 0;
  }
  // The store keeps the total at index 0 and the phases at 1-3, as the walker fills them.
  for (std::size_t i = 0; i < 4; ++i) {
    out.activePower[i] = i == 0 ? d.activePowerTotal : d.activePowerPhase[i];
    out.reactivePower[i] = i == 0 ? d.reactivePowerTotal : d.reactivePowerPhase[i];
    out.apparentPower[i] = i == 0 ? d.apparentPowerTotal : d.apparentPowerPhase[i];
    out.voltage[i] = d.voltagePhase[i];
    out.current[i] = d.currentPhase[i];
    out.powerFactor[i] = i == 0 ? d.powerFactorTotal : d.powerFactorPhase[i];
  }
  out.moreRecords = d.moreRecords;
}

}  // namespace

std::string MakerValues::Manufacturer() const {
  return ManufacturerText(static_cast<std::int16_t>(manufacturerCode));
}

std::string MakerValues::StatusText() const {
  return StatusBitsText(status);
}

bool IsMakerMeter(std::uint16_t manufacturerCode) {
  return manufacturerCode == kMakerManufacturerCode;
}

std::int16_t DecodeMakerValues(std::span<const std::uint8_t> telegram, MakerValues& out) {
  const std::vector<std::uint8_t> one(telegram.begin(), telegram.end());
  return DecodeMakerValues(std::span(&one, 1), out);
}

std::int16_t DecodeMakerValues(std::span<const std::vector<std::uint8_t>> telegrams,
                               MakerValues& out) {
  // The walk runs on a link state and store of this call alone, never the thread's own.
  out = MakerValues{};
  MbusLinkState link;
  auto data = std::make_unique<OrvMeterData>();
  std::int16_t result = 0;
  for (std::size_t i = 0; i < telegrams.size() && result == 0; ++i) {
    std::array<std::uint8_t, kLongestFrame> work{};
    const std::size_t n = std::min(telegrams[i].size(), work.size());
    std::copy_n(telegrams[i].begin(), n, work.begin());
    MbusLinkState header;  // later telegrams' headers are not the reading's
    result = CheckRspUd(i == 0 ? link : header, *data, std::span(work).first(n),
                        static_cast<std::int16_t>(n), kDataReadout, i == 0);
  }
  CopyHeader(link, out);
  CopyValues(*data, out);
  return result;
}

}  // namespace velmar
