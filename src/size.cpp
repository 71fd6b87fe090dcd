#include "size.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text_facts.h"
#include "utf8.h"

namespace tavisk::size {

namespace {

// Cost of one byte inside a string literal: 0 for UTF-8 continuation bytes,
// so a scalar costs what its lead byte costs.
constexpr std::array<std::uint8_t, 256> byte_costs = [] {
  std::array<std::uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) t[b] = (b & 0xC0) == 0x80 ? 0 : 1;
  for (int b = 0; b < 0x20; ++b) t[b] = 6;
  for (int b : {'"', '\\', '\b', '\t', '\n', '\f', '\r'}) t[b] = 2;
  return t;
}();


// char_costs, adding the text's UTF-8 continuation bytes to `continuation` on the way.
std::uint64_t costs_and_continuations(std::string_view text, std::uint64_t& continuation) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  std::uint64_t total = 0;
#if defined(__SSE2__)
  // byte_costs summed sixteen bytes at a time: one per byte, less one per continuation byte, plus one
  // per '"' or '\\' and five per control byte, less four per \b \t \n \f \r. Per-lane counters (each
  // lane adds at most 1 per block) take at most 255 blocks before they are summed.
  while (i + 16 <= n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i cont = zero, quote = zero, control = zero, short_escape = zero;
    const std::size_t blocks = std::min<std::size_t>((n - i) / 16, 255);
    for (std::size_t b = 0; b < blocks; ++b, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      cont = _mm_sub_epi8(cont, _mm_cmplt_epi8(v, _mm_set1_epi8(-64)));
      quote = _mm_sub_epi8(quote, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                               _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
      control = _mm_sub_epi8(control, _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), zero));
      // 0x08-0x0D but 0x0B: after subtracting 8 (bytes below wrap high), at most 5 and not 3.
      const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(0x08));
      short_escape = _mm_sub_epi8(
          short_escape, _mm_andnot_si128(_mm_cmpeq_epi8(shifted, _mm_set1_epi8(0x03)),
                                         _mm_cmpeq_epi8(_mm_subs_epu8(shifted, _mm_set1_epi8(0x05)), zero)));
    }
    auto sum = [&](__m128i lanes) {
      const __m128i s2 = _mm_sad_epu8(lanes, zero);
      return static_cast<std::uint64_t>(_mm_cvtsi128_si32(s2)) + static_cast<std::uint64_t>(_mm_extract_epi16(s2, 4));
    };
    const std::uint64_t cont_bytes = sum(cont);
    continuation += cont_bytes;
    total += 16 * blocks - cont_bytes + sum(quote) + 5 * sum(control) - 4 * sum(short_escape);
  }
#endif
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (!detail::escaped_bytes(w)) {
      const std::uint64_t c = detail::continuation_bytes(w);
      total += 8 - c;
      continuation += c;
      continue;
    }
    for (std::size_t k = 0; k < 8; ++k) {
      total += byte_costs[p[i + k]];
      continuation += (p[i + k] & 0xC0) == 0x80;
    }
  }
  for (; i < n; ++i) {
    total += byte_costs[p[i]];
    continuation += (p[i] & 0xC0) == 0x80;
  }
  return total;
}

}  // namespace

std::uint64_t char_costs(std::string_view text) {
  std::uint64_t continuation = 0;
  return costs_and_continuations(text, continuation);
}

std::uint64_t char_costs_and_count(std::string_view text, std::uint64_t& chars) {
  std::uint64_t continuation = 0;
  const std::uint64_t total = costs_and_continuations(text, continuation);
  chars = text.size() - continuation;
  return total;
}

std::uint64_t entry_cost(Layout l, std::string_view key) { return quoted(key) + (l.pretty ? 2 : 1); }

std::uint64_t of(Layout l, const Value& v, std::uint64_t d) {
  switch (v.kind()) {
    case Kind::Null: return 4;
    case Kind::Bool: return v.as_bool() ? 4 : 5;
    case Kind::Number: return utf8::count(v.text());
    case Kind::String: {
      const TextFacts* f = v.facts();
      return f ? 2 + f->cost : quoted(v.text());
    }
    case Kind::Array: {
      std::uint64_t total = overhead(l, v.items().size(), d);
      for (const Value& item : v.items()) total += of(l, item, d + 1);
      return total;
    }
    case Kind::Object: {
      std::uint64_t total = overhead(l, v.members().size(), d);
      for (const Member& m : v.members()) total += entry_cost(l, m.key) + of(l, m.value, d + 1);
      return total;
    }
  }
  return 0;
}

std::string string_placeholder(std::uint64_t n) { return "\xE2\x80\xA6[+" + std::to_string(n) + " chars]"; }

std::string gap_marker(std::uint64_t n) { return "\xE2\x80\xA6[" + std::to_string(n) + " items omitted]"; }

std::string keys_marker_text(std::uint64_t n) { return std::to_string(n) + " keys omitted"; }

}  // namespace tavisk::size
