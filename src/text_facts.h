// What the size measure and text fitting need to know of a long text, found
// while it is read instead of by passes over it later: the JSON reader
// gathers them while it decodes a long string; a plain text input is scanned
// once for its characters and lines.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavisk {

struct TextFacts {
  static constexpr std::uint64_t unknown = UINT64_MAX;

  std::uint64_t chars = unknown;       // scalar values (utf8::count)
  std::uint64_t cost = unknown;        // characters inside a JSON string literal (size::char_costs)
  std::uint64_t line_feeds = unknown;  // '\n' bytes
  std::uint64_t paragraphs = unknown;  // pieces text::split_paragraphs cuts

  // Lines as text::count_lines counts them, for the text these facts describe.
  std::uint64_t lines(std::string_view text) const {
    return !text.empty() && text.back() == '\n' ? line_feeds : line_feeds + 1;
  }

  // Characters and line feeds of a text in one pass; the rest left unknown.
  static TextFacts of_lines(std::string_view text);
};

// Counts paragraphs as text::split_paragraphs cuts them while a text goes by
// once: a paragraph ends at a line feed followed by blank space (' ', '\t',
// '\r', '\n') holding another line feed, unless that last line feed ends the text.
class ParagraphCounter {
 public:
  // One character (any non-ASCII one may be given as 0x80).
  void character(char32_t c) {
    if (c == '\n') {
      if (open_) {
        second_ = true;
        after_ = false;
      } else {
        open_ = true;
        second_ = after_ = false;
      }
      return;
    }
    if (!open_) return;
    if (c == ' ' || c == '\t' || c == '\r') {
      after_ = true;
      return;
    }
    close();
  }
  // A run of bytes holding no '\n', '\t' or '\r' (plain bytes of a JSON string literal).
  void plain(const char* p, std::size_t n) {
    if (!open_ || n == 0) return;
    std::size_t k = 0;
    while (k < n && p[k] == ' ') ++k;
    if (k > 0) after_ = true;
    if (k < n) close();
  }
  // Paragraphs of everything given so far, taken as the whole text.
  std::uint64_t paragraphs() const { return breaks_ + (open_ && second_ && after_ ? 1 : 0) + 1; }

 private:
  void close() {
    if (second_) ++breaks_;
    open_ = false;
  }

  std::uint64_t breaks_ = 0;
  bool open_ = false;    // in a blank run that began at a line feed
  bool second_ = false;  // the run holds another line feed
  bool after_ = false;   // the run has blank characters after its last line feed
};

}  // namespace tavisk
