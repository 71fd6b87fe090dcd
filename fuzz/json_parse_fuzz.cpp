// Fuzzes the JSON reader: any text either fails cleanly or reads to a tree whose
// compact rendering reads back to the same rendering, and the arena reader
// agrees with the owning one on the tree or on the error and its position.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = tavisk::json::parse(text);
  tavisk::Arena arena;
  auto in_arena = tavisk::json::parse(text, arena);
  if (first.ok() != in_arena.ok()) __builtin_trap();
  if (!first) {
    if (first.error().text() != in_arena.error().text()) __builtin_trap();
    return 0;
  }
  if (!(in_arena.value().root() == first.value())) __builtin_trap();
  std::string written = tavisk::json::to_string(first.value());
  auto second = tavisk::json::parse(written);
  if (!second || tavisk::json::to_string(second.value()) != written) __builtin_trap();
  return 0;
}
