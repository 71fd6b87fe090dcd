// Shrinking 100,000 records of 20 keys to 20,000 characters: condense beside sample. At that budget the
// records' braces and commas alone do not fit, so condensing declines at once; at 8,000,000 characters it
// surveys, plans and fills the table.
#include <benchmark/benchmark.h>

#include <string>

#include "tavisk.h"

namespace {

std::string generated_records(int rows) {
  std::string out = "[";
  for (int i = 0; i < rows; ++i) {
    if (i) out += ",";
    out += "{\"id\":" + std::to_string(i) + ",\"title\":\"Record " + std::to_string(i) + "\"";
    for (int k = 2; k < 20; ++k) {
      out += ",\"field_" + std::to_string(k) + "\":";
      if (k % 3 == 0)
        out += std::to_string((i * 31 + k) % 997);
      else
        out += "\"value " + std::to_string((i + k) % 50) + " of field " + std::to_string(k) + "\"";
    }
    out += "}";
  }
  return out + "]";
}

void shrink(benchmark::State& state, const char* options) {
  static const std::string input = generated_records(100000);
  const std::string opts = options;
  for (auto _ : state) {
    uint64_t len = 0;
    uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                                 reinterpret_cast<const uint8_t*>(opts.data()), opts.size(), &len);
    benchmark::DoNotOptimize(out);
    tavisk_free(out, len);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

void BM_Condense(benchmark::State& state) { shrink(state, R"({"max_chars":20000,"array_strategy":"condense"})"); }
void BM_Sample(benchmark::State& state) { shrink(state, R"({"max_chars":20000,"array_strategy":"sample"})"); }

void BM_CondenseLargeBudget(benchmark::State& state) {
  shrink(state, R"({"max_chars":8000000,"array_strategy":"condense"})");
}
void BM_SampleLargeBudget(benchmark::State& state) {
  shrink(state, R"({"max_chars":8000000,"array_strategy":"sample"})");
}

BENCHMARK(BM_Condense)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sample)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CondenseLargeBudget)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SampleLargeBudget)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
