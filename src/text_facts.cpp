#include "text_facts.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utf8.h"

namespace tavisk {

TextFacts TextFacts::of_lines(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint64_t continuation = 0, lf = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time; per-lane counters take at most 255 blocks before they are summed.
  const __m128i zero = _mm_setzero_si128();
  auto sum = [&](__m128i lanes) {
    const __m128i s = _mm_sad_epu8(lanes, zero);
    return static_cast<std::uint64_t>(_mm_cvtsi128_si32(s)) + static_cast<std::uint64_t>(_mm_extract_epi16(s, 4));
  };
  while (i + 16 <= n) {
    __m128i cont = zero, feeds = zero;
    const std::size_t blocks = std::min<std::size_t>((n - i) / 16, 255);
    for (std::size_t b = 0; b < blocks; ++b, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      cont = _mm_sub_epi8(cont, _mm_cmplt_epi8(v, _mm_set1_epi8(-64)));
      feeds = _mm_sub_epi8(feeds, _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    }
    continuation += sum(cont);
    lf += sum(feeds);
  }
#endif
  for (; i < n; ++i) {
    continuation += (p[i] & 0xC0) == 0x80;
    lf += p[i] == '\n';
  }
  TextFacts f;
  f.chars = n - continuation;
  f.line_feeds = lf;
  return f;
}

}  // namespace tavisk
