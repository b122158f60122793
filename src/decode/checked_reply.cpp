#include "velmar/checked_reply.hpp"

#include <algorithm>
#include <memory>

#include "codec/hex.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "decode/record_walker.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"

namespace velmar {
namespace {

template <typename T, std::size_t N>
StoredValue List(const std::array<T, N>& values) {
  if constexpr (std::is_same_v<T, bool>) {
    return std::vector<bool>(values.begin(), values.end());
  } else if constexpr (std::is_floating_point_v<T>) {
    return std::vector<double>(values.begin(), values.end());
  } else {
    return std::vector<std::int64_t>(values.begin(), values.end());
  }
}

std::vector<StoredField> HeaderFields(const MbusLinkState& l) {
  return {{"primaryAddress", std::int64_t{l.primaryAddress}},
          {"identNumber", std::int64_t{l.identNumber}},
          {"manufacturerCode", std::int64_t{l.manufacturerCode}},
          {"versionByte", std::int64_t{l.versionByte}},
          {"statusByte", std::int64_t{l.statusByte}}};
}

// The store's values, in the order the store declares them; the walker's working fields are
// left out, they mean nothing once the walk has ended.
void AddStoreFields(const OrvMeterData& d, std::vector<StoredField>& out) {
  const auto n = static_cast<std::size_t>(std::max<std::int16_t>(d.mfrDataLen, 0));
  const auto block = std::span<const std::uint8_t>(d.mfrData).first(std::min(n, d.mfrData.size()));
  std::vector<StoredField> store = {
      {"activeEnergyTotal", d.activeEnergyTotal},
      {"activeEnergyTariff", List(d.activeEnergyTariff)},
      {"activeEnergyTariffStatus", List(d.activeEnergyTariffStatus)},
      {"subunit1EnergyTotal", d.subunit1EnergyTotal},
      {"subunit1EnergyTariff", List(d.subunit1EnergyTariff)},
      {"transformerRatio", std::int64_t{d.transformerRatio}},
      {"mfrValue59", d.mfrValue59},
      {"activeTariff", std::int64_t{d.activeTariff}},
      {"powerFailCount", std::int64_t{d.powerFailCount}},
      {"errorFlags", std::int64_t{d.errorFlags}},
      {"errorFlagsHigh", std::int64_t{d.errorFlagsHigh}},
      {"activePowerTotal", d.activePowerTotal},
      {"reactivePowerTotal", d.reactivePowerTotal},
      {"apparentPowerTotal", d.apparentPowerTotal},
      {"activePowerPhase", List(d.activePowerPhase)},
      {"reactivePowerPhase", List(d.reactivePowerPhase)},
      {"apparentPowerPhase", List(d.apparentPowerPhase)},
      {"voltagePhase", List(d.voltagePhase)},
      {"currentPhase", List(d.currentPhase)},
      {"powerFactorTotal", d.powerFactorTotal},
      {"powerFactorPhase", List(d.powerFactorPhase)},
      {"meterDate", d.meterDate},
      {"meterTime", d.meterTime},
      {"outputState", List(d.outputState)},
      {"outputStateValid", List(d.outputStateValid)},
      {"durationText", d.durationText},
      {"firmwareVersion", d.firmwareVersion},
      {"mfrStatus", std::int64_t{d.mfrStatus}},
      {"moreRecords", d.moreRecords},
      {"mfrData", HexText(block)},
      {"mfrDataLen", std::int64_t{d.mfrDataLen}},
  };
  std::move(store.begin(), store.end(), std::back_inserter(out));
}

}  // namespace

CheckedReply CheckReply(std::span<const std::uint8_t> reply, std::uint8_t decodeMode) {
  CheckedReply out;
  // The check rewrites a leading 0xFC in place: it works on a copy.
  std::vector<std::uint8_t> work(reply.begin(),
                                 reply.begin() + std::min<std::size_t>(reply.size(), 0x7FFF));
  MbusLinkState link;
  auto data = std::make_unique<OrvMeterData>();
  {
    ScopedNoticeSink sink(*data, [&](const std::string& text) { out.notices.push_back(text); });
    // As the control: any other mode than "any block type" starts from a cleared store.
    out.result = CheckRspUd(link, *data, work, static_cast<std::int16_t>(work.size()), decodeMode,
                            decodeMode != kAnyBlockType);
  }
  out.fields = HeaderFields(link);
  AddStoreFields(*data, out.fields);
  return out;
}

}  // namespace velmar
