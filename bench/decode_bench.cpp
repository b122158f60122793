// Telegrams per second over the public corpus, through the control's RSP_UD check and record
// walker, and through the standard record decoder with its whole record list; and how many heap
// allocations each telegram costs (counted by a replaced operator new).
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "decode/meter_data.hpp"
#include "decode/rsp_ud.hpp"
#include "link/link_state.hpp"
#include "velmar/records.hpp"

namespace {

std::vector<std::vector<std::uint8_t>> LoadCorpus() {
  std::vector<std::vector<std::uint8_t>> telegrams;
  std::ifstream in(VELMAR_CORPUS);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("\"hex\": \"");
    if (at == std::string::npos) continue;
    const auto start = at + 8, end = line.find('"', start);
    std::vector<std::uint8_t> bytes;
    for (auto i = start; i + 1 < end; i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
    telegrams.push_back(std::move(bytes));
  }
  return telegrams;
}

// decodeMode 0 clears the store and expects block type 0; 250 keeps the store and takes any
// manufacturer block, as the control's block reads do.
void DecodeCorpus(benchmark::State& state) {
  const auto corpus = LoadCorpus();
  const auto mode = static_cast<std::uint8_t>(state.range(0));
  std::size_t bytes = 0;
  for (const auto& t : corpus) bytes += t.size();
  std::vector<std::uint8_t> work;
  work.reserve(256);
  const std::int64_t allocationsBefore = velmar::bench::AllocationCount();
  for (auto _ : state) {
    for (const auto& t : corpus) {
      work.assign(t.begin(), t.end());
      velmar::LinkState().bytesToDecode = 0;
      benchmark::DoNotOptimize(
          velmar::CheckRspUd(work, static_cast<std::int16_t>(work.size()), mode));
    }
  }
  const auto telegrams =
      static_cast<double>(state.iterations()) * static_cast<double>(corpus.size());
  state.counters["allocs_per_telegram"] =
      static_cast<double>(velmar::bench::AllocationCount() - allocationsBefore) / telegrams;
  state.counters["bytes_per_telegram"] =
      static_cast<double>(bytes) / static_cast<double>(corpus.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(telegrams));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
}
BENCHMARK(DecodeCorpus)->Arg(0)->Arg(250);

// The standard decoder into one reused result, as a collector decoding telegram after telegram
// does: the record list keeps its capacity, so a record costs no allocation.
void DecodeRecordsCorpus(benchmark::State& state) {
  const auto corpus = LoadCorpus();
  std::size_t bytes = 0;
  std::size_t records = 0;
  velmar::DecodedTelegram out;
  for (const auto& t : corpus) {
    bytes += t.size();
    velmar::DecodeTelegram(t, out);
    records += out.records.size();
  }
  const std::int64_t allocationsBefore = velmar::bench::AllocationCount();
  for (auto _ : state) {
    for (const auto& t : corpus) {
      benchmark::DoNotOptimize(velmar::DecodeTelegram(t, out));
      benchmark::DoNotOptimize(out.records.data());
    }
  }
  const auto telegrams =
      static_cast<double>(state.iterations()) * static_cast<double>(corpus.size());
  const double allocations =
      static_cast<double>(velmar::bench::AllocationCount() - allocationsBefore);
  state.counters["allocs_per_telegram"] = allocations / telegrams;
  state.counters["records_per_telegram"] =
      static_cast<double>(records) / static_cast<double>(corpus.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(telegrams));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
}
BENCHMARK(DecodeRecordsCorpus);

}  // namespace

BENCHMARK_MAIN();
