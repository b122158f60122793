#include "radio_worker.hpp"

#include "radio_source.hpp"

#include "keys_file.hpp"
#include "meter_read.hpp"
#include "plain_values.hpp"
#include "poll_log.hpp"
#include "radio_message.hpp"
#include "topics.hpp"
#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::tools {
namespace {

constexpr int kListenMs = 500;  // how often the worker looks up from the receiver
constexpr int kStartMs = 2000;  // for the stick's confirmation of its link mode

// A heard telegram as the read the availability and discovery of a meter go by.
MeterRead AsRead(const WirelessTelegram& t) {
  MeterRead r;
  r.status = RadioStatus(t);
  r.error = RadioError(t);
  r.reading.header = t.decoded.header;
  if (r.Ok()) r.values = PlainValues(t.decoded.records);
  return r;
}

MeterKeys KeysOf(const RadioEntry& radio) {
  MeterKeys keys;
  for (const RadioMeterEntry& m : radio.meters) {
    if (!m.key.empty()) keys.Add(m.meter.address, *ParseMeterKey(m.key));
  }
  return keys;
}

}  // namespace

RadioWorker::RadioWorker(RadioEntry radio, std::string prefix, ReadingSink sink, PollLog& log)
    : radio_(std::move(radio)), prefix_(std::move(prefix)), sink_(std::move(sink)), log_(log) {
  for (const RadioMeterEntry& m : radio_.meters) {
    meters_.push_back(Meter{&m, RadioPace(m.meter.interval, Clock::now()), std::nullopt, {}, {}});
  }
}

RadioWorker::~RadioWorker() {
  RequestStop();
  Join();
}

void RadioWorker::Start() {
  // Nothing a bus or radio meets may take the others down with it: what ends this one is logged.
  worker_.Start([this] { Run(); },
                [this](const std::exception& e) {
                  log_.Note("radio " + radio_.name + ": stopped: " + e.what());
                });
}

void RadioWorker::RequestStop() {
  worker_.RequestStop();
}

void RadioWorker::Join() {
  worker_.Join();
}

void RadioWorker::Run() {
  started_ = Clock::now();
  for (Meter& m : meters_) m.pace = RadioPace(m.entry->meter.interval, started_);
  WirelessDecoder decoder(KeysOf(radio_));
  if (formats_.load) {
    for (const CompactFormats::Format& f : formats_.load())
      decoder.Formats().Learn(f.meter, f.difvif);
  }
  std::chrono::seconds backoff(1);
  while (!worker_.Stopping()) {
    posix::PosixEventLoop events;
    std::string why;
    delivered_ = false;
    try {
      // A program receiver's complaints (rtl_433 on its standard error) go to the log.
      RadioSource radio = MakeRadioSource(
          events, radio_.receiver, radio_.device, *RadioModeByName(radio_.mode),
          FrameCrcs::kPresent,
          [this](const std::string& line) { log_.Note("radio " + radio_.name + ": " + line); });
      RadioReceiver& receiver = *radio.receiver;
      why = receiver.Start(*RadioModeByName(radio_.mode), kStartMs);
      if (why.empty()) {
        log_.Note("radio " + radio_.name + ": listening on " + radio_.device + " in mode " +
                  std::string(RadioModeName(*RadioModeByName(radio_.mode))));
        down_ = false;
        if (link_) link_(radio_.name, true, "");
        Serve(receiver, decoder);
        if (!worker_.Stopping()) Lost("the receiver stopped delivering");
        continue;
      }
    } catch (const Error& e) {
      why = e.what();
    }
    // The pause doubles while the receiver fails before it delivers anything (a program that
    // keeps ending at once); one that delivered is tried again after a second.
    if (delivered_) backoff = std::chrono::seconds(1);
    Lost(why);
    log_.Note("radio " + radio_.name + ": " + radio_.device + " unavailable (" + why +
              "); trying again in " + std::to_string(backoff.count()) + " s");
    CheckSilence(Clock::now());
    if (!worker_.SleepUntil(Clock::now() + backoff)) break;
    backoff = std::min(backoff * 2, std::chrono::seconds(60));
  }
}

void RadioWorker::Serve(RadioReceiver& receiver, WirelessDecoder& decoder) {
  WirelessTelegram t;
  while (!worker_.Stopping()) {
    for (const HeardTelegram& h : receiver.Listen(kListenMs)) {
      delivered_ = true;
      decoder.Decode(h.bytes, t, h.crcs);
      // A full frame showed a format: kept, so that its meter's compact frames are read after a
      // restart too.
      if (t.learnedFormat && formats_.keep) formats_.keep(*decoder.Formats().Newest());
      Heard(h, t);
    }
    CheckSilence(Clock::now());
  }
}

// A telegram of a configured meter: heard now; published when its interval has passed since
// its last reading. Telegrams of other meters (the neighbours') are passed over, and so are
// damaged ones.
void RadioWorker::Heard(const HeardTelegram& h, const WirelessTelegram& t) {
  if (t.bytes.empty()) return;  // too damaged to say whose it is
  const std::string_view ident(t.decoded.header.ident.data(), 8);
  for (Meter& m : meters_) {
    const MeterEntry& entry = m.entry->meter;
    if (entry.address != ident) continue;
    const auto now = Clock::now();
    const MeterRead read = AsRead(t);
    // A telegram the air damaged says nothing about the meter, and its next one comes soon: it
    // is passed over rather than published in place of a good one. So is a compact frame
    // before the meter's next full frame has shown its format.
    // The air damaged it, or it cannot be read yet: nothing is known about the meter.
    if (read.status == Status::kDamagedFrame || read.status == Status::kUnreadableRecords ||
        read.status == Status::kFormatNotYetKnown) {
      return;
    }
    m.lastFailure = read.Ok() ? "" : read.error;
    if (!m.pace.Heard(now, read.Ok())) return;
    nlohmann::ordered_json j;
    j["meter"] = entry.name;
    j["bus"] = radio_.name;
    const auto when = std::chrono::system_clock::now();
    if (read.Ok()) m.lastGood = when;
    RadioMessage(t, h, when, j, &read.values);  // the values worked out once
    ProfileReading& named = m.named;
    if (profiles_ != nullptr && read.Ok()) {
      const DecodedTelegram& d = t.decoded;
      ReadByProfile(*profiles_, d.header, d.records, d.manufacturerData, named, t.Layout());
      AddProfileJson(named, j);
    }
    if (m.lastGood) j["lastGood"] = IsoUtc(*m.lastGood);
    const std::string where =
        sink_(StateTopic(prefix_, entry.name),
              j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    if (read.Ok() && state_sink_) state_sink_(entry, read, named);
    log_.Read(std::chrono::system_clock::now(), radio_.name + "/" + entry.name + ": " +
                                                    (read.Ok() ? "ok" : read.error) + "; " + where);
    return;
  }
}

// The receiver is gone: its meters' last values are no longer current, whatever their
// intervals say.
void RadioWorker::Lost(const std::string& why) {
  if (down_) return;
  down_ = true;
  if (link_) link_(radio_.name, false, why);
  for (Meter& m : meters_) {
    if (m.pace.Lost() && availability_) availability_(m.entry->meter, false);
  }
}

void RadioWorker::CheckSilence(Clock::time_point now) {
  for (Meter& m : meters_) {
    const MeterEntry& entry = m.entry->meter;
    if (!m.pace.FallsSilent(now)) continue;
    // A meter whose telegrams come but cannot be read is heard: the log says why it is not read.
    const std::string limit = std::to_string(m.pace.SilenceLimit().count()) + " s";
    const std::string silence = m.lastFailure.empty() ? "not heard for " + limit
                                                      : "heard, but no telegram read for " + limit +
                                                            " (" + m.lastFailure + ")";
    log_.Note("radio " + radio_.name + ": " + entry.name + " (" + entry.address + ") " + silence +
              ": unavailable");
    if (availability_) availability_(entry, false);
  }
}

}  // namespace velmar::tools
