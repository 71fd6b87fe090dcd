#include "unicode.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "utf8.h"

namespace tavisk::unicode {

bool white_space_slow(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }
bool alphabetic_slow(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC); }
bool uppercase_slow(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_UPPERCASE); }
bool lowercase_slow(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_LOWERCASE); }

bool numeric_slow(char32_t c) {
  auto t = u_charType(static_cast<UChar32>(c));
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

bool decimal_digit_slow(char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; }

namespace {

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

}  // namespace

std::size_t lower_slow(char32_t c, char (&out)[LOWER_MAX]) {
  UChar src[2];
  int32_t src_len = 0;
  UBool error = false;
  U16_APPEND(src, src_len, 2, static_cast<UChar32>(c), error);
  if (error) return encode(c, out);
  // Eight UTF-16 units are at most eight characters of at most three bytes, or four of four bytes.
  UChar dst[8];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = u_strToLower(dst, 8, src, src_len, "", &status);
  if (U_FAILURE(status) || n > 8) return encode(c, out);
  std::size_t len = 0;
  for (int32_t i = 0; i < n;) {
    UChar32 cp;
    U16_NEXT(dst, i, n, cp);
    len += encode(static_cast<char32_t>(cp), out + len);
  }
  return len;
}

std::string lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) append_lower(out, utf8::next(text, i));
  return out;
}

bool blank(std::string_view text) {
  for (std::size_t i = 0; i < text.size();)
    if (!white_space(utf8::next(text, i))) return false;
  return true;
}

}  // namespace tavisk::unicode
