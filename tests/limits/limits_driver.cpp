// One hostile call per process, checked against a memory and time bound:
//   limits_driver CASE
// builds the case's input in memory, lowers its own limits (address space and
// CPU time, so that a regression fails fast instead of taking the machine),
// makes the call, and checks the envelope, the peak resident memory of the
// process (less what it held before the input was built: the program and its
// libraries) and the CPU time against the case's bound.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tavisk.h"

namespace {

constexpr std::uint64_t MB = 1 << 20;

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

struct Case {
  const char* name;
  std::string input;
  std::string options;
  std::string_view expect;     // the envelope starts with this
  std::uint64_t peak_bytes;    // bound on the peak resident memory of the process
  double cpu_seconds;          // bound on the call's CPU time
};

// Memory and time bounds: ten times the input bytes, at least 20 MB for
// inputs under 2 MB, and a second per 10 MB of input (at least one second).
std::uint64_t memory_bound(std::size_t bytes) { return bytes < 2 * MB ? 20 * MB : 10 * bytes; }
double time_bound(std::size_t bytes) {
  const double tens = static_cast<double>(bytes) / (10.0 * MB);
  return tens < 1.0 ? 1.0 : tens;
}

Case make(std::string_view name) {
  constexpr std::string_view ok = R"({"ok":true,)";
  if (name == "yaml_unclosed_brackets") {
    std::string in(MB, '[');
    return {"yaml_unclosed_brackets", in, R"({"input_format":"yaml"})",
            R"({"ok":false,"error":"invalid YAML input: too many values on one line)", memory_bound(in.size()),
            time_bound(in.size())};
  }
  if (name == "yaml_flow_sequence") {
    std::string in = "[" + repeat("1, ", MB / 3) + "1]";
    return {"yaml_flow_sequence", in, R"({"input_format":"yaml","max_chars":1000})",
            R"({"ok":false,"error":"invalid YAML input: too many values on one line)", memory_bound(in.size()),
            time_bound(in.size())};
  }
  if (name == "yaml_flow_sequence_lines") {
    std::string in = "[" + repeat("1,\n", MB / 3) + "1]";
    return {"yaml_flow_sequence_lines", in, R"({"input_format":"yaml","max_chars":1000})", ok,
            memory_bound(in.size()) * 3, time_bound(in.size())};
  }
  if (name == "yaml_empty_lines") {
    // Formatting a value with a megabyte of empty lines would take hours.
    std::string in = "a: |\n  x\n" + std::string(MB, '\n') + "  y\n";
    return {"yaml_empty_lines", in, R"({"input_format":"yaml"})",
            R"({"ok":false,"error":"invalid YAML input: too many empty lines inside values)", memory_bound(in.size()),
            time_bound(in.size())};
  }
  if (name == "huge_indent") {
    std::string in = "[" + repeat(R"({"id":1,"name":"a name","tags":["x","y"],"nested":{"k":[1,2,{"d":4}]}},)", 250) +
                     "1]";
    return {"huge_indent", in, R"({"indent":1000000000})",
            R"({"ok":false,"error":"invalid options: indent must be at most 64"})", memory_bound(in.size()),
            time_bound(in.size())};
  }
  if (name == "indent_past_2_63") {
    std::string in = R"({"a":[1,2,3]})";
    return {"indent_past_2_63", in, R"({"indent":9223372036854775808,"max_chars":5})",
            R"({"ok":false,"error":"invalid options: indent must be at most 64"})", memory_bound(in.size()),
            time_bound(in.size())};
  }
  if (name == "deepest_at_widest_indent") {
    std::string in = repeat(R"({"id":1,"name":"level","next":)", 512) + "[]" + repeat("}", 512);
    // Rendered whole, 64 spaces a level on 512 levels would take about 25 MB
    // (several times that while it is built): the size is counted instead.
    return {"deepest_at_widest_indent", in, R"({"indent":64,"max_chars":2000,"format":"yaml"})", ok,
            memory_bound(in.size()), time_bound(in.size())};
  }
  if (name == "array_of_ones") {
    // Scaled down from 100 MB so that the suite stays quick; the cost per node is the same: a
    // 16-byte value, and no stored analysis for an item whose analysis follows from its value.
    // A quarter gigabyte of fresh pages is mostly the kernel's zeroing, which varies several-fold
    // on a shared virtual machine (0.8-5 s seen on one machine within a minute), hence the wide
    // time bound.
    std::string in = "[" + repeat("1,", 10 * MB / 2) + "1]";
    return {"array_of_ones", in, R"({"max_chars":10000})", ok, memory_bound(in.size()), 10 * time_bound(in.size())};
  }
  if (name == "million_keys") {
    std::string in = "{";
    for (int i = 0; i < 1000000; ++i) in += "\"k" + std::to_string(i) + "\":" + std::to_string(i % 10) + ",";
    in += "\"end\":0}";
    return {"million_keys", in, R"({"max_chars":10000})", ok, memory_bound(in.size()), 4 * time_bound(in.size())};
  }
  if (name == "many_protect_patterns") {
    std::string in = "[";
    for (int i = 0; i < 20000; ++i) in += R"({"id":)" + std::to_string(i) + R"(,"name":"item","v":[1,2,3]},)";
    in += "1]";
    std::string opts = R"({"max_chars":5000,"protect":[)";
    for (int i = 0; i < 50000; ++i) opts += "\"/x" + std::to_string(i) + "/*/name\",\"*/id\",";
    opts += "\"v\"]}";
    return {"many_protect_patterns", in, opts, ok, memory_bound(in.size() + opts.size()),
            time_bound(in.size() + opts.size())};
  }
  if (name == "nested_empty_arrays") {
    std::string in = repeat("[", 514) + repeat("]", 514);
    return {"nested_empty_arrays", in, "{}",
            R"({"ok":false,"error":"invalid JSON input: nesting too deep at line 1, column 514"})",
            memory_bound(in.size()), time_bound(in.size())};
  }
  if (name == "yaml_hex_ids") {
    std::string in = "sha: 01130e478459\ncommit: 714616e323\n";
    return {"yaml_hex_ids", in, R"({"format":"json","indent":0})",
            R"({"ok":true,"text":"{\"sha\":\"01130e478459\",\"commit\":\"714616e323\"}")", memory_bound(in.size()),
            time_bound(in.size())};
  }
  return {nullptr, {}, {}, {}, 0, 0};
}

// Resident bytes of this process now.
std::uint64_t resident_bytes() {
  unsigned long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  std::puts("skipped: memory and time bounds are not meaningful under the sanitizers");
  return 77;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  std::puts("skipped: memory and time bounds are not meaningful under the sanitizers");
  return 77;
#endif
#endif
  if (argc != 2) {
    std::fprintf(stderr, "usage: limits_driver CASE\n");
    return 2;
  }
  const std::uint64_t baseline = resident_bytes();
  Case c = make(argv[1]);
  if (!c.name) {
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
  }
  // Backstops: a runaway call is stopped well past the bounds checked below.
  rlimit as{};
  as.rlim_cur = as.rlim_max = static_cast<rlim_t>(4 * c.peak_bytes + 256 * MB);
  setrlimit(RLIMIT_AS, &as);
  rlimit cpu{};
  cpu.rlim_cur = cpu.rlim_max = static_cast<rlim_t>(10 * c.cpu_seconds + 10);
  setrlimit(RLIMIT_CPU, &cpu);

  const double before = cpu_seconds();
  std::uint64_t len = 0;
  uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size(),
                               reinterpret_cast<const uint8_t*>(c.options.data()), c.options.size(), &len);
  const double took = cpu_seconds() - before;
  std::string_view env(reinterpret_cast<const char*>(out), static_cast<std::size_t>(len));
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const std::uint64_t peak = static_cast<std::uint64_t>(u.ru_maxrss) * 1024 - baseline;
  std::printf("%s: input %zu bytes, peak %.1f MB (bound %.1f MB), cpu %.3f s (bound %.2f s)\n", c.name,
              c.input.size(), static_cast<double>(peak) / MB, static_cast<double>(c.peak_bytes) / MB, took,
              c.cpu_seconds);
  int rc = 0;
  if (!env.starts_with(c.expect)) {
    std::printf("  unexpected envelope: %.*s\n", static_cast<int>(env.size() < 300 ? env.size() : 300), env.data());
    rc = 1;
  }
  if (peak > c.peak_bytes) {
    std::printf("  peak memory over the bound\n");
    rc = 1;
  }
  if (took > c.cpu_seconds) {
    std::printf("  CPU time over the bound\n");
    rc = 1;
  }
  tavisk_free(out, len);
  return rc;
}
