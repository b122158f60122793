// Telegrams per second through the RSP_UD check and the record walker over the public corpus.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "decode/meter_data.hpp"
#include "link/link_state.hpp"
#include "link/reply_check.hpp"

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

void DecodeCorpus(benchmark::State& state) {
  const auto corpus = LoadCorpus();
  std::size_t bytes = 0;
  for (const auto& t : corpus) bytes += t.size();
  std::vector<std::uint8_t> work;
  for (auto _ : state) {
    for (const auto& t : corpus) {
      work.assign(t.begin(), t.end());
      velmar::LinkState().bytesToDecode = 0;
      benchmark::DoNotOptimize(velmar::CheckRspUd(work, static_cast<std::int16_t>(work.size()), 0));
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * corpus.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(DecodeCorpus);

}  // namespace

BENCHMARK_MAIN();
