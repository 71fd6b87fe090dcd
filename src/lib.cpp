// The exported C functions, the envelope and the barrier that turns any
// internal failure into one fixed error message.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json.h"
#include "pipeline.h"
#include "stack.h"
#include "tavisk.h"
#include "utf8.h"

namespace tavisk {
namespace {

constexpr std::string_view panic_envelope = R"({"ok":false,"error":"internal error (panic) in tavisk"})";

uint8_t* empty_sentinel() { return reinterpret_cast<uint8_t*>(std::uintptr_t{1}); }

uint8_t* hand_out(std::string_view bytes, uint64_t* out_len) {
  *out_len = bytes.size();
  if (bytes.empty()) return empty_sentinel();
  auto* buf = static_cast<uint8_t*>(std::malloc(bytes.size()));
  if (!buf) std::abort();
  std::memcpy(buf, bytes.data(), bytes.size());
  return buf;
}

std::string_view view_of(const uint8_t* p, uint64_t n) {
  if (!p || n == 0) return {};
  return {reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)};
}

std::string shrink_envelope(std::string_view input, std::string_view options) {
  // The input's UTF-8 is checked as it is read (see run_pipeline); its error wins over any other.
  if (!utf8::valid(options)) return error_envelope(utf8::valid(input) ? "options are not valid UTF-8" : invalid_input);
  return run_pipeline(input, options);
}

struct Call {
  std::string_view input, options;
  std::string envelope;
  bool failed = false;
};

// Runs on the call's own stack; nothing may unwind out of it.
void run_call(void* p) {
  auto* call = static_cast<Call*>(p);
  try {
    call->envelope = shrink_envelope(call->input, call->options);
  } catch (...) {
    call->failed = true;
  }
}

}  // namespace

std::string error_envelope(std::string_view message) {
  Value::Object members;
  members.push_back({"ok", Value::boolean(false)});
  members.push_back({"error", Value::string(std::string(message))});
  return json::to_string(Value::object(std::move(members)));
}

}  // namespace tavisk

extern "C" {

uint8_t* tavisk_alloc(uint64_t size) {
  if (size == 0) return tavisk::empty_sentinel();
  if (size > static_cast<uint64_t>(INT64_MAX)) std::abort();
  void* p = std::calloc(static_cast<std::size_t>(size), 1);
  if (!p) std::abort();
  return static_cast<uint8_t*>(p);
}

void tavisk_free(uint8_t* ptr, uint64_t size) {
  if (ptr && size) std::free(ptr);
}

uint8_t* tavisk_shrink(const uint8_t* input, uint64_t input_len, const uint8_t* options, uint64_t options_len,
                       uint64_t* out_len) {
  try {
    tavisk::Call call{tavisk::view_of(input, input_len), tavisk::view_of(options, options_len), {}, false};
    if (!tavisk::stack::run(tavisk::stack::call_stack_bytes, tavisk::run_call, &call) || call.failed)
      return tavisk::hand_out(tavisk::panic_envelope, out_len);
    return tavisk::hand_out(call.envelope, out_len);
  } catch (...) {
    return tavisk::hand_out(tavisk::panic_envelope, out_len);
  }
}

const char* tavisk_version(void) { return "0.2.1"; }

}  // extern "C"
