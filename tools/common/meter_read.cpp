#include "meter_read.hpp"

#include "maker_fields.hpp"
#include "velmar/records.hpp"
#include "velmar/results.hpp"

namespace velmar::tools {
namespace {

void Fail(MeterRead& r, std::int16_t code, std::string why) {
  r.result = r.code = code;
  r.error = std::move(why);
  r.maker.reset();
}

// Another maker's meter: its identity as the header gives it, under the same keys.
void HeaderIdentity(const TelegramHeader& h, nlohmann::ordered_json& j) {
  j["MeterID"] = h.identNumber;  // a number, as the control's; 0 when not BCD digits
  j["Manufacturer"] = std::string(h.manufacturer.data());
  j["protocolVersion"] = h.version;
  j["PrimaryAddress"] = h.a;
  j["MeterErrorCode"] = h.status;
}

// A reading that came back whole: enciphered records are refused; this maker's values walked
// with its own walker; the plain values of any meter.
void Interpret(MeterRead& r) {
  const Reading& g = r.reading;
  if (g.header.encryptionMode != 0) {
    Fail(r, ReadCode::kEncrypted, EncryptedText(g.header.encryptionMode));
    return;
  }
  if (IsMakerMeter(g.header.manufacturerCode) || g.header.ci == 0) {
    MakerValues values;
    const auto bytes = g.TelegramBytes();
    const std::int16_t code = DecodeMakerValues(bytes, values);
    if (code != 0) {
      Fail(r, code, MbusErrorText(code));
      return;
    }
    r.maker = std::move(values);
  }
  r.values = PlainValues(g.records);
}

}  // namespace

MeterRead ReadMeter(Bus& bus, const Address& address, const ReadOptions& options) {
  MeterRead r;
  r.reading = bus.Read(address, options);
  const Reading& g = r.reading;
  switch (g.result) {
    case BusResult::kOk:
      break;
    case BusResult::kNoReply:
      r.noReply = true;
      r.code = ReadCode::kNoReply;
      r.error = "no reply";
      return r;
    case BusResult::kPortError:
      r.portFailed = true;
      r.error = bus.PortFailure();
      return r;
    case BusResult::kCollision:
      Fail(
          r, LinkResult::kStructureError,
          "several meters answered at " + address.Text() + " at once (a collision): none was read");
      r.code = ReadCode::kCollision;
      return r;
    default: {
      const std::int16_t code =
          g.linkResult != 0 ? g.linkResult : static_cast<std::int16_t>(LinkResult::kStructureError);
      Fail(r, code, MbusErrorText(code));
      return r;
    }
  }
  Interpret(r);
  return r;
}

MeterRead MeterReadOf(const std::vector<std::uint8_t>& reply, std::int16_t result, bool noReply) {
  MeterRead r;
  if (noReply) {
    r.noReply = true;
    r.code = ReadCode::kNoReply;
    r.error = "no reply";
    return r;
  }
  if (result != 0) {
    Fail(r, result, MbusErrorText(result));
    return r;
  }
  r.reading.result = BusResult::kOk;
  r.reading.AddTelegram({reply, std::chrono::system_clock::now()});
  Interpret(r);
  return r;
}

nlohmann::ordered_json ReadingJson(const MeterRead& r) {
  nlohmann::ordered_json j;
  const bool failed = r.result != 0 || r.noReply || r.portFailed;
  j["result"] = r.result;
  if (failed) {
    j["error"] = r.error;
    j["Timeout"] = r.noReply;
    return j;
  }
  j["Timeout"] = false;
  if (r.maker) {
    for (const MakerField& f : MakerFields()) j[f.name] = f.json(*r.maker);
  } else {
    HeaderIdentity(r.reading.header, j);
  }
  j["telegrams"] = r.reading.telegrams.size();
  j["values"] = ValuesJson(r.values);
  return j;
}

std::string_view ReadCodeText(std::int16_t code) {
  switch (code) {
    case 0:
      return "ok";
    case ReadCode::kNoReply:
      return "no reply";
    case ReadCode::kCollision:
      return "collision";
    case ReadCode::kEncrypted:
      return "no key";
    case ReadCode::kWrongKey:
      return "wrong key";
    case ReadCode::kUnreadable:
      return "unreadable";
    case ReadCode::kNotSupported:
      return "mode not supported";
    case ReadCode::kFormatUnknown:
      return "compact frame, format not yet known";
    default:
      return "damaged reply";
  }
}

}  // namespace velmar::tools
