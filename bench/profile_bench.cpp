// What a meter profile costs beside the decoding it follows: a plain heat meter's telegram
// decoded alone, and decoded, matched among thirty profiles (one for its maker) and applied
// (four named fields, four flags), as listen and the collector do for every telegram.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "heat_meter.hpp"
#include "profiles.hpp"
#include "velmar/wmbus.hpp"

namespace {

std::vector<std::uint8_t> Telegram() {
  return velmar::bench::HeatMeterTelegram(1, 0, nullptr);
}

std::string ProfileText(const std::string& name, const std::string& maker) {
  std::string text = "name = \"" + name + "\"\ntitle = \"t\"\nsource = \"s\"\n[match]\n" +
                     "manufacturer = \"" + maker + "\"\nmedia = [4]\n";
  for (const char* q : {"energy", "volume", "flow_temperature", "return_temperature"}) {
    text += "[[fields]]\nname = \"" + std::string(q) + "_x\"\nlabel = \"L\"\nquantity = \"" + q +
            "\"\n";
  }
  for (int bit = 0; bit < 4; ++bit) {
    text += "[[flags]]\nname = \"f" + std::to_string(bit) +
            "\"\nmeaning = \"m\"\nsource = \"s\"\nfrom = \"status\"\nmask = " +
            std::to_string(1 << bit) + "\n";
  }
  return text;
}

velmar::tools::ProfileSet Profiles() {
  velmar::tools::ProfileSet set;
  for (int i = 0; i < 29; ++i) {
    const std::string maker = {static_cast<char>('A' + i % 26), static_cast<char>('A' + i / 26),
                               'X'};
    set.Add(velmar::tools::ParseProfile(ProfileText("other" + std::to_string(i), maker), "p"));
  }
  set.Add(velmar::tools::ParseProfile(ProfileText("heat", "VEL"), "p"));
  return set;
}

// Argument 0: decoding alone; 1: decoding, then matching and applying the profile; 2: matching
// and applying alone, on the records one decoding gave (the profile's own cost, without the
// noise of the decoding around it).
void ProfileColumn(benchmark::State& state) {
  const auto telegram = Telegram();
  const velmar::tools::ProfileSet set = Profiles();
  velmar::WirelessDecoder decoder;
  velmar::WirelessTelegram t;
  const bool profile = state.range(0) >= 1;
  const bool decode = state.range(0) <= 1;
  velmar::tools::ProfileReading r;  // its lists keep their room, as a receiver's loop keeps it
  decoder.Decode(telegram, t, velmar::FrameCrcs::kRemoved);
  for (auto _ : state) {
    if (decode) decoder.Decode(telegram, t, velmar::FrameCrcs::kRemoved);
    if (profile) {
      velmar::tools::ReadByProfile(set, t.decoded.header, t.decoded.records,
                                   t.decoded.manufacturerData, r, t.Layout());
      if (r.profile == nullptr || r.fields.size() != 4) state.SkipWithError("no profile");
      benchmark::DoNotOptimize(r.fields.data());
    }
    benchmark::DoNotOptimize(t.decoded.records.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ProfileColumn)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
