// Helpers shared by the tests: calling tavisk_shrink and reading its envelope.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"
#include "tavisk.h"
#include "value.h"

namespace tavisk {
// Keys print as their text in test messages.
inline void PrintTo(const Key& k, std::ostream* os) { *os << '"' << k.view() << '"'; }
}  // namespace tavisk

namespace tavisk::testing {

inline std::string shrink_raw(std::string_view input, std::string_view options) {
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                               reinterpret_cast<const uint8_t*>(options.data()), options.size(), &len);
  std::string s(reinterpret_cast<const char*>(out), len);
  tavisk_free(out, len);
  return s;
}

// Member lookup by key (first match); returns null for a missing key.
inline const Value& get(const Value& v, std::string_view key) {
  static const Value missing;
  if (!v.is_object()) return missing;
  for (const Member& m : v.members())
    if (m.key == key) return m.value;
  return missing;
}

struct Envelope {
  Value root;
  bool ok() const { return get(root, "ok").is_bool() && get(root, "ok").as_bool(); }
  std::string error() const { return get(root, "error").is_string() ? std::string(get(root, "error").text()) : ""; }
  std::string text() const { return get(root, "text").is_string() ? std::string(get(root, "text").text()) : ""; }
  const Value& report() const { return get(root, "report"); }
  std::string counter(std::string_view key) const {
    const Value& v = get(report(), key);
    return v.is_number() ? std::string(v.text()) : "";
  }
};

inline Envelope shrink(std::string_view input, std::string_view options = "{}") {
  std::string raw = shrink_raw(input, options);
  auto parsed = json::parse(raw);
  Envelope e;
  if (parsed) e.root = std::move(parsed).value();
  return e;
}

inline std::string shared_dir() { return TAVISK_SHARED_DIR; }

// The slowest sweeps check every case in the plain build and one case in `sweep_stride` under the
// sanitizers; the chosen cases rotate with the caller's index so that every kind of case still runs.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t sweep_stride = 6;
#else
inline constexpr std::size_t sweep_stride = 1;
#endif
inline bool in_sweep_sample(std::size_t index) { return index % sweep_stride == 0; }

}  // namespace tavisk::testing

// Skips the calling test with one line when the shared folder `sub` (e.g. "corpus/real") is not
// beside the checkout, as in a clone on its own.
#define TAVISK_NEEDS_SHARED(sub)                                                                  \
  do {                                                                                            \
    if (!std::filesystem::is_directory(::tavisk::testing::shared_dir() + "/" + (sub)))            \
      GTEST_SKIP() << "needs ../shared/" << (sub) << " beside the checkout; it is not there";      \
  } while (0)

namespace tavisk::testing {

// The whole file as bytes; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Paths of the files under `dir` (searched recursively) whose names end in
// `suffix`, sorted.
inline std::vector<std::string> files_under(const std::string& dir, std::string_view suffix) {
  std::vector<std::string> out;
  std::vector<std::string> dirs{dir};
  for (std::size_t k = 0; k < dirs.size(); ++k) {
    DIR* d = opendir(dirs[k].c_str());
    if (!d) continue;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (e->d_type == DT_DIR)
        dirs.push_back(dirs[k] + "/" + name);
      else if (name.size() > suffix.size() && name.ends_with(suffix))
        out.push_back(dirs[k] + "/" + name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The report's keys, in the order the envelope writes them.
inline const std::vector<std::string>& report_keys() {
  static const std::vector<std::string> keys = {"input_chars",
                                                "output_chars",
                                                "max_chars",
                                                "format",
                                                "input_format",
                                                "pruned",
                                                "fits",
                                                "strings_truncated",
                                                "arrays_sampled",
                                                "items_omitted",
                                                "objects_trimmed",
                                                "keys_omitted",
                                                "containers_collapsed",
                                                "arrays_condensed",
                                                "protected_omitted",
                                                "field_decisions",
                                                "fields_dropped",
                                                "dropped_fields"};
  return keys;
}

}  // namespace tavisk::testing
