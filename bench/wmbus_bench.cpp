// Wireless telegrams per second through the whole path a receiver's telegram takes: frame
// opened, layers read, the meter's key found among a thousand, deciphered (security mode 5: one
// AES-CBC run; mode 7: two key derivations and a MAC by AES-CMAC, then AES-CBC), records
// decoded; plain telegrams for comparison, compact frames (CI 0x79, read with the format their
// meter's full frame showed), and a mix. Heap allocations per telegram counted by a replaced
// operator new.
#include <benchmark/benchmark.h>

#include <array>
#include <span>
#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "heat_meter.hpp"
#include "velmar/wmbus.hpp"

namespace {

constexpr int kMeters = 1000;
constexpr long kCompact = 79;  // the benchmark's argument for compact frames

velmar::MeterKey KeyOf(int meter) {
  velmar::MeterKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(meter + i);
  return key;
}

std::vector<std::uint8_t> Telegram(int meter, std::uint8_t mode) {
  const velmar::MeterKey key = KeyOf(meter);
  return velmar::bench::HeatMeterTelegram(meter, mode, &key);
}

// The same meter's compact frame: link layer, CI 0x79, the signature of the full frame's DIFs
// and VIFs, the CRC of its records, then the values alone.
std::vector<std::uint8_t> Compact(const std::vector<std::uint8_t>& full) {
  const std::span<const std::uint8_t> records(full.begin() + 15, full.end());
  std::vector<std::uint8_t> difvif, values;
  for (std::size_t at = 0; at < records.size();) {
    const std::size_t n = records[at] == 0x02 ? 2 : 4;  // 16- or 32-bit fields only, here
    difvif.insert(difvif.end(), records.begin() + at, records.begin() + at + 2);
    values.insert(values.end(), records.begin() + at + 2, records.begin() + at + 2 + n);
    at += 2 + n;
  }
  std::vector<std::uint8_t> t(full.begin(), full.begin() + 10);
  const std::uint16_t signature = velmar::WirelessCrc(difvif);
  const std::uint16_t crc = velmar::WirelessCrc(records);
  t.insert(t.end(),
           {0x79, static_cast<std::uint8_t>(signature), static_cast<std::uint8_t>(signature >> 8),
            static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)});
  t.insert(t.end(), values.begin(), values.end());
  t[0] = static_cast<std::uint8_t>(t.size() - 1);
  return t;
}

velmar::MeterKeys Keys() {
  velmar::MeterKeys keys;
  for (int i = 0; i < kMeters; ++i) keys.Add(std::to_string(70000000 + i), KeyOf(i));
  return keys;
}

// Mode 0, 5 or 7 for every telegram, or compact frames (79); a negative range means a mix of
// the four in turn.
void DecodeWireless(benchmark::State& state) {
  std::vector<std::vector<std::uint8_t>> corpus;
  velmar::WirelessDecoder decoder(Keys());
  velmar::WirelessTelegram t;
  for (int i = 0; i < kMeters; i += 10) {
    const auto mode =
        state.range(0) >= 0 ? state.range(0) : std::array<long, 4>{0, 5, 7, kCompact}[(i / 10) % 4];
    if (mode == kCompact) {
      const auto full = Telegram(i, 0);
      decoder.Decode(full, t, velmar::FrameCrcs::kRemoved);  // its format learned
      corpus.push_back(Compact(full));
    } else {
      corpus.push_back(Telegram(i, static_cast<std::uint8_t>(mode)));
    }
  }
  for (const auto& c : corpus) {
    if (!decoder.Decode(c, t, velmar::FrameCrcs::kRemoved).empty()) {
      state.SkipWithError(t.error.c_str());
    }
  }
  const std::int64_t allocationsBefore = velmar::bench::AllocationCount();
  for (auto _ : state) {
    for (const auto& c : corpus) {
      benchmark::DoNotOptimize(decoder.Decode(c, t, velmar::FrameCrcs::kRemoved));
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
BENCHMARK(DecodeWireless)->Arg(0)->Arg(5)->Arg(7)->Arg(kCompact)->Arg(-1);

}  // namespace

BENCHMARK_MAIN();
