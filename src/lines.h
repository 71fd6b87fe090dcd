// Line-aware fitting of long texts (logs, command output, Markdown): whole
// lines are kept from both ends, and each run of left-out lines becomes one
// marker line "…[+N lines, M chars]" with exact counts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "options.h"
#include "stats.h"
#include "text.h"
#include "text_facts.h"

namespace tavisk::lines {

// Flags a line (its text, without terminator) that deserves a place before
// the plain lines from the end: severity words, query hits.
using Matcher = std::function<bool(std::string_view line)>;

// How the budget is handed out. The lines are chosen in four passes, each
// while the budget lasts:
//  1. from the start: the first line always, then further lines while the
//     head costs at most head_percent of the budget;
//  2. from the end: lines while the tail costs at most tail_percent of the
//     budget (stops at the first line that does not fit);
//  3. with a matcher: the lines it flags, scanned from the end;
//  4. the remaining lines from the end of what is left, until one does not fit.
struct Rules {
  std::uint64_t head_percent = 25;
  std::uint64_t tail_percent = 100;
  // Longest a kept line may be, in percent of the budget (at least 40
  // characters); a longer line is cut with the chars marker "…[+N chars]".
  std::uint64_t line_percent = 25;
  const Matcher* matcher = nullptr;
};

struct Fit {
  std::string text;
  std::uint64_t lines_omitted = 0;  // lines left out, the sum of the markers' line counts
  std::uint64_t lines_matched = 0;  // kept lines the matcher flagged (pass 3)
};

// The lines of a text whose measure exceeds the budget, fitted to the budget
// (so smaller than the text). Nothing for a text of fewer than three lines or
// when even the first and last line with a marker exceed the budget; the
// caller then falls back to text::fit_text.
// facts: of the text, when known (unknown fields are found as needed).
std::optional<Fit> fit(std::string_view text, std::uint64_t budget, text::Measure measure, const Rules& rules = {},
                       const TextFacts* facts = nullptr);

// A string whose measure exceeds the budget: by lines when `by_lines` and line fitting helps,
// else by text::fit_text. Counts the string and its left-out lines in stats.
std::string fit_string(std::string_view s, std::uint64_t budget, const Options& options, text::Measure measure,
                       bool by_lines, Stats& stats, const Rules& rules = {}, const TextFacts* facts = nullptr);

// The marker line text for n lines of m characters: "…[+n lines, m chars]".
std::string marker(std::uint64_t n, std::uint64_t m);

}  // namespace tavisk::lines
