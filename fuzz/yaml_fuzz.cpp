// Fuzzes the YAML reader: any text either fails with a message or reads to a
// tree whose compact JSON rendering reads back to the same rendering, and a
// whole call on it (YAML input, budget and output format from the first byte)
// answers with one complete envelope.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json.h"
#include "tavisk.h"
#include "utf8.h"
#include "yaml_in.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  auto read = tavisk::yaml_in::parse(text);
  if (read) {
    std::string written = tavisk::json::to_string(read.value());
    auto again = tavisk::json::parse(written);
    if (!again || tavisk::json::to_string(again.value()) != written) __builtin_trap();
  } else if (read.error().empty()) {
    __builtin_trap();
  }

  static constexpr std::string_view budgets[] = {"0", "40", "300", "4000"};
  std::string options = R"({"input_format":"yaml","max_chars":)";
  options += budgets[mode & 3];
  if (mode & 4) options += R"(,"format":"yaml")";
  if (mode & 8) options += R"(,"array_strategy":"condense")";
  options += '}';
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(data + 1, size - 1, reinterpret_cast<const uint8_t*>(options.data()),
                               options.size(), &len);
  if (!out) __builtin_trap();
  std::string_view env(reinterpret_cast<const char*>(out), static_cast<size_t>(len));
  // A YAML text that reads must shrink; one that does not is refused with the YAML prefix.
  const bool utf8_ok = tavisk::utf8::valid(text);
  if (utf8_ok && read && !env.starts_with(R"({"ok":true,"text":")")) __builtin_trap();
  if (utf8_ok && !read && !env.starts_with(R"({"ok":false,"error":"invalid YAML input: )")) __builtin_trap();
  tavisk_free(out, len);
  return 0;
}
