// Scores 1,000,000 field summaries with the heuristic scorer.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "fields.h"

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
}
BENCHMARK(BM_HeuristicScore)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
