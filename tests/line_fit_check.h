// Checks a text fitted by lines against its source.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"
#include "utf8.h"

namespace tavisk::testing {

// "…[+N lines, M chars]": true and the numbers when `line` is such a marker.
inline bool parse_lines_marker(std::string_view line, std::uint64_t& n, std::uint64_t& m) {
  const std::string_view head = "\xE2\x80\xA6[+";
  if (!line.starts_with(head) || !line.ends_with(" chars]")) return false;
  std::string body(line.substr(head.size(), line.size() - head.size() - 7));
  std::size_t comma = body.find(" lines, ");
  if (comma == std::string::npos || comma == 0 || comma + 8 >= body.size()) return false;
  std::string a = body.substr(0, comma), b = body.substr(comma + 8);
  if (a.find_first_not_of("0123456789") != std::string::npos) return false;
  if (b.find_first_not_of("0123456789") != std::string::npos) return false;
  n = std::stoull(a);
  m = std::stoull(b);
  return true;
}

// Empty when `out` is a line fitting of `source`: the source lines in order,
// each whole or cut to a prefix followed by "…[+K chars]" with K the
// characters cut off; the first and the last source line present; and every
// marker line standing for exactly its count of lines and characters
// (terminators included). Otherwise what is wrong. `omitted` gets the sum of
// the markers' line counts.
inline std::string check_line_fit(std::string_view source, std::string_view out, std::uint64_t& omitted) {
  const std::vector<text::Line> src = text::split_lines(source), got = text::split_lines(out);
  omitted = 0;
  std::size_t i = 0;
  bool after_marker = true;  // a marker may not open the text
  for (std::size_t j = 0; j < got.size(); ++j) {
    const text::Line& g = got[j];
    const std::string where = "output line " + std::to_string(j + 1) + ": ";
    std::uint64_t n = 0, m = 0;
    if (parse_lines_marker(g.text, n, m)) {
      if (after_marker) return where + "a marker at the start or after a marker";
      if (n == 0 || i + n >= src.size()) return where + "marker reaches the last line";
      std::uint64_t chars = 0;
      for (std::size_t k = i; k < i + n; ++k) chars += utf8::count(src[k].text) + utf8::count(src[k].terminator);
      if (chars != m) return where + "marker says " + std::to_string(m) + " chars, lines hold " + std::to_string(chars);
      if (g.terminator != "\n" && g.terminator != "\r\n") return where + "marker line not terminated";
      i += n;
      omitted += n;
      after_marker = true;
      continue;
    }
    if (i >= src.size()) return where + "more lines than the source";
    const text::Line& s = src[i];
    if (g.text != s.text) {
      const std::string_view cut_head = "\xE2\x80\xA6[+";
      std::size_t at = g.text.rfind(cut_head);
      if (at == std::string_view::npos || !g.text.ends_with(" chars]")) return where + "not source line " + std::to_string(i + 1);
      std::string_view prefix = g.text.substr(0, at);
      std::string k(g.text.substr(at + cut_head.size(), g.text.size() - at - cut_head.size() - 7));
      if (k.empty() || k.find_first_not_of("0123456789") != std::string::npos || !s.text.starts_with(prefix))
        return where + "not a cut of source line " + std::to_string(i + 1);
      if (utf8::count(prefix) + std::stoull(k) != utf8::count(s.text))
        return where + "chars marker count is not what was cut from line " + std::to_string(i + 1);
    }
    if (g.terminator != s.terminator) return where + "terminator differs from source line " + std::to_string(i + 1);
    ++i;
    after_marker = false;
  }
  if (i != src.size()) return "the source's last line is missing";
  return "";
}

}  // namespace tavisk::testing
