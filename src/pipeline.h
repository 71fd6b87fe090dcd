// One shrink call from the options text to the envelope text: options,
// input detection, output form, full rendering, budget search and report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "prune.h"
#include "stats.h"
#include "value.h"

namespace tavisk {

// Renders a value as JSON (compact for indent 0) or block YAML.
std::string render(const Value& v, std::uint64_t indent, Format format);

struct Report {
  std::uint64_t input_chars = 0;
  std::uint64_t output_chars = 0;
  std::uint64_t max_chars = 0;
  Format format = Format::Json;
  Format input_format = Format::Json;
  bool pruned = false;
  bool fits = true;
  bool focus = false;  // the report then carries the focus counters too
  Stats stats;
};

// The budget search: fits the document under corrected budgets, at most 24 times.
struct BudgetSearch {
  std::string text;
  std::uint64_t chars = 0;
  bool fits = false;
  Stats stats;
  int attempts = 0;
  std::vector<std::uint64_t> budgets;  // handed to fit, one per attempt
};
namespace focus {
class Index;
}  // namespace focus

// The Meta tree every attempt of one call shares.
// With an arena, the analysis's lists live there and it must not outlive the arena.
// With focus, a call that focuses gets its hit masks there, built by the same pass (null when
// its arguments give no term); its root entries are placed by Index::place_root once the
// returned tree rests where fitting reads it.
Meta analyze(const Value& doc, const Options& o, std::uint64_t indent, Arena* arena = nullptr,
             std::unique_ptr<focus::Index>* focus = nullptr);
// The search with the hit masks built on its own from the analysis.
BudgetSearch search_budget(const Value& doc, const Meta& meta, const Options& o, Format format, std::uint64_t indent);
// The search with the call's hit masks at hand (null: none).
BudgetSearch search_budget(const Value& doc, const Meta& meta, const Options& o, Format format, std::uint64_t indent,
                           const focus::Index* focus);
// Analysis and search together; the analysis lives in `arena` when one is given.
BudgetSearch search_budget(const Value& doc, const Options& o, Format format, std::uint64_t indent,
                           Arena* arena = nullptr);

Value report_value(const Report& r);

// {"ok":false,"error":message}
std::string error_envelope(std::string_view message);

// The error of an input that is not UTF-8, which wins over every other.
inline constexpr std::string_view invalid_input = "input is not valid UTF-8";

// Runs the pipeline on UTF-8 options and returns the envelope text; the input
// is checked for UTF-8 as it is read.
std::string run_pipeline(std::string_view input, std::string_view options);

}  // namespace tavisk
