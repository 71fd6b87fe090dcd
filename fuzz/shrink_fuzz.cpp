// Fuzzes tavisk_shrink through the public header. The input is split at its
// first NUL byte: the options text before it, the document after it. Without a
// NUL the whole input is the document and the options are "{}".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tavisk.h"

namespace {

// Every answer is one complete envelope of either shape.
bool well_formed(std::string_view env) {
  constexpr std::string_view ok = R"({"ok":true,"text":")";
  constexpr std::string_view err = R"({"ok":false,"error":")";
  if (env.empty() || env.back() != '}') return false;
  if (env.starts_with(ok)) return env.find(R"(,"report":{"input_chars":)") != std::string_view::npos;
  return env.starts_with(err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* options = reinterpret_cast<const uint8_t*>("{}");
  size_t options_len = 2;
  const uint8_t* doc = data;
  size_t doc_len = size;
  if (const void* nul = std::memchr(data, 0, size)) {
    options = data;
    options_len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
    doc = data + options_len + 1;
    doc_len = size - options_len - 1;
  }
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink(doc, doc_len, options, options_len, &len);
  if (!out || !well_formed({reinterpret_cast<const char*>(out), static_cast<size_t>(len)})) __builtin_trap();
  tavisk_free(out, len);
  return 0;
}
