/*
 * tavisk: shrink a JSON, YAML or prose document so that its rendered text
 * fits a character budget, and report exactly what was left out.
 *
 * The library is stateless: every call parses, fits and renders on the
 * caller's thread and shares nothing with other calls, so any number of
 * threads may call tavisk_shrink at once. No function throws or logs.
 *
 * Stack: a call runs its work on a stack of its own (32 MiB of address space
 * mapped for the call, committed only as far as it is used, with a guard page
 * below it), so it needs only a few kilobytes of the caller's stack however
 * deeply its document nests; a 128 KiB thread stack is ample. The deepest
 * document accepted (the root and 512 levels below it) uses a small part of
 * the call's own stack in every phase.
 *
 * Memory: every buffer the library hands out comes from the C allocator and
 * must be given back with tavisk_free together with its exact length. A
 * buffer of length 0 is the "empty sentinel", the non-null address 1, which
 * is never dereferenced and never freed.
 */
#ifndef TAVISK_H
#define TAVISK_H

#include <stdint.h>

#if defined(__GNUC__)
#define TAVISK_API __attribute__((visibility("default")))
#else
#define TAVISK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Returns a zero-filled buffer of `size` bytes from the library's allocator,
 * for example to place the input and options texts in. Size 0 returns the
 * empty sentinel (address 1). A size above 2^63 - 1 or an allocation failure
 * terminates the process.
 */
TAVISK_API uint8_t* tavisk_alloc(uint64_t size);

/*
 * Releases a buffer returned by tavisk_alloc or tavisk_shrink. Does nothing
 * when `ptr` is null or `size` is 0 (so the empty sentinel is safe to pass).
 */
TAVISK_API void tavisk_free(uint8_t* ptr, uint64_t size);

/*
 * Shrinks the document text `input` (JSON, YAML or plain prose, UTF-8) under
 * the options JSON object `options` (at least "{}"). A null pointer or a zero
 * length stands for an empty text.
 *
 * Always returns a non-null buffer holding one compact JSON envelope, not
 * NUL-terminated, whose byte length is stored through `out_len` (which must
 * point to writable storage). On success the envelope is
 *   {"ok":true,"text":"<the shrunk document>","report":{...}}
 * and on failure
 *   {"ok":false,"error":"<message>"}
 * The caller owns the buffer and releases it with tavisk_free(ptr, *out_len).
 */
TAVISK_API uint8_t* tavisk_shrink(const uint8_t* input, uint64_t input_len, const uint8_t* options,
                                  uint64_t options_len, uint64_t* out_len);

/* The library version as static NUL-terminated text; do not free it. */
TAVISK_API const char* tavisk_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVISK_H */
