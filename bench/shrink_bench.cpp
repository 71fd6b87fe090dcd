// Whole shrink calls and their phases: parse, analysis, budget search (fitting and rendering).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "fields.h"
#include "focus.h"
#include "json.h"
#include "pipeline.h"
#include "prune.h"
#include "tavisk.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::uint64_t rng_state = 88172645463325252ull;
std::uint64_t rnd() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

// About 10 MB of long multi-paragraph strings under a few keys.
std::string long_strings_doc() {
  std::string out = "{";
  for (int k = 0; k < 20; ++k) {
    out += (k ? ",\"" : "\"") + std::string("log_") + std::to_string(k) + "\":\"";
    for (int line = 0; line < 6100; ++line) {
      out += "2026-12-0" + std::to_string(line % 9 + 1) + " INFO worker-" + std::to_string(rnd() % 64) +
             ": processed batch " + std::to_string(rnd() % 100000) + " in " + std::to_string(rnd() % 900) +
             " ms; queue depth is fine.\\n";
      if (line % 50 == 49) out += "\\n";
    }
    out += "\"";
  }
  return out + "}";
}

// Records of `keys` keys; about 250 bytes each with 10 keys.
std::string records_doc(int rows, int keys) {
  std::string out = "[";
  for (int i = 0; i < rows; ++i) {
    out += i ? ",{" : "{";
    out += "\"id\":" + std::to_string(i) + ",\"title\":\"Record number " + std::to_string(i) + " of the table\"";
    for (int k = 2; k < keys; ++k) {
      out += ",\"field_" + std::to_string(k) + "\":";
      if (k % 3 == 0)
        out += std::to_string(rnd() % 100000);
      else if (k % 3 == 1)
        out += "\"value " + std::to_string(rnd() % 1000) + " caf\xC3\xA9\"";
      else
        out += "{\"login\":\"user" + std::to_string(rnd() % 500) + "\",\"admin\":false}";
    }
    out += "}";
  }
  return out + "]";
}

struct Phases {
  double parse_ms = 0, analysis_ms = 0, focus_ms = 0, search_ms = 0, fit_ms = 0, render_ms = 0;
  int attempts = 0;
  std::uint64_t chars = 0;
};

double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// One call's phases; the search is then replayed budget by budget to split fitting from rendering.
Phases phases(const std::string& doc, const std::string& options_json) {
  using clock = std::chrono::steady_clock;
  Phases p;
  auto t = clock::now();
  tavisk::Arena arena;  // read as a call reads its input
  auto tree = tavisk::json::parse(doc, arena);
  p.parse_ms = ms_since(t);
  const tavisk::Value& root = tree.value().root();
  auto opts = tavisk::Options::from_value(tavisk::json::parse(options_json).value()).value();
  t = clock::now();
  tavisk::Meta meta = tavisk::analyze(root, opts, opts.indent, &arena);
  p.analysis_ms = ms_since(t);
  t = clock::now();
  benchmark::DoNotOptimize(tavisk::focus::Index::build(root, meta, opts).get());  // the search builds it again
  p.focus_ms = ms_since(t);
  t = clock::now();
  tavisk::BudgetSearch s = tavisk::search_budget(root, meta, opts, tavisk::Format::Json, opts.indent);
  p.search_ms = ms_since(t);
  p.attempts = s.attempts;
  p.chars = s.chars;
  const tavisk::FieldScorer& scorer = tavisk::scorer_for(opts.field_scorer);
  const auto focus = opts.focus == tavisk::Focus::Auto ? tavisk::focus::Index::build(root, meta, opts) : nullptr;
  for (std::uint64_t b : s.budgets) {
    t = clock::now();
    tavisk::Pruner pr = tavisk::Pruner::with_scorer(opts.indent > 0, opts.indent, opts, scorer);
    pr.focus_index = focus.get();
    tavisk::Fitted f = pr.fit(root, meta, b, 0);
    p.fit_ms += ms_since(t);
    t = clock::now();
    benchmark::DoNotOptimize(tavisk::render(f.value, opts.indent, tavisk::Format::Json).size());
    p.render_ms += ms_since(t);
  }
  return p;
}

void shrink_call(benchmark::State& state, const std::string& doc, const std::string& options) {
  for (auto _ : state) {
    uint64_t len = 0;
    uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(doc.data()), doc.size(),
                                 reinterpret_cast<const uint8_t*>(options.data()), options.size(), &len);
    benchmark::DoNotOptimize(out);
    tavisk_free(out, len);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

const std::string& strings_10mb() {
  static const std::string d = long_strings_doc();
  return d;
}
const std::string& records_50mb() {
  static const std::string d = records_doc(200000, 10);
  return d;
}
const std::string& records_100k() {
  static const std::string d = records_doc(100000, 20);
  return d;
}
const std::string& largest_real() {
  static const std::string d = read_file(std::string(TAVISK_SHARED_DIR) + "/corpus/real/geojson-usgs-earthquakes.json");
  return d;
}

const std::string opts10k = R"({"max_chars":10000})";
void BM_shrink_long_strings_10mb(benchmark::State& s) { shrink_call(s, strings_10mb(), opts10k); }
void BM_shrink_largest_real(benchmark::State& s) { shrink_call(s, largest_real(), opts10k); }
void BM_shrink_records_50mb(benchmark::State& s) { shrink_call(s, records_50mb(), opts10k); }
// The same call asked a question: its words steer the field scores; with focus they also find
// the matching records (an exact token, words that hit many values, words that hit none).
const std::string args50 =
    R"("arguments":{"question":"which record has the login user417 and an admin flag","table":"records"})";
const std::string opts10k_args = R"({"max_chars":10000,)" + args50 + "}";
const std::string opts10k_focus = R"({"max_chars":10000,"focus":"auto",)" + args50 + "}";
void BM_shrink_records_50mb_arguments(benchmark::State& s) { shrink_call(s, records_50mb(), opts10k_args); }
void BM_shrink_records_50mb_focus(benchmark::State& s) { shrink_call(s, records_50mb(), opts10k_focus); }
void BM_shrink_records_100k_sample(benchmark::State& s) {
  shrink_call(s, records_100k(), R"({"max_chars":20000,"array_strategy":"sample"})");
}
void BM_shrink_records_100k_condense(benchmark::State& s) {
  shrink_call(s, records_100k(), R"({"max_chars":20000,"array_strategy":"condense"})");
}
// Reading alone, as a call reads its input: the yardstick for the whole calls above.
void parse_only(benchmark::State& state, const std::string& doc) {
  for (auto _ : state) {
    tavisk::Arena arena;
    auto tree = tavisk::json::parse(doc, arena);
    benchmark::DoNotOptimize(tree.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
void BM_parse_largest_real(benchmark::State& s) { parse_only(s, largest_real()); }
void BM_parse_records_50mb(benchmark::State& s) { parse_only(s, records_50mb()); }

BENCHMARK(BM_parse_largest_real)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_records_50mb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_long_strings_10mb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_largest_real)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_records_50mb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_records_50mb_arguments)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_records_50mb_focus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_records_100k_sample)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_shrink_records_100k_condense)->Unit(benchmark::kMillisecond);

void print_phases(const char* name, const std::string& doc, const std::string& options) {
  Phases p = phases(doc, options);
  std::printf(
      "%-24s %6.1f MB  parse %7.1f ms  analysis %7.1f ms  focus %6.1f ms  search %7.1f ms (fit %7.1f + render "
      "%6.1f)  attempts %2d  output %llu chars\n",
      name, static_cast<double>(doc.size()) / 1e6, p.parse_ms, p.analysis_ms, p.focus_ms, p.search_ms, p.fit_ms,
      p.render_ms,
      p.attempts, static_cast<unsigned long long>(p.chars));
}

}  // namespace

int main(int argc, char** argv) {
  print_phases("long strings 10 MB", strings_10mb(), opts10k);
  print_phases("largest real file", largest_real(), opts10k);
  print_phases("200,000 records", records_50mb(), opts10k);
  print_phases("200,000 records, asked", records_50mb(), opts10k_args);
  print_phases("200,000 records, focus", records_50mb(), opts10k_focus);
  print_phases("100,000 x 20 sample", records_100k(), R"({"max_chars":20000})");
  print_phases("100,000 x 20 condense", records_100k(), R"({"max_chars":20000,"array_strategy":"condense"})");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
