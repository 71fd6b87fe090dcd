// Reader and writer throughput on the largest real JSON file and on a
// generated 50 MB document, side by side with RapidJSON's DOM parse.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <malloc.h>
#include <rapidjson/document.h>

#include <fstream>
#include <sstream>
#include <string>

#include "json.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string largest_real_json() {
  std::string dir = std::string(TAVISK_SHARED_DIR) + "/corpus/real";
  std::string best;
  DIR* d = opendir(dir.c_str());
  if (!d) return "[]";
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
    std::string text = read_file(dir + "/" + name);
    if (text.size() > best.size()) best = std::move(text);
  }
  closedir(d);
  return best;
}

// Records with nested objects, escaped and non-ASCII strings and numbers.
std::string generated(std::size_t target) {
  std::string out = "[";
  std::uint64_t x = 88172645463325252ull;
  auto rnd = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  for (std::size_t i = 0; out.size() < target; ++i) {
    if (i) out += ',';
    out += "{\"id\":" + std::to_string(i) + ",\"score\":" + std::to_string(rnd() % 100000) + "." +
           std::to_string(rnd() % 1000) + ",\"title\":\"Issue \\\"" + std::to_string(rnd() % 5000) +
           "\\\" in caf\xC3\xA9 \xE2\x80\x94 r\xC3\xA9sum\xC3\xA9\\n\\tline two\",\"user\":{\"login\":\"user" +
           std::to_string(rnd() % 900) + "\",\"site_admin\":" + (rnd() % 2 ? "true" : "false") +
           ",\"tags\":[\"a\",\"\xE6\x97\xA5\xE6\x9C\xAC\",null]},\"body\":\"" + std::string(40 + rnd() % 200, 'x') +
           "\\\\ path/to\\/file \\u00e9\"}";
  }
  out += "]";
  return out;
}

const std::string& real_doc() {
  static const std::string doc = largest_real_json();
  return doc;
}

const std::string& big_doc() {
  static const std::string doc = generated(50u << 20);
  return doc;
}

std::size_t heap_in_use() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Memory held by the tree of one parse (heap and mapped arena blocks, the
// latter as reserved), against the document's size.
double tree_per_byte(const std::string& doc) {
  const std::size_t before = heap_in_use();
  tavisk::Arena arena;
  auto v = tavisk::json::parse(doc, arena);
  const std::size_t bytes = heap_in_use() - before + arena.mapped_bytes();
  return static_cast<double>(bytes) / static_cast<double>(doc.size());
}

// Parse and free, as one call does: the tree in an arena, borrowing the input's long texts.
void parse_ours(benchmark::State& state, const std::string& doc) {
  for (auto _ : state) {
    tavisk::Arena arena;
    auto v = tavisk::json::parse(doc, arena);
    benchmark::DoNotOptimize(v.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
  state.counters["tree_per_byte"] = tree_per_byte(doc);
}

void write_ours(benchmark::State& state, const std::string& doc, bool pretty) {
  auto v = tavisk::json::parse(doc);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out;
    tavisk::json::write_value(out, v.value(), pretty, 2, 0);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void parse_rapidjson(benchmark::State& state, const std::string& doc) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(doc.data(), doc.size());
    benchmark::DoNotOptimize(d.HasParseError());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_real_parse_tavisk(benchmark::State& s) { parse_ours(s, real_doc()); }
void BM_real_parse_rapidjson(benchmark::State& s) { parse_rapidjson(s, real_doc()); }
void BM_real_write_compact(benchmark::State& s) { write_ours(s, real_doc(), false); }
void BM_real_write_pretty(benchmark::State& s) { write_ours(s, real_doc(), true); }
void BM_50mb_parse_tavisk(benchmark::State& s) { parse_ours(s, big_doc()); }
void BM_50mb_parse_rapidjson(benchmark::State& s) { parse_rapidjson(s, big_doc()); }
void BM_50mb_write_compact(benchmark::State& s) { write_ours(s, big_doc(), false); }
void BM_50mb_write_pretty(benchmark::State& s) { write_ours(s, big_doc(), true); }

BENCHMARK(BM_real_parse_tavisk);
BENCHMARK(BM_real_parse_rapidjson);
BENCHMARK(BM_real_write_compact);
BENCHMARK(BM_real_write_pretty);
BENCHMARK(BM_50mb_parse_tavisk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_50mb_parse_rapidjson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_50mb_write_compact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_50mb_write_pretty)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
