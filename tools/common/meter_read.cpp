#include "meter_read.hpp"

#include "maker_fields.hpp"
#include "velmar/records.hpp"
#include "velmar/results.hpp"

namespace velmar::tools {
namespace {

void Fail(MeterRead& r, Status status, std::int16_t linkResult, std::string why) {
  r.status = status;
  r.linkResult = linkResult;
  r.error = std::move(why);
  r.maker.reset();
}

// A reply that failed a link check with `code`.
void FailLink(MeterRead& r, std::int16_t code) {
  Fail(r, code == LinkResult::kChecksumError ? Status::kChecksum : Status::kDamagedReply, code,
       MbusErrorText(code));
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
    Fail(r, Status::kNoKey, 0, EncryptedText(g.header.encryptionMode));
    return;
  }
  if (IsMakerMeter(g.header.manufacturerCode) || g.header.ci == 0) {
    MakerValues values;
    const auto bytes = g.TelegramBytes();
    const std::int16_t code = DecodeMakerValues(bytes, values);
    if (code != 0) {
      FailLink(r, code);
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
    case Status::kOk:
      break;
    case Status::kNoReply:
      Fail(r, Status::kNoReply, 0, "no reply");
      return r;
    case Status::kPortError:
      Fail(r, Status::kPortError, 0, bus.PortFailure());
      return r;
    case Status::kCollision:
      Fail(
          r, Status::kCollision, 0,
          "several meters answered at " + address.Text() + " at once (a collision): none was read");
      return r;
    default:
      FailLink(r, g.linkResult != 0 ? g.linkResult
                                    : static_cast<std::int16_t>(LinkResult::kStructureError));
      return r;
  }
  Interpret(r);
  return r;
}

MeterRead MeterReadOf(const std::vector<std::uint8_t>& reply, std::int16_t result, bool noReply) {
  MeterRead r;
  if (noReply) {
    Fail(r, Status::kNoReply, 0, "no reply");
    return r;
  }
  if (result != 0) {
    FailLink(r, result);
    return r;
  }
  r.reading.result = Status::kOk;
  r.reading.AddTelegram({reply, std::chrono::system_clock::now()});
  Interpret(r);
  return r;
}

nlohmann::ordered_json ReadingJson(const MeterRead& r) {
  nlohmann::ordered_json j;
  j["result"] = r.Result();
  if (!r.Ok()) {
    j["error"] = r.error;
    j["Timeout"] = r.NoReply();
    return j;
  }
  j["Timeout"] = false;
  if (r.maker) {
    for (const MakerField& f : MakerFields()) j[f.name] = FieldJson(f, *r.maker);
  } else {
    HeaderIdentity(r.reading.header, j);
  }
  j["telegrams"] = r.reading.telegrams.size();
  j["values"] = ValuesJson(r.values);
  return j;
}

std::int16_t MeterRead::Result() const {
  switch (status) {
    case Status::kNoReply:
      return 0;
    case Status::kCollision:
      return LinkResult::kStructureError;
    default:
      return Code();
  }
}

}  // namespace velmar::tools
