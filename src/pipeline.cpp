#include "pipeline.h"

#include <cmath>
#include <limits>
#include <optional>

#include "ansi.h"
#include "condense.h"
#include "fields.h"
#include "focus.h"
#include "json.h"
#include "lines.h"
#include "plain.h"
#include "prune.h"
#include "size.h"
#include "text_facts.h"
#include "unicode.h"
#include "utf8.h"
#include "yaml.h"
#include "yaml_in.h"

namespace tavisk {

namespace {

std::string_view format_word(Format f) {
  switch (f) {
    case Format::Yaml: return "yaml";
    case Format::Text: return "text";
    case Format::Jsonl: return "jsonl";
    default: return "json";
  }
}

std::uint64_t count_chars(std::string_view s) { return utf8::count(s); }

Value count_value(std::uint64_t n) { return Value::number(std::to_string(n)); }

// Thousandths written with exactly three digits after the point.
Value thousandths_value(std::uint32_t t) {
  std::string frac = std::to_string(t % 1000);
  return Value::number(std::to_string(t / 1000) + "." + std::string(3 - frac.size(), '0') + frac);
}

// The input's tree: a JSON or YAML tree in the call's arena, or a tree that owns its storage.
struct Parsed {
  std::optional<json::Tree> tree;
  Value yaml;
  Format kind;

  const Value& value() const { return tree ? tree->root() : yaml; }
};

// Skips leading U+FEFF characters, then leading White_Space.
std::string_view after_bom_and_space(std::string_view text) {
  std::size_t i = 0;
  while (text.substr(i, 3) == "\xEF\xBB\xBF") i += 3;
  while (i < text.size()) {
    std::size_t j = i;
    if (!unicode::white_space(utf8::next(text, j))) break;
    i = j;
  }
  return text.substr(i);
}

// A text without BOM and, on request, without escape sequences; `storage`
// holds it when it had to change.
Value text_input(std::string_view input, bool strip_ansi, std::string& storage) {
  std::string_view text = plain::without_bom(input);
  if (strip_ansi && ansi::has_escapes(text)) {
    storage = ansi::strip(text);
    text = storage;
  }
  return plain::text_value(text);
}

// JSON when it reads as JSON; YAML when it reads as a YAML mapping or
// sequence that dropped nothing; otherwise text. A text shaped like a JSON
// object ('{' to '}') is JSON Lines when each of its two or more lines is a
// JSON value, and otherwise a broken JSON document: the JSON error.
Result<Parsed> detect_input(std::string_view input, bool strip_ansi, Arena& arena, std::string& storage) {
  auto j = json::parse(input, arena);
  if (j) return Parsed{std::move(j).value(), Value(), Format::Json};
  if (!utf8::valid(input)) return fail(std::string(invalid_input));
  if (auto y = yaml_in::parse(input, arena)) {
    const Value& root = y->root();
    if ((root.is_object() || root.is_array()) && !plain::yaml_lost_content(input, root))
      return Parsed{std::move(y).value(), Value(), Format::Yaml};
  }
  std::string_view body = after_bom_and_space(input);
  while (!body.empty() && (body.back() == ' ' || body.back() == '\t' || body.back() == '\r' || body.back() == '\n'))
    body.remove_suffix(1);
  if (body.starts_with('{') && body.ends_with('}')) {
    auto items = plain::jsonl(input);
    if (items && items->items().size() >= 2) return Parsed{std::nullopt, std::move(items).value(), Format::Jsonl};
    return fail("invalid JSON input: " + j.error().text());
  }
  return Parsed{std::nullopt, text_input(input, strip_ansi, storage), Format::Text};
}

// A JSON tree lives in `arena` and borrows from `input`; a text borrows from
// `input` or `storage`. The JSON reader checks the UTF-8 of all it reads, so
// the input is checked as a whole only when another reader takes it or the
// JSON reader fails: a not UTF-8 input is reported as such whatever else is
// wrong with it.
Result<Parsed> parse_input(std::string_view input, const Options& o, Arena& arena, std::string& storage) {
  const Format input_format = o.input_format;
  const bool json_first =
      input_format == Format::Json || input_format == Format::Auto || input_format == Format::Detect;
  if (!json_first && !utf8::valid(input)) return fail(std::string(invalid_input));
  if (input_format == Format::Text)
    return Parsed{std::nullopt, text_input(input, o.strip_ansi, storage), Format::Text};
  if (input_format == Format::Detect) return detect_input(input, o.strip_ansi, arena, storage);
  if (input_format == Format::Jsonl) {
    auto items = plain::jsonl(input);
    if (!items) return fail("invalid JSON input: " + items.error());
    return Parsed{std::nullopt, std::move(items).value(), Format::Jsonl};
  }
  if (input_format == Format::Yaml) {
    auto y = yaml_in::parse(input, arena);
    if (!y) return fail("invalid YAML input: " + y.error());
    return Parsed{std::move(y).value(), Value(), Format::Yaml};
  }
  auto j = json::parse(input, arena);
  if (j) return Parsed{std::move(j).value(), Value(), Format::Json};
  if (!utf8::valid(input)) return fail(std::string(invalid_input));
  std::string json_error = "invalid JSON input: " + j.error().text();
  if (input_format == Format::Json) return fail(std::move(json_error));
  std::string_view rest = after_bom_and_space(input);
  if (rest.empty() || rest[0] == '"' || rest[0] == '[' || rest[0] == '{') return fail(std::move(json_error));
  auto y = yaml_in::parse(input, arena);
  if (!y) return fail("invalid YAML input: " + y.error());
  return Parsed{std::move(y).value(), Value(), Format::Yaml};
}

std::string render_yaml(const Value& v, std::uint64_t indent) {
  if (indent < 2) indent = 2;
  yaml::Lines lines;
  if (v.is_string() && yaml::literal_ok(v.text())) {
    lines.emplace_back(yaml::literal_header(v.text()));
    yaml::literal_body_at(v.text(), 1, indent, lines);
  } else if ((v.is_array() && !v.items().empty()) || (v.is_object() && !v.members().empty())) {
    yaml::block(v, 0, indent, lines);
  } else {
    lines.push_back(yaml::inline_(v));
  }
  std::size_t total = 0;
  for (const auto& l : lines) total += l.size() + 1;
  std::string out;
  out.reserve(total);
  for (const auto& l : lines) {
    out += l;
    out.push_back('\n');
  }
  return out;
}

// One line per item, each written as compact JSON.
std::string render_jsonl(const Value& v) {
  std::string out;
  if (!v.is_array()) {
    json::write_value(out, v, false, 0, 0);
    out.push_back('\n');
    return out;
  }
  for (const Value& item : v.items()) {
    json::write_value(out, item, false, 0, 0);
    out.push_back('\n');
  }
  return out;
}

std::string success_envelope(std::string text, const Report& report) {
  Value::Object members;
  members.push_back({"ok", Value::boolean(true)});
  members.push_back({"text", Value::string(std::move(text))});
  members.push_back({"report", report_value(report)});
  return json::to_string(Value::object(std::move(members)));
}

// One fitting attempt of the budget search. A YAML attempt is counted, not
// rendered: its tree is kept and only the chosen one is written, since deep
// documents at a wide indent render to many times their budget.
struct Attempt {
  std::optional<Value> value;
  std::string text;
  std::uint64_t chars = 0;
  Stats stats;
};

// (b * m / c) * factor in floating point, truncated and clamped to the unsigned range.
std::uint64_t scaled_budget(std::uint64_t b, std::uint64_t m, std::uint64_t c, double factor) {
  double x = (static_cast<double>(b) * static_cast<double>(m)) / static_cast<double>(c) * factor;
  if (!(x > 0)) return 0;
  if (x >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

// Text and JSON Lines output need a string and an array document.
std::optional<std::string> layout_error(const Value& root, Format format) {
  if (format == Format::Text && !root.is_string())
    return "invalid options: format \"text\" needs a document that is one string";
  if (format == Format::Jsonl && !root.is_array())
    return "invalid options: format \"jsonl\" needs a document that is an array";
  return std::nullopt;
}

// A string written as itself: the budget counts its characters.
std::string text_envelope(std::string_view text, const Options& o, Report& report) {
  // Its characters and lines are counted once, for the report and for fitting.
  const TextFacts facts = TextFacts::of_lines(text);
  report.input_chars = facts.chars;
  if (report.input_chars <= o.max_chars) {
    report.output_chars = report.input_chars;
    return success_envelope(std::string(text), report);
  }
  std::string out;
  if (o.focus == Focus::Auto) {
    const focus::Terms terms = focus::Terms::of(o.arguments.value_or(""));
    out = focus::fit_string(text, o.max_chars, o, count_chars, &terms, report.stats);
  } else {
    out = lines::fit_string(text, o.max_chars, o, count_chars, o.input_format == Format::Text, report.stats, {},
                            &facts);
  }
  report.pruned = true;
  report.output_chars = utf8::count(out);
  report.fits = report.output_chars <= o.max_chars;
  return success_envelope(std::move(out), report);
}

}  // namespace

Meta analyze(const Value& doc, const Options& o, std::uint64_t indent, Arena* arena,
             std::unique_ptr<focus::Index>* focus) {
  Pruner analysis = Pruner::with_scorer(indent > 0, indent, o, scorer_for(o.field_scorer));
  analysis.arena = arena;
  // The request's hits are found while the analysis reads the document, once.
  const std::unique_ptr<focus::Builder> builder = focus ? focus::Builder::of(o) : nullptr;
  analysis.focus_build = builder.get();
  Path root;
  Meta meta = analysis.analyze_at(doc, 0, root, false);
  if (focus) *focus = builder ? builder->finish(doc) : nullptr;
  return meta;
}

BudgetSearch search_budget(const Value& doc, const Options& o, Format format, std::uint64_t indent, Arena* arena) {
  std::unique_ptr<focus::Index> focus;
  const Meta meta = analyze(doc, o, indent, arena, &focus);
  if (focus) focus->place_root(meta);
  return search_budget(doc, meta, o, format, indent, focus.get());
}

BudgetSearch search_budget(const Value& doc, const Meta& meta, const Options& o, Format format, std::uint64_t indent) {
  const std::unique_ptr<focus::Index> focus = o.focus == Focus::Auto ? focus::Index::build(doc, meta, o) : nullptr;
  return search_budget(doc, meta, o, format, indent, focus.get());
}

BudgetSearch search_budget(const Value& doc, const Meta& meta, const Options& o, Format format, std::uint64_t indent,
                           const focus::Index* focus) {
  const FieldScorer& scorer = scorer_for(o.field_scorer);
  const bool pretty = indent > 0;
  const std::uint64_t m = o.max_chars, slack = m / 200;
  std::uint64_t b = m;
  std::optional<std::uint64_t> lo, hi;
  std::optional<Attempt> best_fit, best_over;
  BudgetSearch result;
  // Arrays of records are surveyed once and planned by every attempt.
  SurveyCache surveys;
  // The protect patterns are compiled once and shared by every attempt.
  const PatternSet patterns = o.protect_patterns();
  for (int attempt = 0; attempt < 24; ++attempt) {
    ++result.attempts;
    result.budgets.push_back(b);
    Pruner pruner = Pruner::with_scorer(pretty, indent, o, scorer, &patterns);
    pruner.focus_index = focus;  // read by every attempt
    pruner.surveys = &surveys;
    Fitted fitted = pruner.fit(doc, meta, b, 0);
    Attempt a;
    if (format == Format::Yaml) {
      a.chars = yaml::document_chars(fitted.value, indent);
      a.value = std::move(fitted.value);
    } else {
      a.text = render(fitted.value, indent, format);
      a.chars = utf8::count(a.text);
    }
    a.stats = std::move(pruner.stats);
    const std::uint64_t c = a.chars;
    if (c > m) {
      if (!best_over || c < best_over->chars) best_over = std::move(a);
      if (lo) {
        hi = b;
        if (*hi <= *lo + 1) break;
        b = *lo + (*hi - *lo) / 2;
      } else {
        if (b == 0) break;
        std::uint64_t old = b;
        b = std::min(b - 1, scaled_budget(b, m, c, 0.97));
        hi = old;
      }
    } else {
      if (!best_fit || c > best_fit->chars) best_fit = std::move(a);
      if (!(format == Format::Yaml && m - c > slack)) break;
      if (hi) {
        lo = b;
        if (*hi <= *lo + 1) break;
        b = *lo + (*hi - *lo) / 2;
      } else {
        std::uint64_t old = b;
        b = std::max(b + 1 < b ? b : b + 1, scaled_budget(b, m, std::max<std::uint64_t>(c, 1), 1.0));
        lo = old;
      }
    }
  }
  Attempt& chosen = best_fit ? *best_fit : *best_over;
  result.fits = best_fit.has_value();
  result.text = chosen.value ? render(*chosen.value, indent, format) : std::move(chosen.text);
  result.chars = chosen.chars;
  result.stats = std::move(chosen.stats);
  return result;
}

std::string render(const Value& v, std::uint64_t indent, Format format) {
  if (format == Format::Yaml) return render_yaml(v, indent);
  if (format == Format::Jsonl) return render_jsonl(v);
  if (format == Format::Text && v.is_string()) return std::string(v.text());
  std::string out;
  json::write_value(out, v, indent > 0, indent, 0);
  return out;
}

Value report_value(const Report& r) {
  const Stats& s = r.stats;
  Value::Array decisions;
  decisions.reserve(s.field_decisions.size());
  for (const FieldDecision& d : s.field_decisions) {
    Value::Object o;
    o.push_back({"path", Value::string(d.path)});
    o.push_back({"score", thousandths_value(d.score)});
    o.push_back({"kept", Value::boolean(d.kept)});
    o.push_back({"relevance", thousandths_value(d.relevance)});
    decisions.push_back(Value::object(std::move(o)));
  }
  Value::Array dropped;
  dropped.reserve(s.dropped_fields.size());
  for (const DroppedField& d : s.dropped_fields) {
    Value::Object o;
    o.push_back({"path", Value::string(d.path)});
    o.push_back({"items", count_value(d.items)});
    dropped.push_back(Value::object(std::move(o)));
  }
  Value::Object m;
  m.push_back({"input_chars", count_value(r.input_chars)});
  m.push_back({"output_chars", count_value(r.output_chars)});
  m.push_back({"max_chars", count_value(r.max_chars)});
  m.push_back({"format", Value::string(std::string(format_word(r.format)))});
  m.push_back({"input_format", Value::string(std::string(format_word(r.input_format)))});
  m.push_back({"pruned", Value::boolean(r.pruned)});
  m.push_back({"fits", Value::boolean(r.fits)});
  m.push_back({"strings_truncated", count_value(s.strings_truncated)});
  m.push_back({"arrays_sampled", count_value(s.arrays_sampled)});
  m.push_back({"items_omitted", count_value(s.items_omitted)});
  m.push_back({"objects_trimmed", count_value(s.objects_trimmed)});
  m.push_back({"keys_omitted", count_value(s.keys_omitted)});
  m.push_back({"containers_collapsed", count_value(s.containers_collapsed)});
  m.push_back({"arrays_condensed", count_value(s.arrays_condensed)});
  m.push_back({"protected_omitted", count_value(s.protected_omitted)});
  m.push_back({"field_decisions", Value::array(std::move(decisions))});
  m.push_back({"fields_dropped", count_value(s.fields_dropped)});
  m.push_back({"dropped_fields", Value::array(std::move(dropped))});
  if (r.focus) {
    m.push_back({"items_promoted", count_value(s.items_promoted)});
    m.push_back({"arrays_focused", count_value(s.arrays_focused)});
    m.push_back({"keys_promoted", count_value(s.keys_promoted)});
    m.push_back({"lines_omitted", count_value(s.lines_omitted)});
    m.push_back({"lines_matched", count_value(s.lines_matched)});
  }
  return Value::object(std::move(m));
}

namespace {

// The options of a call, or its error envelope. The options tree is dropped
// here: the options keep copies of what they need from it.
Result<Options> read_options(std::string_view options_text) {
  Arena arena;
  auto options_value = json::parse(options_text, arena);
  if (!options_value) return fail(error_envelope("invalid options JSON: " + options_value.error().text()));
  auto options = Options::from_value(options_value.value().root());
  if (!options) return fail(error_envelope("invalid options: " + options.error()));
  return options;
}

}  // namespace

std::string run_pipeline(std::string_view input, std::string_view options_text) {
  auto options = read_options(options_text);
  if (!options) return utf8::valid(input) ? std::move(options).error() : error_envelope(invalid_input);
  // The protect patterns are compiled once for the whole call; their entries are not needed after.
  options.value().patterns = PatternSet(options.value().protect);
  std::vector<std::string>().swap(options.value().protect);
  const Options& o = options.value();

  Arena arena;          // declared before the tree, so that it outlives it
  std::string storage;  // a text input changed before reading
  auto parsed = parse_input(input, options.value(), arena, storage);
  if (!parsed) return error_envelope(parsed.error());

  Report report;
  report.max_chars = o.max_chars;
  report.focus = o.focus == Focus::Auto;
  report.input_format = parsed->kind;
  report.format = o.format == Format::Auto ? parsed->kind : o.format;
  std::uint64_t indent = o.indent;
  if (report.format == Format::Yaml && indent < 2) indent = 2;
  // Fitting reads the input format (a text read as text is fitted by lines).
  options.value().input_format = parsed->kind;
  if (report.format == Format::Text || report.format == Format::Jsonl) {
    if (auto message = layout_error(parsed->value(), report.format)) return error_envelope(*message);
    if (report.format == Format::Text) return text_envelope(parsed->value().text(), o, report);
    indent = 0;  // one compact value per line
  }

  // For JSON output the size measure and the analysis's root size both equal
  // the rendered length. A text far above the budget is analysed straight away
  // (the search needs the analysis anyway); one that may fit is only measured,
  // so that a large budget never pays for an analysis it does not use.
  std::optional<Meta> meta;
  std::unique_ptr<focus::Index> focus;
  if (report.format == Format::Json) {
    if (input.size() / 4 > o.max_chars) {
      meta = analyze(parsed->value(), o, indent, &arena, &focus);
      if (focus) focus->place_root(*meta);
      report.input_chars = meta->full();
    } else {
      report.input_chars = size::of({indent > 0, indent}, parsed->value(), 0);
    }
  } else {
    report.input_chars = yaml::document_chars(parsed->value(), indent);
  }
  if (report.input_chars <= o.max_chars) {
    report.output_chars = report.input_chars;
    return success_envelope(render(parsed->value(), indent, report.format), report);
  }
  BudgetSearch search = meta ? search_budget(parsed->value(), *meta, o, report.format, indent, focus.get())
                             : search_budget(parsed->value(), o, report.format, indent, &arena);
  report.pruned = true;
  report.fits = search.fits;
  report.output_chars = search.chars;
  report.stats = std::move(search.stats);
  return success_envelope(std::move(search.text), report);
}

}  // namespace tavisk
