// The performance targets side by side in one process: our JSON reader against RapidJSON's and
// simdjson's DOM parses, whole calls against our own parse, condensing with arguments, the YAML reader
// against libyaml's bare event loop, a long log sent as one JSON string, and the peak memory of one call
// per input byte for each input shape (each measured in a fresh process of its own).
//
// Every benchmark reports CPU time and minor page faults per iteration; at the end a summary prints
// the ratios the targets are stated in, from the medians of all repetitions. Run with
//   --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
// so that the rows are interleaved under a shared, loaded machine. `--full` measures the
// million-object input at its full size (320 MB) instead of a tenth of it; `--write-input=NAME` writes
// one input to standard output (to profile a call on it with other tools).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <simdjson.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "arena.h"
#include "json.h"
#include "libyaml_events.h"
#include "tavisk.h"
#include "yaml_in.h"

namespace {

bool full_size = false;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Rng {
  std::uint64_t x = 88172645463325252ull;
  std::uint64_t operator()() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  }
};

std::string n(std::uint64_t v) { return std::to_string(v); }

// Issue-like records: nested objects, escaped and non-ASCII strings, numbers, long bodies.
std::string issues(std::size_t target) {
  Rng rnd;
  std::string out = "[";
  for (std::size_t i = 0; out.size() < target; ++i) {
    if (i) out += ',';
    out += "{\"id\":" + n(i) + ",\"score\":" + n(rnd() % 100000) + "." + n(rnd() % 1000) +
           ",\"title\":\"Issue \\\"" + n(rnd() % 5000) +
           "\\\" in caf\xC3\xA9 \xE2\x80\x94 r\xC3\xA9sum\xC3\xA9\\n\\tline two\",\"user\":{\"login\":\"user" +
           n(rnd() % 900) + "\",\"site_admin\":" + (rnd() % 2 ? "true" : "false") +
           ",\"tags\":[\"a\",\"\xE6\x97\xA5\xE6\x9C\xAC\",null]},\"body\":\"" + std::string(40 + rnd() % 200, 'x') +
           "\\\\ path/to\\/file \\u00e9\"}";
  }
  return out + "]";
}

// Flat records of ten keys, mostly short values.
std::string records(std::size_t target) {
  Rng rnd;
  static const char* states[] = {"open", "closed", "pending", "shipped"};
  std::string out = "[";
  for (std::size_t i = 0; out.size() < target; ++i) {
    if (i) out += ',';
    out += "{\"id\":" + n(i) + ",\"customer\":\"customer " + n(rnd() % 5000) + "\",\"status\":\"" +
           states[rnd() % 4] + "\",\"total\":" + n(rnd() % 100000) + "." + n(rnd() % 100) +
           ",\"created_at\":\"2026-0" + n(rnd() % 9 + 1) + "-1" + n(rnd() % 9) + "T10:00:00Z\",\"city\":\"" +
           (rnd() % 3 ? "Z\xC3\xBCrich" : "Lyon") + "\",\"items\":" + n(rnd() % 20) +
           ",\"note\":\"delivered to the front desk, signed by the clerk\",\"priority\":" + n(rnd() % 5) +
           ",\"flag\":" + (rnd() % 2 ? "true" : "false") + "}";
  }
  return out + "]";
}

// Objects of 30 short keys with short values, about 320 bytes each.
std::string small_objects(std::size_t count) {
  Rng rnd;
  std::string out;
  out.reserve(count * 330 + 2);
  out += '[';
  for (std::size_t i = 0; i < count; ++i) {
    out += i ? ",{" : "{";
    for (int k = 0; k < 30; ++k) {
      if (k) out += ',';
      out += "\"f" + n(static_cast<std::uint64_t>(k / 10)) + n(static_cast<std::uint64_t>(k % 10)) + "\":";
      if (k % 2)
        out += "\"v" + n(rnd() % 100) + "\"";
      else
        out += n(rnd() % 10000);
    }
    out += '}';
  }
  return out + "]";
}

std::string ones(std::size_t target) {
  std::string out = "[1";
  while (out.size() + 2 < target) out += ",1";
  return out + "]";
}

// A log sent as one JSON string: lines joined by escaped line feeds.
std::string log_string(std::size_t target) {
  Rng rnd;
  std::string out = "\"";
  while (out.size() < target)
    out += "2026-12-09T01:0" + n(rnd() % 10) + ":00Z INFO worker-" + n(rnd() % 64) + ": processed batch " +
           n(rnd() % 100000) + " in " + n(rnd() % 900) + " ms; path \\\"/var/lib/app\\\" ok\\n";
  return out + "\"";
}

// Block YAML records.
std::string yaml_records(std::size_t target) {
  Rng rnd;
  std::string out;
  for (std::size_t i = 0; out.size() < target; ++i) {
    out += "- id: " + n(i) + "\n  title: \"Issue " + n(rnd() % 5000) + " in caf\xC3\xA9\"\n  score: " +
           n(rnd() % 1000) + "." + n(rnd() % 100) + "\n  open: " + (rnd() % 2 ? "true" : "false") +
           "\n  user:\n    login: user" + n(rnd() % 900) + "\n    site_admin: false\n  tags:\n    - bug\n    - ui\n" +
           "  body: " + std::string(20 + rnd() % 80, 'x') + " and more words here\n";
  }
  return out;
}

struct Input {
  const char* name;
  std::function<std::string()> make;
};

std::size_t small_count() { return full_size ? 1000000 : 100000; }

const std::vector<Input>& inputs() {
  static const std::vector<Input> all = {
      {"geojson", [] { return read_file(std::string(TAVISK_SHARED_DIR) + "/corpus/real/geojson-usgs-earthquakes.json"); }},
      {"issues_50mb", [] { return issues(50u << 20); }},
      {"records_58mb", [] { return records(58u << 20); }},
      {"small_objects", [] { return small_objects(small_count()); }},
      {"records_1mb", [] { return records(1u << 20); }},
      {"ones_10mb", [] { return ones(10u << 20); }},
      {"log_5mb", [] { return log_string(5u << 20); }},
      {"log_50mb", [] { return log_string(50u << 20); }},
      {"yaml_20mb", [] { return yaml_records(20u << 20); }},
  };
  return all;
}

const std::string& doc(const std::string& name) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  for (const Input& in : inputs())
    if (name == in.name) return made.emplace(name, in.make()).first->second;
  return made[name];
}

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// Runs `body` once per iteration and adds the page-fault and size counters every row carries.
template <class F>
void measure(benchmark::State& state, const std::string& d, F body) {
  if (d.empty()) {
    state.SkipWithError("input not available");
    return;
  }
  const long before = minor_faults();
  for (auto _ : state) body();
  state.counters["minflt"] = benchmark::Counter(static_cast<double>(minor_faults() - before),
                                                benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(d.size()));
}

void parse_tavisk(benchmark::State& state, const std::string& d) {
  measure(state, d, [&] {
    tavisk::Arena arena;
    auto t = tavisk::json::parse(d, arena);
    benchmark::DoNotOptimize(t.ok());
  });
}

void parse_rapidjson(benchmark::State& state, const std::string& d) {
  measure(state, d, [&] {
    rapidjson::Document doc;
    doc.Parse(d.data(), d.size());
    benchmark::DoNotOptimize(doc.HasParseError());
  });
}

// A fresh parser per document, as a stateless call would have.
void parse_simdjson(benchmark::State& state, const std::string& d) {
  const simdjson::padded_string padded(d);
  measure(state, d, [&] {
    simdjson::dom::parser parser;
    auto r = parser.parse(padded);
    benchmark::DoNotOptimize(r.error());
  });
}

void call(benchmark::State& state, const std::string& d, const std::string& options) {
  measure(state, d, [&] {
    std::uint64_t len = 0;
    std::uint8_t* out = tavisk_shrink(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(),
                                      reinterpret_cast<const std::uint8_t*>(options.data()), options.size(), &len);
    benchmark::DoNotOptimize(out);
    tavisk_free(out, len);
  });
}

void read_yaml_tavisk(benchmark::State& state, const std::string& d) {
  measure(state, d, [&] {
    tavisk::Arena arena;
    auto v = tavisk::yaml_in::parse(d, arena);
    benchmark::DoNotOptimize(v.ok());
  });
}

// libyaml's bare event loop: every event parsed and dropped, nothing built.
void read_yaml_events(benchmark::State& state, const std::string& d) {
  measure(state, d, [&] {
    const std::size_t events = libyaml_event_count(d.data(), d.size());
    benchmark::DoNotOptimize(events);
  });
}

const std::string opts_10k = R"({"max_chars":10000})";
const std::string opts_condense =
    R"({"max_chars":100000,"array_strategy":"condense",)"
    R"("arguments":{"query":"select customer, total from orders where status = 'shipped' and city = 'Lyon' order by created_at"}})";

// ---- peak memory, one fresh process per shape ----

std::uint64_t status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t len = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, len, field) == 0) return std::stoull(line.substr(len + 1));
  return 0;
}

// Small JSON and YAML documents pruned once before a later call is measured: the library's code
// and lazily loaded data are then resident, as for every call a host makes after its first.
void warm_up() {
  const std::string json = R"([{"id":1,"name":"a","tags":["x","y"],"note":"caf\u00e9 \"q\""},{"id":2,"name":"b"}])";
  const std::string yaml = "- id: 1\n  name: a\n- id: 2\n  name: b\n";
  const std::string options = R"({"max_chars":20})";
  for (const std::string* d : {&json, &yaml}) {
    std::uint64_t len = 0;
    std::uint8_t* out = tavisk_shrink(reinterpret_cast<const std::uint8_t*>(d->data()), d->size(),
                                      reinterpret_cast<const std::uint8_t*>(options.data()), options.size(), &len);
    tavisk_free(out, len);
  }
}

// In the fresh process: make the input, then take the resident growth of one call above the
// resident set just before it, plus the input itself, per input byte. later: the call follows
// a first one (see warm_up); otherwise it is the process's first.
int memory_child(const std::string& shape, bool later) {
  const std::string& d = doc(shape);
  if (d.empty()) return 1;
  const std::string& options = opts_10k;
  if (later) warm_up();
  malloc_trim(0);
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";  // the peak restarts from the current resident set
  }
  const std::uint64_t base_kb = status_kb("VmRSS:");
  std::uint64_t len = 0;
  std::uint8_t* out = tavisk_shrink(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(),
                                    reinterpret_cast<const std::uint8_t*>(options.data()), options.size(), &len);
  const std::uint64_t peak_kb = status_kb("VmHWM:");
  tavisk_free(out, len);
  const double per_byte =
      (static_cast<double>(peak_kb - std::min(peak_kb, base_kb)) * 1024.0 + static_cast<double>(d.size())) /
      static_cast<double>(d.size());
  std::printf("%.4f %zu\n", per_byte, d.size());
  return 0;
}

void peak_memory(benchmark::State& state, const std::string& shape, bool later) {
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::string arg = "--memory-shape=" + shape;
      const char* argv[] = {"targets_bench", arg.c_str(), later ? "--later-call" : "--first-call",
                            full_size ? "--full" : nullptr, nullptr};
      execv("/proc/self/exe", const_cast<char* const*>(argv));
      _exit(127);
    }
    close(fds[1]);
    char buf[128] = {};
    std::size_t got = 0;
    ssize_t r;
    while (got + 1 < sizeof buf && (r = read(fds[0], buf + got, sizeof buf - 1 - got)) > 0) got += static_cast<std::size_t>(r);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    double per_byte = 0;
    unsigned long long bytes = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(buf, "%lf %llu", &per_byte, &bytes) != 2) {
      state.SkipWithError("measuring child failed");
      return;
    }
    state.counters["peak_per_byte"] = per_byte;
    state.counters["input_mb"] = static_cast<double>(bytes) / 1e6;
  }
}

// ---- registration and the summary of ratios ----

void add(const std::string& name, std::function<void(benchmark::State&)> f) {
  benchmark::RegisterBenchmark(name.c_str(), [f](benchmark::State& s) { f(s); })->Unit(benchmark::kMillisecond);
}

void register_all() {
  for (const char* in : {"geojson", "issues_50mb", "records_58mb"}) {
    const std::string i = in;
    add("parse/" + i + "/tavisk", [i](benchmark::State& s) { parse_tavisk(s, doc(i)); });
    add("parse/" + i + "/rapidjson", [i](benchmark::State& s) { parse_rapidjson(s, doc(i)); });
    add("parse/" + i + "/simdjson", [i](benchmark::State& s) { parse_simdjson(s, doc(i)); });
  }
  for (const char* in : {"issues_50mb", "records_58mb", "small_objects", "log_50mb"}) {
    const std::string i = in;
    add("call/" + i, [i](benchmark::State& s) { call(s, doc(i), opts_10k); });
  }
  add("parse/small_objects/tavisk", [](benchmark::State& s) { parse_tavisk(s, doc("small_objects")); });
  add("parse/records_1mb/tavisk", [](benchmark::State& s) { parse_tavisk(s, doc("records_1mb")); });
  add("call/records_1mb/condense_arguments", [](benchmark::State& s) { call(s, doc("records_1mb"), opts_condense); });
  add("parse/log_5mb/tavisk", [](benchmark::State& s) { parse_tavisk(s, doc("log_5mb")); });
  add("parse/log_50mb/tavisk", [](benchmark::State& s) { parse_tavisk(s, doc("log_50mb")); });
  add("read/yaml_20mb/tavisk", [](benchmark::State& s) { read_yaml_tavisk(s, doc("yaml_20mb")); });
  add("read/yaml_20mb/libyaml_events", [](benchmark::State& s) { read_yaml_events(s, doc("yaml_20mb")); });
  add("call/yaml_20mb", [](benchmark::State& s) { call(s, doc("yaml_20mb"), opts_10k); });
  for (const char* shape :
       {"geojson", "issues_50mb", "records_58mb", "small_objects", "ones_10mb", "log_50mb", "yaml_20mb"}) {
    const std::string sh = shape;
    for (const bool later : {false, true})
      benchmark::RegisterBenchmark(("memory/" + sh + (later ? "/later_call" : "/first_call")).c_str(),
                                   [sh, later](benchmark::State& s) { peak_memory(s, sh, later); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
  }
}

// Collects every iteration run's CPU time and counters, and prints the target ratios from the medians.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const std::string name = r.run_name.function_name;
      cpu_[name].push_back(r.GetAdjustedCPUTime());
      auto f = r.counters.find("minflt");
      if (f != r.counters.end()) faults_[name].push_back(f->second.value);
      auto m = r.counters.find("peak_per_byte");
      if (m != r.counters.end()) peak_[name].push_back(m->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void summary() const {
    std::printf("\nTarget ratios (medians of CPU time; parse speed as a multiple of the peer's):\n");
    for (const char* in : {"geojson", "issues_50mb", "records_58mb"}) {
      const std::string p = std::string("parse/") + in;
      ratio(std::string(in) + ": ours vs RapidJSON DOM (speed, target >= 2)", p + "/rapidjson", p + "/tavisk");
      ratio(std::string(in) + ": ours vs simdjson DOM (speed)", p + "/simdjson", p + "/tavisk");
    }
    for (const char* in : {"issues_50mb", "records_58mb", "small_objects", "log_50mb"}) {
      const std::string i = in;
      ratio(i + ": call to 10,000 chars / our parse (target <= 1.5)", "call/" + i, "parse/" + i + "/tavisk");
    }
    ratio("records_1mb: condense with arguments, 100,000 / our parse (target <= 3)",
          "call/records_1mb/condense_arguments", "parse/records_1mb/tavisk");
    ratio("yaml_20mb: our reader / libyaml events (target <= 1.3)", "read/yaml_20mb/tavisk",
          "read/yaml_20mb/libyaml_events");
    ratio("yaml_20mb: call to 10,000 chars / our read", "call/yaml_20mb", "read/yaml_20mb/tavisk");
    const double t5 = median(cpu_, "parse/log_5mb/tavisk"), t50 = median(cpu_, "parse/log_50mb/tavisk");
    if (t5 > 0 && t50 > 0)
      std::printf("  %-72s %8.2f\n", "log string: parse time per byte at 50 MB / at 5 MB (target ~1)",
                  (t50 / static_cast<double>(doc("log_50mb").size())) / (t5 / static_cast<double>(doc("log_5mb").size())));
    std::printf("\nMinor page faults per iteration (median):\n");
    for (const auto& [name, v] : faults_) std::printf("  %-56s %12.0f\n", name.c_str(), median(faults_, name));
    std::printf("\nPeak resident memory of one call per input byte, input included (target <= 3); the first call\n"
                "in a process also pages in the library's code and data, about 0.7 MB once:\n");
    for (const auto& [name, v] : peak_) std::printf("  %-56s %8.2f\n", name.c_str(), median(peak_, name));
  }

 private:
  using Samples = std::map<std::string, std::vector<double>>;

  static double median(const Samples& s, const std::string& name) {
    auto it = s.find(name);
    if (it == s.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const std::size_t k = v.size() / 2;
    return v.size() % 2 ? v[k] : (v[k - 1] + v[k]) / 2;
  }

  void ratio(const std::string& label, const std::string& a, const std::string& b) const {
    const double x = median(cpu_, a), y = median(cpu_, b);
    if (x > 0 && y > 0)
      std::printf("  %-72s %8.2f  (%.1f / %.1f ms)\n", label.c_str(), x / y, x, y);
    else
      std::printf("  %-72s %8s\n", label.c_str(), "n/a");
  }

  Samples cpu_, faults_, peak_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  std::string shape, dump;
  bool later_call = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--full")
      full_size = true;
    else if (a == "--later-call" || a == "--first-call")
      later_call = a == "--later-call";
    else if (a.rfind("--write-input=", 0) == 0)
      dump = a.substr(std::strlen("--write-input="));
    else if (a.rfind("--memory-shape=", 0) == 0)
      shape = a.substr(std::strlen("--memory-shape="));
    else
      rest.push_back(argv[i]);
  }
  if (!shape.empty()) return memory_child(shape, later_call);
  if (!dump.empty()) {  // the named input on standard output, to profile a call on it elsewhere
    const std::string& d = doc(dump);
    return std::fwrite(d.data(), 1, d.size(), stdout) == d.size() && !d.empty() ? 0 : 1;
  }
  int rest_argc = static_cast<int>(rest.size());
  register_all();
  benchmark::Initialize(&rest_argc, rest.data());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.summary();
  benchmark::Shutdown();
  return 0;
}
