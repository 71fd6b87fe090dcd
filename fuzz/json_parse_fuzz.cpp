// Fuzzes the JSON reader: any text either fails cleanly or reads to a tree whose
// compact rendering reads back to the same rendering.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = tavisk::json::parse(text);
  if (!first) return 0;
  std::string written = tavisk::json::to_string(first.value());
  auto second = tavisk::json::parse(written);
  if (!second || tavisk::json::to_string(second.value()) != written) __builtin_trap();
  return 0;
}
