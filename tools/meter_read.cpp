#include "meter_read.hpp"

#include <optional>

#include "codec/hex.hpp"
#include "decode/meter_data.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"
#include "velmar/scan.hpp"

namespace velmar::tools {
namespace {

nlohmann::ordered_json ToJson(const Variant& v) {
  return std::visit(
      [](const auto& x) -> nlohmann::ordered_json {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "";
        } else {
          return x;
        }
      },
      v.value());
}

// A meter named by its identification number is selected and asked for its data at the
// selected-meter address; its answer is decoded into this thread's values exactly as the
// control's own read decodes, so the table and JSON are the same. Nullopt: nobody answered.
std::optional<int> ReadByIdent(Velmar& control, EventLoop& events, std::uint32_t ident,
                               const TraceCallback& trace, std::vector<std::uint8_t>& reply) {
  BusScanner scanner(events, control.MSC_port());
  if (trace) scanner.SetTraceCallback(trace);
  MbusLinkState& link = LinkState();
  link.identNumber = 0;
  link.primaryAddress = 0;
  link.manufacturerCode = 0;
  link.statusByte = 99;  // as a read that got no reply leaves it
  ClearMeterData();
  auto answer = scanner.ReadByIdent(ident);
  if (!answer) return std::nullopt;
  reply = *answer;
  link.bytesToDecode = 0;
  std::vector<std::uint8_t> work = reply;  // the check may rewrite a leading byte
  return CheckRspUd(work, static_cast<std::int16_t>(work.size()), 0);
}

}  // namespace

MeterRead ReadMeter(Velmar& control, EventLoop& events, const std::string& address,
                    const TraceCallback& trace) {
  MeterRead read;
  const long number = std::stol(address);
  if (number > 255) {
    read.byIdent = true;
    const auto r =
        ReadByIdent(control, events, static_cast<std::uint32_t>(number), trace, read.reply);
    read.noReply = !r.has_value();
    read.result = r.value_or(0);
    return read;
  }
  control.txt_Adress().SetText(address);
  read.result = control.cmd_ReqUD2();
  read.noReply = read.result == 0 && control.Timeout() && control.MeterErrorCode().ToInt32() == 99;
  // The reply as received is the newest entry of the control's reply log.
  if (!read.noReply) {
    read.reply = ParseHex(control.replyLog()[0]).value_or(std::vector<std::uint8_t>{});
  }
  return read;
}

nlohmann::ordered_json ReadingJson(Velmar& v, int result) {
  nlohmann::ordered_json j;
  j["result"] = result;
  j["Timeout"] = v.Timeout();
  j["MeterID"] = ToJson(v.MeterID());
  j["Manufacturer"] = ToJson(v.Manufacturer());
  j["protocolVersion"] = ToJson(v.protocolVersion());
  j["PrimaryAddress"] = ToJson(v.PrimaryAddress());
  j["MeterErrorCode"] = ToJson(v.MeterErrorCode());
  j["MeterErrorString"] = ToJson(v.MeterErrorString());
  j["ActiveEnergyTotal"] = ToJson(v.ActiveEnergyTotal());
  j["ActiveEnergy"] = nlohmann::ordered_json::array();
  for (std::int16_t t = 0; t <= 5; ++t) j["ActiveEnergy"].push_back(ToJson(v.ActiveEnergy(t)));
  j["TransformerRatio"] = ToJson(v.TransformerRatio());
  j["activeTariff"] = ToJson(v.activeTariff());
  j["powerFailCount"] = ToJson(v.powerFailCount());
  j["errorFlags"] = ToJson(v.errorFlags());
  j["errorFlagsHigh"] = v.errorFlagsHigh();
  j["MeterDate"] = v.MeterDate();
  j["MeterTime"] = v.MeterTime();
  j["getRelayState"] = nlohmann::ordered_json::array();
  for (std::int16_t r = 0; r <= 5; ++r) j["getRelayState"].push_back(v.getRelayState(r));
  return j;
}

}  // namespace velmar::tools
