// Throughput of the string measure and of fitting one long log text.
#include <benchmark/benchmark.h>

#include <string>

#include "options.h"
#include "size.h"
#include "text.h"

namespace {

std::string log_text(std::size_t bytes) {
  std::string s;
  s.reserve(bytes + 128);
  for (std::size_t i = 0; s.size() < bytes; ++i) {
    s += "2024-06-11T10:00:" + std::to_string(i % 60) + " INFO worker-" + std::to_string(i % 7) +
         " processed request \"GET /api/items\" in 12ms\tstatus=200 caf\xC3\xA9\n";
    if (i % 40 == 39) s += "\n";
  }
  return s;
}

void BM_CharCosts(benchmark::State& state) {
  std::string s = log_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tavisk::size::char_costs(s));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_CharCosts)->Arg(10 << 20);

void BM_FitText(benchmark::State& state) {
  std::string s = log_text(static_cast<std::size_t>(state.range(0)));
  tavisk::Options o;
  for (auto _ : state) benchmark::DoNotOptimize(tavisk::text::fit_text(s, 10000, o, &tavisk::size::quoted));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_FitText)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

void BM_FitFlat(benchmark::State& state) {
  std::string s(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(tavisk::text::fit_flat(s, s.size(), 10000, &tavisk::size::quoted));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_FitFlat)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
