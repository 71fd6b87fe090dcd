// The validated options of one call, read from the options JSON object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protect.h"
#include "result.h"
#include "value.h"

namespace tavisk {

// Largest accepted indent. Far beyond any readable layout, and small enough
// that the deepest line (513 levels) stays within 33 K spaces, so an options
// object cannot blow a small document up into gigabytes of padding.
inline constexpr std::uint64_t max_indent = 64;

// Text: one string, written raw. Jsonl: one JSON value per line. Detect (input
// only): JSON, else YAML that loses nothing, else text.
enum class Format : std::uint8_t { Auto, Json, Yaml, Text, Jsonl, Detect };
enum class ArrayStrategy : std::uint8_t { Sample, Condense };
enum class ScorerKind : std::uint8_t { Heuristic, Compact, KeyOrder };
// Focus on what the request asks for: off, or every signal there is (arguments, the text's own lines).
enum class Focus : std::uint8_t { None, Auto };

struct Options {
  // Protect patterns as given, or compiled: a call compiles its entries once
  // into `patterns` and drops them.
  std::vector<std::string> protect;
  PatternSet patterns;
  std::optional<std::string> arguments;
  std::uint64_t max_chars = 10000;
  std::uint64_t indent = 2;
  std::uint64_t string_head_chars = 500;
  std::uint64_t string_section_chars = 100;
  std::uint64_t string_min_section_chars = 16;
  std::uint64_t max_samples = 3;
  std::uint64_t min_partial_chars = 40;
  bool keep_last_item = true;
  ArrayStrategy array_strategy = ArrayStrategy::Sample;
  bool explain = false;
  bool strip_ansi = false;
  Format format = Format::Auto;
  Format input_format = Format::Auto;
  ScorerKind field_scorer = ScorerKind::Heuristic;
  Focus focus = Focus::None;

  // The protect patterns in force: the entries when there are any, else the compiled set.
  PatternSet protect_patterns() const { return protect.empty() ? patterns : PatternSet(protect); }

  // Checks the options object pair by pair; the first bad pair is the error.
  static Result<Options> from_value(const Value& v);
};

namespace arguments_text {
// Appends the texts of the scalar leaves (numbers and strings) of a value.
void go(const Value& v, std::vector<std::string>& out);
}  // namespace arguments_text

// The arguments value as one text, or nothing when it is blank.
std::optional<std::string> arguments_from(const Value& v);

}  // namespace tavisk
