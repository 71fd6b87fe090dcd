#include "ansi.h"

namespace tavisk::ansi {

namespace {

constexpr char esc = '\x1B';
constexpr char bel = '\x07';

bool in(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// End of a CSI sequence whose parameters start at i: parameter bytes, then
// intermediate bytes, then one final byte. A malformed sequence ends before
// the first byte that cannot belong to it.
std::size_t csi_end(std::string_view s, std::size_t i) {
  while (i < s.size() && in(static_cast<unsigned char>(s[i]), 0x30, 0x3F)) ++i;
  while (i < s.size() && in(static_cast<unsigned char>(s[i]), 0x20, 0x2F)) ++i;
  if (i < s.size() && in(static_cast<unsigned char>(s[i]), 0x40, 0x7E)) ++i;
  return i;
}

// End of a string sequence whose body starts at i: after BEL or ESC \, or
// before the line feed or the end when it is not terminated.
std::size_t string_end(std::string_view s, std::size_t i) {
  for (; i < s.size(); ++i) {
    if (s[i] == bel) return i + 1;
    if (s[i] == '\n') return i;
    if (s[i] == esc && i + 1 < s.size() && s[i + 1] == '\\') return i + 2;
  }
  return i;
}

// End of the escape sequence starting with the ESC at i.
std::size_t escape_end(std::string_view s, std::size_t i) {
  if (i + 1 >= s.size()) return i + 1;
  auto c = static_cast<unsigned char>(s[i + 1]);
  if (c == '[') return csi_end(s, i + 2);
  if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') return string_end(s, i + 2);
  if (in(c, 0x20, 0x2F)) {  // intermediates, then one final byte
    std::size_t j = i + 1;
    while (j < s.size() && in(static_cast<unsigned char>(s[j]), 0x20, 0x2F)) ++j;
    if (j < s.size() && in(static_cast<unsigned char>(s[j]), 0x30, 0x7E)) ++j;
    return j;
  }
  if (in(c, 0x30, 0x7E)) return i + 2;
  return i + 1;
}

}  // namespace

bool has_escapes(std::string_view s) {
  return s.find(esc) != std::string_view::npos || s.find("\xC2\x9B") != std::string_view::npos ||
         s.find("\xC2\x9D") != std::string_view::npos;
}

std::string strip(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t j = i;
    while (j < s.size() && s[j] != esc && s[j] != '\xC2') ++j;
    out.append(s.substr(i, j - i));
    if (j == s.size()) break;
    if (s[j] == esc) {
      i = escape_end(s, j);
    } else if (j + 1 < s.size() && s[j + 1] == '\x9B') {  // U+009B, the 8-bit CSI
      i = csi_end(s, j + 2);
    } else if (j + 1 < s.size() && s[j + 1] == '\x9D') {  // U+009D, the 8-bit OSC
      i = string_end(s, j + 2);
    } else {
      out.push_back(s[j]);
      i = j + 1;
    }
  }
  return out;
}

}  // namespace tavisk::ansi
