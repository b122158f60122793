// Wireless telegrams per second through the whole path a receiver's telegram takes: frame
// opened, layers read, the meter's key found among a thousand, deciphered (security mode 5: one
// AES-CBC run; mode 7: two key derivations and a MAC by AES-CMAC, then AES-CBC), records
// decoded; plain telegrams for comparison, and a mix. Heap allocations per telegram counted by a
// replaced operator new.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "velmar/wmbus.hpp"

namespace {

constexpr int kMeters = 1000;

velmar::MeterKey KeyOf(int meter) {
  velmar::MeterKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(meter + i);
  return key;
}

// A heat meter's telegram as meters send them every few minutes: energy, volume, flow and
// return temperature, power, flow, a date (30 bytes of records).
std::vector<std::uint8_t> Telegram(int meter, std::uint8_t mode) {
  velmar::WirelessMessage m;
  m.manufacturerCode = 0x58AC;
  m.ident = static_cast<std::uint32_t>(70000000 + meter);
  m.version = 1;
  m.deviceType = 0x04;
  m.accessNumber = static_cast<std::uint8_t>(meter);
  m.securityMode = mode;
  m.counter = static_cast<std::uint32_t>(meter) + 1;
  m.records = {0x04, 0x06, 0x10, 0x27, 0x00, 0x00,   // energy 10000 kWh
               0x04, 0x13, 0x20, 0x4E, 0x00, 0x00,   // volume 20000 l
               0x02, 0x5A, 0x2C, 0x01,               // flow temperature 30.0 °C
               0x02, 0x5E, 0xC8, 0x00,               // return temperature 20.0 °C
               0x02, 0x2B, 0xE8, 0x03,               // power 1000 W
               0x04, 0x6D, 0x00, 0x0C, 0x86, 0x2B};  // date and time
  const velmar::MeterKey key = KeyOf(meter);
  return velmar::BuildWirelessTelegram(m, &key);
}

velmar::MeterKeys Keys() {
  velmar::MeterKeys keys;
  for (int i = 0; i < kMeters; ++i) keys.Add(std::to_string(70000000 + i), KeyOf(i));
  return keys;
}

// Mode 0, 5 or 7 for every telegram; a negative range means a mix of the three in turn.
void DecodeWireless(benchmark::State& state) {
  std::vector<std::vector<std::uint8_t>> corpus;
  for (int i = 0; i < kMeters; i += 10) {
    const auto mode =
        state.range(0) >= 0 ? state.range(0) : std::array<long, 3>{0, 5, 7}[(i / 10) % 3];
    corpus.push_back(Telegram(i, static_cast<std::uint8_t>(mode)));
  }
  velmar::WirelessDecoder decoder(Keys());
  velmar::WirelessTelegram t;
  for (const auto& c : corpus) {
    if (!decoder.Decode(c, t).empty()) state.SkipWithError(t.error.c_str());
  }
  const std::int64_t allocationsBefore = velmar::bench::AllocationCount();
  for (auto _ : state) {
    for (const auto& c : corpus) {
      benchmark::DoNotOptimize(decoder.Decode(c, t));
      benchmark::DoNotOptimize(t.decoded.records.data());
    }
  }
  const auto telegrams =
      static_cast<double>(state.iterations()) * static_cast<double>(corpus.size());
  state.counters["allocs_per_telegram"] =
      static_cast<double>(velmar::bench::AllocationCount() - allocationsBefore) / telegrams;
  state.counters["records"] = static_cast<double>(t.decoded.records.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(telegrams));
}
BENCHMARK(DecodeWireless)->Arg(0)->Arg(5)->Arg(7)->Arg(-1);

}  // namespace

BENCHMARK_MAIN();
