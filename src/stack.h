// Running one call on a stack of the library's own, so that the call needs
// only a small, fixed part of the caller's stack however deep its document.
#pragma once

#include <cstddef>

namespace tavisk::stack {

// Room for the deepest document the readers accept (513 levels) in every
// phase, with a wide margin for unoptimised and sanitised builds, whose
// frames are several times larger. Only the pages a call touches are
// committed; the rest is address space.
inline constexpr std::size_t call_stack_bytes = std::size_t{32} << 20;

// Runs fn(arg) on a fresh stack of `bytes` bytes (plus a guard page below
// it) and returns true, or returns false without running it when the stack
// cannot be mapped. fn must not throw: nothing unwinds across the switch.
bool run(std::size_t bytes, void (*fn)(void*), void* arg);

}  // namespace tavisk::stack
