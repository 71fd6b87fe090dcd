// Fuzzes the fast reader of plain block YAML against the composer: a text the
// fast reader takes must compose to an equal tree, and a text it declines
// leaves its output untouched.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "arena.h"
#include "yaml_fast.h"
#include "yaml_in.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tavisk::Arena fast_arena, composed_arena;
  tavisk::Value fast;
  auto composed = tavisk::yaml_in::parse_composed(text, composed_arena);
  // The fast reader sees only what passes the checks in front of it.
  if (!composed && (composed.error().starts_with("text is not valid UTF-8") ||
                    composed.error().starts_with("too many values on one line")))
    return 0;
  if (!tavisk::yaml_fast::read(text, fast_arena, fast)) {
    if (!fast.is_null()) __builtin_trap();
    return 0;
  }
  if (!composed || !(fast == composed->root())) __builtin_trap();
  return 0;
}
