// Scores 1,000,000 field summaries with the heuristic scorer, and counts the heap allocations of a
// call against those of splitting the key into its word list.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "fields.h"

namespace {
std::size_t allocations = 0;
}  // namespace

// The replacements pair malloc with free; GCC cannot see that once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using tavisk::FieldStats;

// A mix of key shapes seen in API responses: plain, camel-case, snake-case, nested, marker and unknown keys.
const std::vector<std::vector<std::string>>& paths() {
  static const std::vector<std::vector<std::string>> all = {
      {"id"},
      {"title"},
      {"createdAt"},
      {"user_id"},
      {"status"},
      {"description"},
      {"avatarUrl"},
      {"html_url"},
      {"foo12"},
      {"metadata"},
      {"first_name"},
      {"postcreated"},
      {"data", "user", "email"},
      {"items", "title"},
      {"node", "id"},
      {"author", "login"},
      {"fields", "summary"},
      {"issue", "fields", "priority", "name"},
      {"labels", "$"},
      {"commentCount"},
      {"customFieldConfigurationsExtended", "displayName"},
      {"ПользовательскиеДанные", "$\u212Aind"},
  };
  return all;
}

std::vector<FieldStats> make_stats(std::size_t n) {
  std::vector<FieldStats> out(n);
  const auto& ps = paths();
  for (std::size_t i = 0; i < n; ++i) {
    FieldStats& st = out[i];
    st.path = ps[i % ps.size()];
    st.rows = 10;
    st.present = 5 + i % 6;
    st.kind_counts[3] = st.present;
    st.scalars = st.present;
    st.distinct = 1 + i % st.present;
    st.empty = i % 7 == 0 ? 2 : 0;
    st.mean_chars = static_cast<double>(i % 300);
    st.relevance = st.name_relevance = i % 3 == 0 ? 0.5 : 0;
    st.opaque = i % 11 == 0;
  }
  return out;
}

void BM_HeuristicScore(benchmark::State& state) {
  // 10,000 distinct summaries (larger than the L2 cache), scored 100 times each per iteration.
  constexpr std::size_t kDistinct = 10'000;
  constexpr std::size_t kCalls = 1'000'000;
  const std::vector<FieldStats> stats = make_stats(kDistinct);
  const tavisk::FieldScorer& scorer = tavisk::scorer_for(tavisk::ScorerKind::Heuristic);
  for (auto _ : state) {
    double sum = 0;
    for (std::size_t round = 0; round < kCalls / kDistinct; ++round)
      for (const auto& st : stats) sum += scorer.score(st);
    benchmark::DoNotOptimize(sum);
  }
  state.counters["per_call"] = benchmark::Counter(
      static_cast<double>(kCalls), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

  // Allocations of one call beyond those of the key's word list (expected 0).
  std::size_t beyond = 0;
  for (const auto& st : stats) {
    std::size_t before = allocations;
    benchmark::DoNotOptimize(tavisk::words(st.key()));
    const std::size_t word_list = allocations - before;
    before = allocations;
    benchmark::DoNotOptimize(scorer.score(st));
    beyond += allocations - before - word_list;
  }
  state.counters["allocs_beyond_words"] = static_cast<double>(beyond) / static_cast<double>(kDistinct);
}
BENCHMARK(BM_HeuristicScore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
