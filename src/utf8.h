// UTF-8 validation, scalar counting and decoding of already-valid text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavisk::utf8 {

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool valid(std::string_view bytes);

// Number of bytes of `m` with their high bit set, when no other bit is set
// (a multiply instead of a popcount, which the baseline target lacks).
inline std::uint64_t count_high_bits(std::uint64_t m) { return ((m >> 7) * 0x0101010101010101ull) >> 56; }

// Number of scalar values of valid UTF-8: every byte that is not a continuation byte.

std::uint64_t count(std::string_view text);

// Decodes the scalar starting at text[i] of valid UTF-8 and advances i past it.
inline char32_t next(std::string_view text, std::size_t& i) {
  auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  char32_t c = b & (0x3F >> extra);
  ++i;
  for (int k = 0; k < extra && i < text.size(); ++k, ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return c;
}

// Writes the UTF-8 encoding of scalar c (at most 4 bytes) at out; returns its length.
std::size_t encode(char32_t c, char* out);

// Appends the UTF-8 encoding of scalar c.
void append(std::string& out, char32_t c);

// Byte offset of the end of the first n scalars (or the whole length).
std::size_t offset_of(std::string_view text, std::uint64_t n);

}  // namespace tavisk::utf8
