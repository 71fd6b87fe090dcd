#include "utf8.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavisk::utf8 {

namespace {

// Index of the first byte at or after i that is not ASCII, or n: sixteen and then eight bytes at a
// time, so the ASCII between the characters of a mostly ASCII text is stepped over, not read
// byte by byte.
std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  while (i + 16 <= n) {
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
    if (mask) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    i += 16;
  }
#endif
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (const std::uint64_t high = w & 0x8080808080808080ull)
      return i + static_cast<std::size_t>(__builtin_ctzll(high)) / 8;  // the first such byte (little-endian)
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

}  // namespace

bool valid(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while ((i = skip_ascii(p, i, n)) < n) {
    const unsigned char b = p[i];
    std::size_t len;
    char32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      unsigned char cb = p[i + k];
      if ((cb & 0xC0) != 0x80) return false;
      c = (c << 6) | (cb & 0x3F);
    }
    if (len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) return false;
    if (len == 4 && (c < 0x10000 || c > 0x10FFFF)) return false;
    i += len;
  }
  return true;
}

std::uint64_t count(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size(), i = 0;
  std::uint64_t continuation = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: continuation bytes (0x80-0xBF) are the signed bytes below -64; per-lane
  // counters take at most 255 blocks before they are summed.
  while (i + 16 <= n) {
    __m128i acc = _mm_setzero_si128();
    const std::size_t blocks = std::min<std::size_t>((n - i) / 16, 255);
    for (std::size_t b = 0; b < blocks; ++b, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      acc = _mm_sub_epi8(acc, _mm_cmplt_epi8(v, _mm_set1_epi8(-64)));
    }
    const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
    continuation += static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) +
                    static_cast<std::uint64_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    // A continuation byte is 10xxxxxx: high bit set and next bit clear.
    std::uint64_t m = w & ~(w << 1) & 0x8080808080808080ull;
    continuation += count_high_bits(m);
  }
  for (; i < n; ++i) continuation += (p[i] & 0xC0) == 0x80;
  return n - continuation;
}

std::size_t encode(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

void append(std::string& out, char32_t c) {
  char b[4];
  out.append(b, encode(c, b));
}

std::size_t offset_of(std::string_view s, std::uint64_t n) {
  std::size_t i = 0;
  while (i < s.size()) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == 0) return i;
      --n;
    }
    ++i;
  }
  return s.size();
}

}  // namespace tavisk::utf8
