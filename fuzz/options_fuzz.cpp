// Fuzzes the options of a call: the input bytes choose an options object (every
// key, each with valid, extreme and wrongly typed values, long protect lists,
// arguments of every JSON type) and the rest of the input is the document. Run
// it with real documents as seeds so that the options meet realistic trees.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json.h"
#include "tavisk.h"

namespace {

constexpr std::string_view unsigned_keys[] = {"max_chars", "indent", "string_head_chars", "string_section_chars",
                                              "string_min_section_chars", "max_samples", "min_partial_chars"};
constexpr std::string_view bool_keys[] = {"keep_last_item", "explain"};

std::string quoted(std::string_view s) {
  std::string out;
  tavisk::json::write_string(out, s);
  return out;
}

std::string unsigned_value(FuzzedDataProvider& p) {
  switch (p.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return "0";
    case 1: return "1";
    case 2: return "18446744073709551615";
    case 3: return "18446744073709551616";
    case 4: return std::to_string(p.ConsumeIntegral<std::uint64_t>());
    case 5: return std::to_string(p.ConsumeIntegralInRange<std::uint64_t>(0, 70));
    case 6: return std::to_string(std::uint64_t{1} << p.ConsumeIntegralInRange<int>(0, 63));
    case 7: return "-1";
    case 8: return "1e3";
    default: return std::to_string(p.ConsumeIntegralInRange<std::uint64_t>(0, 20000));
  }
}

// A pattern made of a few segments: keys, wildcards, anchors, empty segments.
std::string pattern(FuzzedDataProvider& p) {
  static constexpr std::string_view words[] = {"*", "id", "name", "items", "user", "", "a", "data", "…", "**"};
  std::string out = p.ConsumeBool() ? "/" : "";
  int n = p.ConsumeIntegralInRange<int>(0, 5);
  for (int i = 0; i < n; ++i) {
    if (i) out += '/';
    if (p.ConsumeIntegralInRange<int>(0, 7) == 0) {
      out += p.ConsumeRandomLengthString(12);
    } else {
      out += words[p.ConsumeIntegralInRange<std::size_t>(0, std::size(words) - 1)];
    }
  }
  return out;
}

std::string any_json(FuzzedDataProvider& p, int depth) {
  switch (p.ConsumeIntegralInRange<int>(0, depth > 3 ? 3 : 5)) {
    case 0: return "null";
    case 1: return p.ConsumeBool() ? "true" : "false";
    case 2: return p.ConsumeBool() ? std::to_string(p.ConsumeIntegral<std::int64_t>()) : "-1.5e300";
    case 3: return quoted(p.ConsumeRandomLengthString(40));
    case 4: {
      std::string out = "[";
      int n = p.ConsumeIntegralInRange<int>(0, 4);
      for (int i = 0; i < n; ++i) out += (i ? "," : "") + any_json(p, depth + 1);
      return out + "]";
    }
    default: {
      std::string out = "{";
      int n = p.ConsumeIntegralInRange<int>(0, 4);
      for (int i = 0; i < n; ++i) out += (i ? "," : "") + quoted(p.ConsumeRandomLengthString(8)) + ":" + any_json(p, depth + 1);
      return out + "}";
    }
  }
}

std::string protect_value(FuzzedDataProvider& p) {
  switch (p.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return quoted(pattern(p));
    case 1: return "[1]";
    case 2: {  // a long list, repeats included
      std::string one = quoted(pattern(p));
      std::string out = "[";
      int n = p.ConsumeIntegralInRange<int>(1, 3000);
      for (int i = 0; i < n; ++i) out += (i ? "," : "") + (p.ConsumeIntegralInRange<int>(0, 3) ? one : quoted(pattern(p)));
      return out + "]";
    }
    default: {
      std::string out = "[";
      int n = p.ConsumeIntegralInRange<int>(0, 8);
      for (int i = 0; i < n; ++i) out += (i ? "," : "") + quoted(pattern(p));
      return out + "]";
    }
  }
}

std::string word_value(FuzzedDataProvider& p, std::initializer_list<std::string_view> words) {
  int pick = p.ConsumeIntegralInRange<int>(0, static_cast<int>(words.size()) + 1);
  if (pick < static_cast<int>(words.size())) return quoted(*(words.begin() + pick));
  return pick == static_cast<int>(words.size()) ? quoted(p.ConsumeRandomLengthString(10)) : any_json(p, 3);
}

std::string options_text(FuzzedDataProvider& p) {
  std::string out = "{";
  int pairs = p.ConsumeIntegralInRange<int>(0, 10);
  for (int i = 0; i < pairs; ++i) {
    if (i) out += ',';
    switch (p.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: case 1: {
        auto key = unsigned_keys[p.ConsumeIntegralInRange<std::size_t>(0, std::size(unsigned_keys) - 1)];
        out += quoted(key) + ":" + (p.ConsumeIntegralInRange<int>(0, 9) ? unsigned_value(p) : any_json(p, 3));
        break;
      }
      case 2: {
        auto key = bool_keys[p.ConsumeBool()];
        out += quoted(key) + ":" + (p.ConsumeIntegralInRange<int>(0, 5) ? (p.ConsumeBool() ? "true" : "false") : any_json(p, 3));
        break;
      }
      case 3: out += "\"format\":" + word_value(p, {"auto", "json", "yaml", "YML"}); break;
      case 4: out += "\"input_format\":" + word_value(p, {"auto", "json", "yaml", "Yaml"}); break;
      case 5: out += "\"array_strategy\":" + word_value(p, {"sample", "condense", "CONDENSE"}); break;
      case 6: out += "\"field_scorer\":" + word_value(p, {"heuristic", "compact", "key_order", "Key-Order"}); break;
      case 7: out += "\"protect\":" + protect_value(p); break;
      case 8: out += "\"arguments\":" + any_json(p, 0); break;
      default: out += quoted(p.ConsumeRandomLengthString(10)) + ":" + any_json(p, 3); break;
    }
  }
  return out + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The document is the input up to its last NUL byte and the options are drawn
  // from the bytes after it; without a NUL (a plain document as seed) the whole
  // input is both, so seeds reach the library intact.
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::size_t nul = all.rfind('\0');
  std::string_view doc = nul == std::string_view::npos ? all : all.substr(0, nul);
  std::string_view control = nul == std::string_view::npos ? all : all.substr(nul + 1);
  FuzzedDataProvider p(reinterpret_cast<const uint8_t*>(control.data()), control.size());
  std::string options = options_text(p);
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(reinterpret_cast<const uint8_t*>(doc.data()), doc.size(),
                               reinterpret_cast<const uint8_t*>(options.data()), options.size(), &len);
  if (!out) __builtin_trap();
  std::string_view env(reinterpret_cast<const char*>(out), static_cast<size_t>(len));
  if (env.empty() || env.back() != '}') __builtin_trap();
  if (!env.starts_with(R"({"ok":true,"text":")") && !env.starts_with(R"({"ok":false,"error":")")) __builtin_trap();
  if (env.starts_with(R"({"ok":false,"error":"internal error)")) __builtin_trap();
  tavisk_free(out, len);
  return 0;
}
