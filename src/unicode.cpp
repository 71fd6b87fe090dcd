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

std::size_t lower_slow(char32_t c, char (&out)[LOWER_MAX]) {
  UChar src[2];
  int32_t src_len = 0;
  UBool error = false;
  U16_APPEND(src, src_len, 2, static_cast<UChar32>(c), error);
  if (error) return utf8::encode(c, out);
  // Eight UTF-16 units are at most eight characters of at most three bytes, or four of four bytes.
  UChar dst[8];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = u_strToLower(dst, 8, src, src_len, "", &status);
  if (U_FAILURE(status) || n > 8) return utf8::encode(c, out);
  std::size_t len = 0;
  for (int32_t i = 0; i < n;) {
    UChar32 cp;
    U16_NEXT(dst, i, n, cp);
    len += utf8::encode(static_cast<char32_t>(cp), out + len);
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
