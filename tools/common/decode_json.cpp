#include "decode_json.hpp"

#include <cctype>

#include "codec/hex.hpp"
#include "decode/meter_data.hpp"
#include "decode/notices.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"
#include "link/reply_check.hpp"

namespace velmar::tools {

std::string ToJsonLine(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json DecodeReply(std::vector<std::uint8_t> reply, std::uint8_t mode) {
  LinkState() = MbusLinkState{};
  MeterData() = OrvMeterData{};
  std::vector<std::string> notices;
  std::int16_t result;
  {
    ScopedNoticeSink sink(MeterData(), [&](const std::string& text) { notices.push_back(text); });
    const auto count = static_cast<std::int16_t>(std::min<std::size_t>(reply.size(), 0x7FFF));
    result = CheckRspUd(reply, count, mode);
  }
  const MbusLinkState& l = LinkState();
  const OrvMeterData& d = MeterData();
  nlohmann::ordered_json j;
  j["result"] = result;
  j["message"] = result == 0 ? std::string() : MbusErrorText(result);
  j["notices"] = notices;
  j["primaryAddress"] = l.primaryAddress;
  j["identNumber"] = l.identNumber;
  j["manufacturerCode"] = l.manufacturerCode;
  j["versionByte"] = l.versionByte;
  j["statusByte"] = l.statusByte;
  j["activeEnergyTotal"] = d.activeEnergyTotal;
  j["activeEnergyTariff"] = d.activeEnergyTariff;
  j["activeEnergyTariffStatus"] = d.activeEnergyTariffStatus;
  j["subunit1EnergyTotal"] = d.subunit1EnergyTotal;
  j["subunit1EnergyTariff"] = d.subunit1EnergyTariff;
  j["transformerRatio"] = d.transformerRatio;
  j["mfrValue59"] = d.mfrValue59;
  j["activeTariff"] = d.activeTariff;
  j["powerFailCount"] = d.powerFailCount;
  j["errorFlags"] = d.errorFlags;
  j["errorFlagsHigh"] = d.errorFlagsHigh;
  j["activePowerTotal"] = d.activePowerTotal;
  j["reactivePowerTotal"] = d.reactivePowerTotal;
  j["apparentPowerTotal"] = d.apparentPowerTotal;
  j["activePowerPhase"] = d.activePowerPhase;
  j["reactivePowerPhase"] = d.reactivePowerPhase;
  j["apparentPowerPhase"] = d.apparentPowerPhase;
  j["voltagePhase"] = d.voltagePhase;
  j["currentPhase"] = d.currentPhase;
  j["powerFactorTotal"] = d.powerFactorTotal;
  j["powerFactorPhase"] = d.powerFactorPhase;
  j["meterDate"] = d.meterDate;
  j["meterTime"] = d.meterTime;
  j["outputState"] = d.outputState;
  j["outputStateValid"] = d.outputStateValid;
  j["durationText"] = d.durationText;
  j["firmwareVersion"] = d.firmwareVersion;
  j["mfrStatus"] = d.mfrStatus;
  j["moreRecords"] = d.moreRecords;
  const auto n = static_cast<std::size_t>(std::max<std::int16_t>(d.mfrDataLen, 0));
  j["mfrData"] =
      HexText(std::span<const std::uint8_t>(d.mfrData).first(std::min(n, d.mfrData.size())));
  j["mfrDataLen"] = d.mfrDataLen;
  return j;
}

}  // namespace velmar::tools
