#include "yaml_in.h"

#include <libfyaml.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "utf8.h"
#include "yaml_scalar.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVISK_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAVISK_LSAN 1
#endif
#ifdef TAVISK_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace tavisk::yaml_in {

namespace {

// The library holds about 400 bytes for every event of a line until the line
// ends, so one line may hold this many events, or one per this many bytes of
// the text when that is more: a long line stays within a few times the text.
constexpr std::uint64_t line_events_floor = 25000;
constexpr std::uint64_t line_event_bytes = 40;

// The library formats a scalar's text in time that grows with the square of
// each run of empty or blank lines inside it (about the run's lines times its
// bytes), so that product, summed over a text's scalars, is held to this many
// units (a few milliseconds' work), or to this many per byte of the text.
constexpr std::uint64_t blank_run_floor = 4000000;
constexpr std::uint64_t blank_run_per_byte = 8;

// Objects with at least this many pairs look their keys up through a hash index.
constexpr std::size_t index_threshold = 16;

std::string_view token_text(fy_token* t) {
  if (!t) return {};
  std::size_t len = 0;
  const char* p = fy_token_get_text(t, &len);
  return p ? std::string_view(p, len) : std::string_view();
}

// The value of a single-quoted scalar from its source between the quotes: ''
// stands for a quote, and line breaks fold as in every flow scalar (one break
// becomes a space, each further one a line feed; white space around the breaks
// goes). Decoded here because the library leaks the buffer it formats runs of
// four or more '' into.
std::string single_quoted(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '\'') {
      out.push_back('\'');
      i += (i + 1 < raw.size() && raw[i + 1] == '\'') ? 2 : 1;
    } else if (c == '\n' || c == '\r') {
      while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
      std::size_t breaks = 0;
      while (i < raw.size()) {
        if (raw[i] == '\r') {
          ++breaks;
          i += (i + 1 < raw.size() && raw[i + 1] == '\n') ? 2 : 1;
        } else if (raw[i] == '\n') {
          ++breaks;
          ++i;
        } else if (raw[i] == ' ' || raw[i] == '\t') {
          ++i;
        } else {
          break;
        }
      }
      if (breaks == 1)
        out.push_back(' ');
      else
        out.append(breaks - 1, '\n');
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

std::string position(std::size_t byte, long line, long column) {
  return " at byte " + std::to_string(byte) + " line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string mark_position(const fy_mark* m) {
  if (!m) return position(0, 1, 1);
  return position(m->input_pos, static_cast<long>(m->line) + 1, static_cast<long>(m->column) + 1);
}

// Byte offset of a 1-based line and column (in characters) of the text.
std::size_t offset_at(std::string_view text, int line, int column) {
  std::size_t i = 0;
  for (int l = 1; l < line && i < text.size(); ++i)
    if (text[i] == '\n') ++l;
  for (int c = 1; c < column && i < text.size(); ++c) utf8::next(text, i);
  return i;
}

void discard(fy_diag*, void*, const char*, std::size_t) {}

struct DiagDeleter {
  void operator()(fy_diag* d) const { fy_diag_destroy(d); }
};
struct ParserDeleter {
  void operator()(fy_parser* p) const { fy_parser_destroy(p); }
};

// A node already composed: its value, its size in nodes and in text bytes (keys
// included), its height, and what it is as a mapping key (scalars only).
struct Node {
  Value value;
  std::uint64_t nodes = 1;
  std::uint64_t bytes = 0;
  std::uint64_t height = 0;
  std::optional<ScalarInfo> scalar;
};

struct Key {
  std::string text;
  ScalarInfo info;
  fy_mark where{};
};

// An open sequence or mapping.
struct Frame {
  bool is_map = false;
  std::string anchor;
  Value::Array items;
  Value::Object members;
  std::vector<std::uint8_t> kinds;  // per pair: the key kinds seen for its text
  std::unordered_map<std::string, std::size_t> index;
  std::unordered_set<std::string> reals;
  std::optional<Key> key;
  std::uint64_t nodes = 1;
  std::uint64_t bytes = 0;
  std::uint64_t height = 0;
};

// The library's verdicts on a closing bracket or brace that is not indented past the
// enclosing block, as real manifests write it ("args: [" ... "]" under its key).
constexpr std::string_view flow_end_errors[] = {"wrongly indented sequence end in flow mode",
                                                "wrongly indented mapping end in flow mode"};

class Composer {
 public:
  Composer(std::string_view text, bool lenient_flow_end) : text_(text), lenient_flow_end_(lenient_flow_end) {}

  // Whether the library's error is a flow collection closing under its key.
  bool failed_on_flow_end() const {
    return std::find(std::begin(flow_end_errors), std::end(flow_end_errors), library_message_) !=
           std::end(flow_end_errors);
  }

  Result<Value> run() {
    if (text_.empty()) return Value::null();
    if (auto setup = open(); !setup) return fail(setup.error());
    // The library's verdict on the whole text comes first: after a conversion
    // failure the remaining events are still parsed, but no longer composed.
    // Reading stops at once, though, where the text would make the library's
    // own state grow without bound: nesting past the limit, or too many
    // values on one line (the library keeps a line's tokens until it ends).
    std::optional<std::string> failure;
    while (fy_event* e = fy_parser_parse(parser_.get())) {
      if (const fy_mark* m = fy_event_end_mark(e)) parsed_to_ = *m;
      auto bound = within_bounds(e);
      if (!bound) {
        fy_parser_event_free(parser_.get(), e);
        return fail(failure ? std::move(*failure) : std::move(bound).error());
      }
      if (!failure) {
        auto step = handle(e);
        if (!step) failure = std::move(step).error();
      }
      fy_parser_event_free(parser_.get(), e);
    }
    if (fy_parser_get_stream_error(parser_.get()) || fy_diag_got_error(diag_.get())) {
      std::string message = library_error();
      if (library_message_ == corrupting_error) abandon_parser();
      return fail(std::move(message));
    }
    if (failure) return fail(std::move(*failure));
    if (docs_.empty()) return Value::null();
    if (docs_.size() == 1) return std::move(docs_.front());
    return Value::array(std::move(docs_));
  }

 private:
  using Step = Result<bool>;

  Step open() {
    fy_diag_cfg dc;
    fy_diag_cfg_default(&dc);
    dc.fp = nullptr;
    dc.output_fn = discard;
    dc.colorize = false;
    diag_.reset(fy_diag_create(&dc));
    if (!diag_) return fail("YAML parser unavailable");
    fy_diag_set_collect_errors(diag_.get(), true);
    fy_parse_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    unsigned flags = FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2 | FYPCF_DISABLE_DEPTH_LIMIT;
    if (lenient_flow_end_) flags |= FYPCF_SLOPPY_FLOW_INDENTATION;
    cfg.flags = static_cast<fy_parse_cfg_flags>(flags);
    cfg.diag = diag_.get();
    parser_.reset(fy_parser_create(&cfg));
    if (!parser_ || fy_parser_set_string(parser_.get(), text_.data(), text_.size()) != 0)
      return fail("YAML parser unavailable");
    return true;
  }

  // The parser's state after this error frees one block twice when it is
  // destroyed (a key such as "? a:" followed by a tab and "-"), so that
  // parser is left alive: a few kilobytes per such text instead of a crash.
  static constexpr std::string_view corrupting_error = "cannot use tab for indentation of block entry";

  void abandon_parser() {
    fy_parser* p = parser_.release();
#ifdef TAVISK_LSAN
    __lsan_ignore_object(p);
#else
    (void)p;
#endif
  }

  std::string library_error() {
    void* it = nullptr;
    const fy_diag_error* err = nullptr;
    while (const fy_diag_error* e = fy_diag_errors_iterate(diag_.get(), &it)) {
      if (e->type >= FYET_ERROR) {
        err = e;
        break;
      }
    }
    // Without a collected error, the position is where the last complete event ended.
    if (!err) return "YAML parse error" + mark_position(&parsed_to_);
    std::string msg = err->msg ? err->msg : "YAML parse error";
    library_message_ = msg;
    if (err->fyt) return msg + mark_position(fy_token_start_mark(err->fyt));
    return msg + position(offset_at(text_, err->line, err->column), err->line, err->column);
  }

  Step handle(fy_event* e) {
    switch (e->type) {
      case FYET_DOCUMENT_START: anchors_.clear(); return true;
      case FYET_SCALAR: return scalar(e);
      case FYET_ALIAS: return alias(e);
      case FYET_SEQUENCE_START: return start(false, e->sequence_start.anchor);
      case FYET_MAPPING_START: return start(true, e->mapping_start.anchor);
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END: return end();
      default: return true;
    }
  }

  // Tracked on every event, composed or not: the open collections and the
  // number of events that started on the current line.
  Step within_bounds(fy_event* e) {
    switch (e->type) {
      case FYET_DOCUMENT_START: open_ = 0; break;
      case FYET_SEQUENCE_START:
      case FYET_MAPPING_START:
        if (open_ > max_depth) return fail("nesting deeper than 512 levels");
        ++open_;
        break;
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END:
        if (open_ > 0) --open_;
        break;
      default: break;
    }
    const fy_mark* m = fy_event_start_mark(e);
    if (!m) return true;
    if (m->line != line_) {
      line_ = m->line;
      line_events_ = 0;
    }
    if (++line_events_ > std::max(line_events_floor, text_.size() / line_event_bytes))
      return fail("too many values on one line" + mark_position(m));
    return true;
  }

  bool key_position() const { return !stack_.empty() && stack_.back().is_map && !stack_.back().key; }

  Step check_depth(std::uint64_t height) const {
    if (stack_.size() + height > max_depth) return fail("nesting deeper than 512 levels");
    return true;
  }

  Step start(bool is_map, fy_token* anchor) {
    if (key_position()) return fail("complex mapping keys are not supported");
    if (auto d = check_depth(0); !d) return d;
    ++own_nodes_;
    Frame f;
    f.is_map = is_map;
    f.anchor = std::string(token_text(anchor));
    stack_.push_back(std::move(f));
    return true;
  }

  Step end() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    Node n;
    n.value = f.is_map ? Value::object(std::move(f.members)) : Value::array(std::move(f.items));
    n.nodes = f.nodes;
    n.bytes = f.bytes;
    n.height = f.height;
    if (auto r = remember(f.anchor, n); !r) return r;
    return deliver(std::move(n), fy_mark{});
  }

  Step scalar(fy_event* e) {
    if (auto d = check_depth(0); !d) return d;
    ++own_nodes_;
    fy_token* value = e->scalar.value;
    if (auto c = charge_blank_runs(value); !c) return c;
    std::string_view text = scalar_text(value);
    bool plain = fy_token_scalar_style(value) == FYSS_PLAIN;
    if (!plain && !utf8::valid(text)) return fail("invalid value");
    auto s = resolve_scalar(text, plain, token_text(e->scalar.tag));
    if (!s) return fail(s.error());
    Node n;
    n.value = std::move(s->value);
    n.bytes = text.size();
    n.scalar = std::move(s->info);
    if (auto r = remember(std::string(token_text(e->scalar.anchor)), n); !r) return r;
    return deliver(std::move(n), scalar_mark(e));
  }

  // Charges the runs of empty or blank lines in a scalar's source before the
  // library formats its text: each run costs its lines times its bytes.
  Step charge_blank_runs(fy_token* value) {
    const fy_mark* from = fy_token_start_mark(value);
    const fy_mark* to = fy_token_end_mark(value);
    if (!from || !to || from->input_pos >= to->input_pos || to->input_pos > text_.size()) return true;
    const std::string_view span = text_.substr(from->input_pos, to->input_pos - from->input_pos);
    std::uint64_t lines = 0, bytes = 0, cost = 0, line_bytes = 0;
    bool blank = true;  // nothing but spaces and tabs since the last line break
    for (std::size_t i = 0; i < span.size(); ++i) {
      const char c = span[i];
      if (c != '\n' && c != '\r') {
        ++line_bytes;
        if (c != ' ' && c != '\t') blank = false;
        continue;
      }
      if (c == '\r' && i + 1 < span.size() && span[i + 1] == '\n') ++i;
      if (blank) {
        ++lines;
        bytes += line_bytes + 1;
      } else {
        cost += lines * bytes;
        lines = bytes = 0;
      }
      line_bytes = 0;
      blank = true;
    }
    cost += lines * bytes;
    blank_run_cost_ += cost;
    if (blank_run_cost_ > std::max(blank_run_floor, blank_run_per_byte * text_.size()))
      return fail("too many empty lines inside values" + mark_position(from));
    return true;
  }

  // A scalar's value; single-quoted ones are decoded from the source between the quotes.
  std::string_view scalar_text(fy_token* value) {
    if (fy_token_scalar_style(value) != FYSS_SINGLE_QUOTED) return token_text(value);
    const fy_mark* from = fy_token_start_mark(value);
    const fy_mark* to = fy_token_end_mark(value);
    if (!from || !to || from->input_pos > to->input_pos || to->input_pos > text_.size()) return token_text(value);
    decoded_ = single_quoted(text_.substr(from->input_pos, to->input_pos - from->input_pos));
    return decoded_;
  }

  // Where a scalar starts: the parser marks a quoted scalar's content, so step back over the quote.
  static fy_mark scalar_mark(fy_event* e) {
    const fy_mark* m = fy_event_start_mark(e);
    if (!m) return fy_mark{};
    fy_mark mark = *m;
    auto style = fy_token_scalar_style(e->scalar.value);
    if ((style == FYSS_SINGLE_QUOTED || style == FYSS_DOUBLE_QUOTED) && mark.input_pos > 0 && mark.column > 0) {
      --mark.input_pos;
      --mark.column;
    }
    return mark;
  }

  Step alias(fy_event* e) {
    auto found = anchors_.find(std::string(token_text(e->alias.anchor)));
    if (found == anchors_.end()) return fail("unresolved alias");
    const Node& a = found->second;
    if (key_position() && !a.scalar) return fail("complex mapping keys are not supported");
    if (auto d = check_depth(a.height); !d) return d;
    if (auto c = charge(a); !c) return c;
    const fy_mark* m = fy_event_start_mark(e);
    return deliver(Node(a), m ? *m : fy_mark{});
  }

  // Anchored nodes are kept as copies for later aliases.
  Step remember(const std::string& anchor, const Node& n) {
    if (anchor.empty()) return true;
    if (auto c = charge(n); !c) return c;
    anchors_.insert_or_assign(anchor, n);
    return true;
  }

  // Every copy made for an anchor or an alias counts, in nodes and in text bytes, so that
  // neither many aliases of a long string nor nested anchors can outgrow the text.
  Step charge(const Node& n) {
    copied_nodes_ += n.nodes;
    copied_bytes_ += n.bytes;
    if (copied_nodes_ > std::max(alias_floor, alias_factor * own_nodes_) ||
        copied_bytes_ > std::max(alias_bytes_floor, alias_factor * text_.size()))
      return fail("alias expansion too large");
    return true;
  }

  Step deliver(Node n, fy_mark where) {
    if (stack_.empty()) {
      docs_.push_back(std::move(n.value));
      return true;
    }
    Frame& f = stack_.back();
    f.nodes += n.nodes;
    f.bytes += n.bytes;
    f.height = std::max(f.height, n.height + 1);
    if (!f.is_map) {
      f.items.push_back(std::move(n.value));
      return true;
    }
    if (!f.key) {
      ScalarKind kind = n.scalar->kind;
      std::string text = kind == ScalarKind::String || kind == ScalarKind::Int ? std::string(n.value.text())
                                                                               : key_text(n.value, *n.scalar);
      f.key = Key{std::move(text), std::move(*n.scalar), where};
      return true;
    }
    Key k = std::move(*f.key);
    f.key.reset();
    return insert(f, std::move(k), std::move(n.value));
  }

  static std::optional<std::size_t> find(const Frame& f, const std::string& key) {
    if (!f.index.empty()) {
      auto it = f.index.find(key);
      if (it == f.index.end()) return std::nullopt;
      return it->second;
    }
    for (std::size_t i = 0; i < f.members.size(); ++i)
      if (f.members[i].key == key) return i;
    return std::nullopt;
  }

  // Keys of one kind and value repeat; keys of different kinds and the same text merge.
  static Step insert(Frame& f, Key k, Value v) {
    auto bit = static_cast<std::uint8_t>(k.info.kind);
    if (k.info.kind == ScalarKind::Real && !f.reals.insert(k.info.real_identity).second)
      return fail("duplicate mapping key" + mark_position(&k.where));
    if (auto i = find(f, k.text)) {
      if (f.kinds[*i] & bit) return fail("duplicate mapping key" + mark_position(&k.where));
      f.kinds[*i] |= bit;
      f.members[*i].value = std::move(v);
      return true;
    }
    if (!f.index.empty()) f.index.emplace(k.text, f.members.size());
    f.members.push_back({std::move(k.text), std::move(v)});
    f.kinds.push_back(bit);
    if (f.members.size() == index_threshold) {
      f.index.reserve(index_threshold * 2);
      for (std::size_t i = 0; i < f.members.size(); ++i) f.index.emplace(f.members[i].key, i);
    }
    return true;
  }

  std::string_view text_;
  bool lenient_flow_end_ = false;
  std::string library_message_;
  std::string decoded_;  // the last single-quoted scalar's value
  fy_mark parsed_to_{};
  std::unique_ptr<fy_diag, DiagDeleter> diag_;
  std::unique_ptr<fy_parser, ParserDeleter> parser_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, Node> anchors_;
  Value::Array docs_;
  std::uint64_t open_ = 0;
  int line_ = -1;
  std::uint64_t line_events_ = 0;
  std::uint64_t own_nodes_ = 0;
  std::uint64_t copied_nodes_ = 0;
  std::uint64_t copied_bytes_ = 0;
  std::uint64_t blank_run_cost_ = 0;
};

// The library scans a whole line of flow content before it hands out its
// first event, holding every token of it, so a line is checked before the
// library sees it: outside quotes, the flow indicators on one line while a
// bracket or brace is open. Returns the position of the first line past the
// bound, if any.
std::optional<std::string> crowded_flow_line(std::string_view text) {
  const std::uint64_t bound = std::max(line_events_floor, text.size() / line_event_bytes);
  std::uint64_t open = 0, on_line = 0, line = 1;
  std::size_t line_start = 0;
  char quote = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      line_start = i + 1;
      on_line = 0;
      continue;
    }
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (open > 0 && (c == '"' || c == '\'')) {
      quote = c;
      continue;
    }
    if (c == '[' || c == '{') {
      ++open;
    } else if (c == ']' || c == '}') {
      if (open > 0) --open;
    } else if (c != ',' || open == 0) {
      continue;
    }
    if (++on_line > bound)
      return position(i, static_cast<long>(line), static_cast<long>(utf8::count(text.substr(line_start, i - line_start)) + 1));
  }
  return std::nullopt;
}

}  // namespace

// Strict first: a text whose first library error is a closing bracket or brace under its key
// is read again with the library's lenient flow indentation. That mode also lets flow content
// dedent, so dedented content is refused unless a closing bracket under its key comes first.
Result<Value> parse(std::string_view text) {
  // Calls check their texts first; this guards other callers, since the
  // library can loop forever on some invalid bytes (in a %TAG directive).
  if (!utf8::valid(text)) return fail("text is not valid UTF-8");
  if (auto line = crowded_flow_line(text)) return fail("too many values on one line" + *line);
  Composer strict(text, false);
  auto result = strict.run();
  if (!result && strict.failed_on_flow_end()) return Composer(text, true).run();
  return result;
}

}  // namespace tavisk::yaml_in
