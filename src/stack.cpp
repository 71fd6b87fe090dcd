#include "stack.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVISK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAVISK_ASAN 1
#endif
#ifdef TAVISK_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace tavisk::stack {

namespace {

// Both contexts and the task live in the mapping, above the stack, so the
// caller's stack holds only this function's few locals.
struct Switch {
  ucontext_t caller;
  ucontext_t callee;
  void (*fn)(void*);
  void* arg;
  // Set before the switch, read after the return: getcontext returns twice.
  volatile bool entered;
#ifdef TAVISK_ASAN
  void* fake_stack;
  const void* caller_bottom;
  std::size_t caller_size;
#endif
};

void trampoline(unsigned hi, unsigned lo) {
  auto* s = reinterpret_cast<Switch*>((std::uintptr_t{hi} << 32) | std::uintptr_t{lo});
#ifdef TAVISK_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &s->caller_bottom, &s->caller_size);
#endif
  s->fn(s->arg);
#ifdef TAVISK_ASAN
  // This stack is left for good: no fake stack to keep.
  __sanitizer_start_switch_fiber(nullptr, s->caller_bottom, s->caller_size);
#endif
  // Returning resumes uc_link, the caller.
}

}  // namespace

bool run(std::size_t bytes, void (*fn)(void*), void* arg) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t stack_bytes = (bytes + page - 1) / page * page;
  const std::size_t top_bytes = (sizeof(Switch) + page - 1) / page * page;
  const std::size_t total = page + stack_bytes + top_bytes;
  void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                    -1, 0);
  if (base == MAP_FAILED) return false;
  auto* bytes_at = static_cast<unsigned char*>(base);
  // The lowest page stays inaccessible, so running past the stack faults
  // instead of writing into other memory.
  if (mprotect(base, page, PROT_NONE) != 0) {
    munmap(base, total);
    return false;
  }
  unsigned char* stack_bottom = bytes_at + page;
  auto* s = new (stack_bottom + stack_bytes) Switch{};
  s->fn = fn;
  s->arg = arg;
  bool ok = getcontext(&s->callee) == 0;
  if (ok) {
    s->callee.uc_stack.ss_sp = stack_bottom;
    s->callee.uc_stack.ss_size = stack_bytes;
    s->callee.uc_link = &s->caller;
    const auto addr = reinterpret_cast<std::uintptr_t>(s);
    makecontext(&s->callee, reinterpret_cast<void (*)()>(trampoline), 2, static_cast<unsigned>(addr >> 32),
                static_cast<unsigned>(addr & 0xFFFFFFFFu));
    // getcontext and setcontext rather than swapcontext: the sanitizer runtime
    // warns on standard error at its first swapcontext, and a host's standard
    // error is not ours to write to.
    ok = getcontext(&s->caller) == 0;
    if (ok && !s->entered) {
      s->entered = true;
#ifdef TAVISK_ASAN
      __sanitizer_start_switch_fiber(&s->fake_stack, stack_bottom, stack_bytes);
#endif
      setcontext(&s->callee);
      ok = false;  // setcontext returns only when it failed
    }
#ifdef TAVISK_ASAN
    if (ok) __sanitizer_finish_switch_fiber(s->fake_stack, nullptr, nullptr);
#endif
  }
  s->~Switch();
  munmap(base, total);
  return ok;
}

}  // namespace tavisk::stack
