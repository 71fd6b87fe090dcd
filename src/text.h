// Text fitting: cutting one long string to a budget with heads, previews and
// omission markers. Sizes are string measures (JSON literal length).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "options.h"
#include "text_facts.h"

namespace tavisk::text {

// The measure of a candidate text: its quoted JSON size. It must be a constant
// plus a non-negative cost per character, so that the measure of a
// concatenation follows from the measures of its parts.
using Measure = std::uint64_t (*)(std::string_view);

// A text and the separator that follows it.
using Piece = std::pair<std::string_view, std::string_view>;

struct Cut {
  std::string_view prefix;
  std::uint64_t kept = 0;
};

struct Line {
  std::string_view text;
  std::string_view terminator;
};

struct Section {
  std::string_view text;
  std::string_view separator;
  std::uint64_t chars = 0;
};

Cut cut(std::string_view text, std::uint64_t count);
// Lines as split_lines cuts them, counted without splitting.
std::uint64_t count_lines(std::string_view s);
// measure(text) <= budget, found without measuring more of text than the budget can hold.
bool measure_within(std::string_view text, std::uint64_t budget, Measure measure);
std::vector<Line> split_lines(std::string_view text);
std::vector<Section> mk_sections(const std::vector<std::pair<std::string_view, std::string_view>>& pairs);
// Paragraphs: split at a line feed followed by blank space holding another
// line feed, unless that run ends the text; the separator is first to last line feed.
std::vector<Piece> split_paragraphs(std::string_view s);
// Sentences: split after '.', '!' or '?' followed by spaces or tabs that do not end the text.
std::vector<Piece> split_sentences(std::string_view s);
std::string preview(std::string_view text, std::uint64_t n, Measure measure);
std::vector<std::string> render_pieces(const std::vector<Section>& sections, std::uint64_t head_allowance,
                                       std::uint64_t x, Measure measure);
std::string fit_flat(std::string_view text, std::uint64_t total_chars, std::uint64_t budget, Measure measure);
// facts: of s, when known (unknown fields are found as needed).
std::string fit_text(std::string_view s, std::uint64_t budget, const Options& options, Measure measure,
                     const TextFacts* facts = nullptr);

}  // namespace tavisk::text
