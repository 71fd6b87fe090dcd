// Unicode character properties and full lowercasing. The only module that
// talks to ICU; ASCII is answered without leaving the fast path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavisk::unicode {

bool white_space_slow(char32_t c);
bool alphabetic_slow(char32_t c);
bool uppercase_slow(char32_t c);
bool lowercase_slow(char32_t c);
bool numeric_slow(char32_t c);
bool decimal_digit_slow(char32_t c);

// Room for the UTF-8 full lowercase mapping of one character.
inline constexpr std::size_t LOWER_MAX = 32;
// Writes the UTF-8 full lowercase mapping of c into out and returns its length in bytes.
std::size_t lower_slow(char32_t c, char (&out)[LOWER_MAX]);

// White_Space property.
inline bool white_space(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return white_space_slow(c);
}

// Alphabetic property.
inline bool alphabetic(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return alphabetic_slow(c);
}

// Uppercase property.
inline bool uppercase(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z';
  return uppercase_slow(c);
}

// Lowercase property.
inline bool lowercase(char32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z';
  return lowercase_slow(c);
}

// General category Nd, Nl or No.
inline bool numeric(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return numeric_slow(c);
}

// General category Nd.
inline bool decimal_digit(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return decimal_digit_slow(c);
}

inline bool alphanumeric(char32_t c) { return alphabetic(c) || numeric(c); }

// Appends the full lowercase mapping of one character (may be several characters).
inline void append_lower(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    return;
  }
  char buf[LOWER_MAX];
  out.append(buf, lower_slow(c, buf));
}

// Full lowercasing of UTF-8 text, one character at a time.
std::string lower(std::string_view text);

// True when the text is empty or made only of White_Space characters.
bool blank(std::string_view text);

}  // namespace tavisk::unicode
