#include "yaml_in.h"

#include <libfyaml.h>

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "scratch.h"
#include "utf8.h"
#include "yaml_fast.h"
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

// Objects with at least this many pairs look their keys up through a hash index.
constexpr std::size_t index_threshold = 16;

std::string_view token_text(fy_token* t) {
  if (!t) return {};
  std::size_t len = 0;
  const char* p = fy_token_get_text(t, &len);
  return p ? std::string_view(p, len) : std::string_view();
}

// Skips one line break at raw[i] (CR LF, CR or LF) and returns whether there was one.
bool skip_break(std::string_view raw, std::size_t& i) {
  if (i < raw.size() && raw[i] == '\r') {
    i += (i + 1 < raw.size() && raw[i + 1] == '\n') ? 2 : 1;
    return true;
  }
  if (i < raw.size() && raw[i] == '\n') {
    ++i;
    return true;
  }
  return false;
}

void skip_white(std::string_view raw, std::size_t& i) {
  while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t')) ++i;
}

// Folds the line breaks at raw[i] and the white space around them into `out`:
// white space before them goes (but from out's first `kept` bytes), one break
// becomes a space and each further one a line feed.
void fold_breaks(std::string_view raw, std::size_t& i, std::string& out, std::size_t kept) {
  while (out.size() > kept && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
  std::size_t breaks = 0;
  for (; skip_break(raw, i); skip_white(raw, i)) ++breaks;
  if (breaks == 1)
    out.push_back(' ');
  else
    out.append(breaks - 1, '\n');
}

// The character a double-quoted scalar's escape `\e` stands for (not a numeric
// escape nor a line break; the library has checked it is one of YAML's).
std::string_view escaped(char e) {
  switch (e) {
    case '0': return std::string_view("\0", 1);
    case 'a': return "\a";
    case 'b': return "\b";
    case 't': case '\t': return "\t";
    case 'n': return "\n";
    case 'v': return "\v";
    case 'f': return "\f";
    case 'r': return "\r";
    case 'e': return "\x1B";
    case 'N': return "\xC2\x85";
    case '_': return "\xC2\xA0";
    case 'L': return "\xE2\x80\xA8";
    case 'P': return "\xE2\x80\xA9";
    case ' ': return " ";
    case '"': return "\"";
    case '/': return "/";
    default: return "\\";
  }
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
      fold_breaks(raw, i, out, 0);
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

// The code point of the numeric escape whose letter (x, u or U) is at raw[i],
// or -1 when it is not one, or one of a surrogate or past U+10FFFF.
long numeric_escape(std::string_view raw, std::size_t i) {
  const std::size_t digits = raw[i] == 'x' ? 2 : raw[i] == 'u' ? 4 : raw[i] == 'U' ? 8 : 0;
  if (digits == 0 || i + digits >= raw.size()) return -1;
  long c = 0;
  for (std::size_t k = i + 1; k <= i + digits; ++k) {
    const char d = raw[k];
    const int v = d >= '0' && d <= '9' ? d - '0' : d >= 'a' && d <= 'f' ? d - 'a' + 10 : d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
    if (v < 0) return -1;
    c = c * 16 + v;
  }
  return (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF ? -1 : c;
}

// Whether this reader decodes a double-quoted scalar's source rather than the
// library: one over several lines, whose folding the library gets wrong in
// places (a character lost after an escaped backslash and line break, breaks
// lost or gained over CR LF, a NUL appended) and on which it can leak the
// buffer it formats into; not one with a numeric escape of a surrogate or
// past Unicode, left to the library.
bool decodes_double_quoted(std::string_view raw) {
  if (raw.find_first_of("\r\n") == std::string_view::npos) return false;
  for (std::size_t i = raw.find('\\'); i != std::string_view::npos && i + 1 < raw.size(); i = raw.find('\\', i + 2)) {
    const char e = raw[i + 1];
    if ((e == 'x' || e == 'u' || e == 'U') && numeric_escape(raw, i + 1) < 0) return false;
  }
  return true;
}

// The value of a double-quoted scalar from its source between the quotes (its
// numeric escapes checked by decodes_double_quoted): each escape gives its character; an escaped line break
// goes with the white space after it, each further break giving a line feed;
// other line breaks fold as in single-quoted scalars, white space that escapes
// gave kept.
std::string double_quoted(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t kept = 0;  // bytes of `out` that trailing white space is never taken from
  std::size_t i = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '\\' && i + 1 < raw.size()) {
      ++i;
      if (skip_break(raw, i)) {
        for (skip_white(raw, i); skip_break(raw, i); skip_white(raw, i)) out.push_back('\n');
      } else if (const char e = raw[i]; e == 'x' || e == 'u' || e == 'U') {
        utf8::append(out, static_cast<char32_t>(numeric_escape(raw, i)));
        i += e == 'x' ? 3 : e == 'u' ? 5 : 9;
      } else {
        out.append(escaped(raw[i++]));
      }
      kept = out.size();
    } else if (c == '\n' || c == '\r') {
      fold_breaks(raw, i, out, kept);
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

// A value whose storage the arena holds: a scalar's text is inline, in the
// text or in the arena, and a collection's list is in the arena. A copy
// shares that storage, so an alias costs one value however large its
// anchor; and it is never destroyed, since a list it shares belongs to the
// tree as well.
class Shared {
 public:
  Shared() noexcept { new (&v_) Value(); }
  explicit Shared(const Value& v) noexcept { new (&v_) Value(share(v)); }
  Shared(const Shared& other) noexcept : Shared(other.get()) {}
  Shared& operator=(const Shared& other) noexcept {
    new (&v_) Value(share(other.get()));  // the value it replaces owns nothing
    return *this;
  }
  ~Shared() {}

  const Value& get() const { return v_; }

  // A value over the same storage as `v`.
  static Value share(const Value& v) noexcept {
    switch (v.kind()) {
      case Kind::Number:
      case Kind::String: return Value::borrowed(v.kind(), v.text());
      case Kind::Array:
        return Value::array(Value::Array::borrow(const_cast<Value*>(v.items().data()), v.items().size()));
      case Kind::Object:
        return Value::object(Value::Object::borrow(const_cast<Member*>(v.members().data()), v.members().size()));
      default: return v;
    }
  }

 private:
  union {
    Value v_;
  };
};

// A node already composed, as an anchor keeps it: its value, its size in
// nodes and in text bytes (keys included), its height, and, for a scalar,
// what it is as a mapping key.
struct Node {
  Shared value;
  std::uint64_t nodes = 1;
  std::uint64_t bytes = 0;
  std::uint64_t height = 0;
  bool scalar = false;
  ScalarKind kind = ScalarKind::Null;
  std::string_view key;  // its text as a key, in storage that outlives the call's tree
  std::string identity;  // reals: equal for equal values
};

// A mapping key waiting for its value.
struct Pending {
  std::string_view text;  // in storage that outlives the tree
  ScalarKind kind = ScalarKind::Null;
  std::string identity;
  fy_mark where{};
};

// Per pair of an open mapping: its key's text (stable, unlike the key's
// inline bytes on the moving stack) and the key kinds seen for that text.
struct KeyNote {
  std::string_view text;
  std::uint8_t kinds;
};

// What a mapping finds its repeated keys by, besides a scan of its pairs.
struct Lookup {
  std::unordered_map<std::string_view, std::size_t> index;  // from index_threshold pairs on
  std::unordered_set<std::string> reals;                    // the identities of its real keys
};

// An open sequence or mapping; its children sit on the composer's stacks from `base` on.
struct Frame {
  bool is_map = false;
  bool has_key = false;
  std::size_t base = 0;
  std::string anchor;
  Pending key;
  std::unique_ptr<Lookup> lookup;  // made for the first real key or at index_threshold pairs
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
  Composer(std::string_view text, bool lenient_flow_end, Arena& arena)
      : text_(text),
        lenient_flow_end_(lenient_flow_end),
        arena_(arena),
        line_events_bound_(std::max(line_events_floor, text.size() / line_event_bytes)) {}

  // Whether the library's error is a flow collection closing under its key.
  bool failed_on_flow_end() const {
    return std::find(std::begin(flow_end_errors), std::end(flow_end_errors), library_message_) !=
           std::end(flow_end_errors);
  }

  Result<Value> run() {
    if (text_.empty()) return Value::null();
    if (!open()) return fail(std::move(error_));
    // The library's verdict on the whole text comes first: after a conversion
    // failure the remaining events are still parsed, but no longer composed.
    // Reading stops at once, though, where the text would make the library's
    // own state grow without bound: nesting past the limit, or too many
    // values on one line (the library keeps a line's tokens until it ends).
    bool failed = false;
    std::string failure;
    while (fy_event* e = fy_parser_parse(parser_.get())) {
      if (const fy_mark* m = fy_event_end_mark(e)) parsed_to_ = *m;
      if (!within_bounds(e)) {
        fy_parser_event_free(parser_.get(), e);
        return fail(failed ? std::move(failure) : std::move(error_));
      }
      if (!failed && !handle(e)) {
        failed = true;
        failure = std::move(error_);
      }
      fy_parser_event_free(parser_.get(), e);
    }
    if (fy_parser_get_stream_error(parser_.get()) || fy_diag_got_error(diag_.get())) {
      std::string message = library_error();
      if (library_message_ == corrupting_error) abandon_parser();
      return fail(std::move(message));
    }
    if (failed) return fail(std::move(failure));
    // The documents, below every open collection's children.
    if (items_.size() == 0) return Value::null();
    if (items_.size() == 1) {
      Value doc = std::move(items_.back());
      items_.pop_to(0);
      return doc;
    }
    return Value::array(arena_list(items_, 0, arena_));
  }

 private:
  // Errors are kept out of line, so that the paths every event takes stay short.
  [[gnu::cold, gnu::noinline]] bool error(const char* message) {
    error_ = message;
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool error(const char* message, const fy_mark* where) {
    error_ = message + mark_position(where);
    return false;
  }

  bool open() {
    fy_diag_cfg dc;
    fy_diag_cfg_default(&dc);
    dc.fp = nullptr;
    dc.output_fn = discard;
    dc.colorize = false;
    diag_.reset(fy_diag_create(&dc));
    if (!diag_) return error("YAML parser unavailable");
    fy_diag_set_collect_errors(diag_.get(), true);
    fy_parse_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    unsigned flags = FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2 | FYPCF_DISABLE_DEPTH_LIMIT;
    if (lenient_flow_end_) flags |= FYPCF_SLOPPY_FLOW_INDENTATION;
    cfg.flags = static_cast<fy_parse_cfg_flags>(flags);
    cfg.diag = diag_.get();
    parser_.reset(fy_parser_create(&cfg));
    if (!parser_ || fy_parser_set_string(parser_.get(), text_.data(), text_.size()) != 0)
      return error("YAML parser unavailable");
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

  bool handle(fy_event* e) {
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
  bool within_bounds(fy_event* e) {
    switch (e->type) {
      case FYET_DOCUMENT_START: open_ = 0; break;
      case FYET_SEQUENCE_START:
      case FYET_MAPPING_START:
        if (open_ > max_depth) return error("nesting deeper than 512 levels");
        ++open_;
        break;
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END:
        if (open_ > 0) --open_;
        break;
      default: break;
    }
    const fy_mark* m = fy_event_start_mark(e);
    event_start_ = m;
    if (!m) return true;
    if (m->line != line_) {
      line_ = m->line;
      line_events_ = 0;
    }
    if (++line_events_ > line_events_bound_) return error("too many values on one line", m);
    return true;
  }

  bool key_position() const { return !stack_.empty() && stack_.back().is_map && !stack_.back().has_key; }

  bool check_depth(std::uint64_t height) {
    if (stack_.size() + height > max_depth) return error("nesting deeper than 512 levels");
    return true;
  }

  bool start(bool is_map, fy_token* anchor) {
    if (key_position()) return error("complex mapping keys are not supported");
    if (!check_depth(0)) return false;
    ++own_nodes_;
    Frame& f = stack_.emplace_back();
    f.is_map = is_map;
    f.base = is_map ? members_.size() : items_.size();
    if (anchor) f.anchor = token_text(anchor);
    return true;
  }

  bool end() {
    Frame& f = stack_.back();
    Value v;
    if (f.is_map) {
      v.become_object(arena_list(members_, f.base, arena_));
      notes_.pop_to(f.base);
    } else {
      v.become_array(arena_list(items_, f.base, arena_));
    }
    const std::uint64_t nodes = f.nodes, bytes = f.bytes, height = f.height;
    if (!f.anchor.empty()) {
      Node n;
      n.value = Shared(v);
      n.nodes = nodes;
      n.bytes = bytes;
      n.height = height;
      if (!remember(std::move(f.anchor), std::move(n))) return false;
    }
    stack_.pop_back();
    return deliver(std::move(v), nodes, bytes, height);
  }

  bool scalar(fy_event* e) {
    if (!check_depth(0)) return false;
    ++own_nodes_;
    fy_token* token = e->scalar.value;
    const auto style = fy_token_scalar_style(token);
    const bool plain = style == FYSS_PLAIN;
    std::string_view text;
    if (!scalar_text(token, style, text)) return false;
    std::string_view out = text;
    ScalarKind kind = ScalarKind::String;
    Value v;
    if (e->scalar.tag || (plain && may_not_be_string(text))) {
      std::string_view tag = token_text(e->scalar.tag);
      resolved_.made.clear();
      if (!resolve_scalar(text, plain, tag, resolved_)) return error("invalid value");
      // A text written anew is kept in the arena: values and keys refer to it.
      out = resolved_.text;
      if (!resolved_.made.empty() && out.data() == resolved_.made.data()) out = keep(out);
      kind = resolved_.kind;
      if (resolved_.value == Kind::Bool)
        v = Value::boolean(resolved_.truth);
      else if (resolved_.value != Kind::Null)
        new (&v) Value(resolved_.value, out, Value::borrow);
    } else {
      // Quoted, block and plain text that no other form could start: a string.
      new (&v) Value(Kind::String, text, Value::borrow);
    }
    const std::string_view key = kind == ScalarKind::Null   ? std::string_view("null")
                                 : kind == ScalarKind::Bool ? std::string_view(resolved_.truth ? "true" : "false")
                                 : kind == ScalarKind::Real ? text
                                                            : out;
    const std::string_view anchor = token_text(e->scalar.anchor);
    const bool as_key = key_position();
    if (!anchor.empty()) {
      Node n;
      n.value = Shared(v);
      n.bytes = text.size();
      n.scalar = true;
      n.kind = kind;
      n.key = key;
      if (kind == ScalarKind::Real) n.identity = real_identity(text);
      if (!remember(std::string(anchor), std::move(n))) return false;
    }
    if (as_key) {
      Frame& f = stack_.back();
      f.bytes += text.size();
      f.height = std::max<std::uint64_t>(f.height, 1);
      ++f.nodes;
      f.has_key = true;
      f.key.text = key;
      f.key.kind = kind;
      if (kind == ScalarKind::Real) f.key.identity = real_identity(text);
      f.key.where = scalar_mark(style);
      return true;
    }
    return deliver(std::move(v), 1, text.size(), 0);
  }

  // `text` copied into the arena.
  std::string_view keep(std::string_view text) {
    char* p = arena_.allocate_array<char>(text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    return {p, text.size()};
  }

  // Whether `p` points into the text.
  bool in_text(const char* p) const { return p >= text_.data() && p <= text_.data() + text_.size(); }

  // A scalar's value, in storage that outlives the tree: the text itself where
  // the value is its source unchanged (a scalar on one line without escapes or
  // doubled quotes), else the library's formatting of it or, for a
  // single-quoted scalar, this reader's, kept in the arena.
  bool scalar_text(fy_token* token, fy_scalar_style style, std::string_view& out) {
    const fy_mark* from = fy_token_start_mark(token);
    const fy_mark* to = fy_token_end_mark(token);
    const bool spanned = from && to && from->input_pos <= to->input_pos && to->input_pos <= text_.size();
    const std::string_view span =
        spanned ? text_.substr(from->input_pos, to->input_pos - from->input_pos) : std::string_view();
    if (spanned) {
      // The library counts a line at every line break it folds.
      if (from->line == to->line) {
        if (style == FYSS_PLAIN) return out = span, true;
        const char escape = style == FYSS_DOUBLE_QUOTED ? '\\' : style == FYSS_SINGLE_QUOTED ? '\'' : 0;
        if (escape && std::memchr(span.data(), escape, span.size()) == nullptr) return out = span, true;
      }
      if (!charge_blank_runs(span, from)) return false;
    }
    if (style == FYSS_SINGLE_QUOTED && spanned) {
      out = keep(single_quoted(span));
      return true;
    }
    if (style == FYSS_DOUBLE_QUOTED && spanned && decodes_double_quoted(span)) {
      out = keep(double_quoted(span));
      return true;
    }
    std::string_view text = token_text(token);
    if (!in_text(text.data())) {
      if (style != FYSS_PLAIN && !utf8::valid(text)) return error("invalid value");
      text = keep(text);
    }
    out = text;
    return true;
  }

  // Charges the runs of empty or blank lines in a scalar's source before the
  // library formats its text: each run costs its lines times its bytes.
  bool charge_blank_runs(std::string_view span, const fy_mark* from) {
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
      return error("too many empty lines inside values", from);
    return true;
  }

  // Where a scalar starts: the parser marks a quoted scalar's content, so step back over the quote.
  fy_mark scalar_mark(fy_scalar_style style) const {
    const fy_mark* m = event_start_;
    if (!m) return fy_mark{};
    fy_mark mark = *m;
    if ((style == FYSS_SINGLE_QUOTED || style == FYSS_DOUBLE_QUOTED) && mark.input_pos > 0 && mark.column > 0) {
      --mark.input_pos;
      --mark.column;
    }
    return mark;
  }

  bool alias(fy_event* e) {
    auto found = anchors_.find(std::string(token_text(e->alias.anchor)));
    if (found == anchors_.end()) return error("unresolved alias");
    const Node& a = found->second;
    const bool as_key = key_position();
    if (as_key && !a.scalar) return error("complex mapping keys are not supported");
    if (!check_depth(a.height)) return false;
    if (!charge(a.nodes, a.bytes)) return false;
    if (as_key) {
      Frame& f = stack_.back();
      f.nodes += a.nodes;
      f.bytes += a.bytes;
      f.height = std::max(f.height, a.height + 1);
      f.has_key = true;
      f.key.text = a.key;
      f.key.kind = a.kind;
      f.key.identity = a.identity;
      f.key.where = event_start_ ? *event_start_ : fy_mark{};
      return true;
    }
    return deliver(Shared::share(a.value.get()), a.nodes, a.bytes, a.height);
  }

  // Anchored nodes are kept for later aliases.
  bool remember(std::string anchor, Node n) {
    if (!charge(n.nodes, n.bytes)) return false;
    anchors_.insert_or_assign(std::move(anchor), std::move(n));
    return true;
  }

  // Every copy made for an anchor or an alias counts, in nodes and in text bytes, so that
  // neither many aliases of a long string nor nested anchors can outgrow the text.
  bool charge(std::uint64_t nodes, std::uint64_t bytes) {
    copied_nodes_ += nodes;
    copied_bytes_ += bytes;
    if (copied_nodes_ > std::max(alias_floor, alias_factor * own_nodes_) ||
        copied_bytes_ > std::max(alias_bytes_floor, alias_factor * text_.size()))
      return error("alias expansion too large");
    return true;
  }

  // A value composed: a document, an item, or the value of the pending key.
  bool deliver(Value&& v, std::uint64_t nodes, std::uint64_t bytes, std::uint64_t height) {
    if (stack_.empty()) {
      items_.emplace_back(std::move(v));
      return true;
    }
    Frame& f = stack_.back();
    f.nodes += nodes;
    f.bytes += bytes;
    f.height = std::max(f.height, height + 1);
    if (!f.is_map) {
      items_.emplace_back(std::move(v));
      return true;
    }
    f.has_key = false;
    return insert(f, std::move(v));
  }

  // The pair of the pending key and `v`. Keys of one kind and value repeat;
  // keys of different kinds and the same text merge.
  bool insert(Frame& f, Value&& v) {
    const Pending& k = f.key;
    const auto bit = static_cast<std::uint8_t>(k.kind);
    if (k.kind == ScalarKind::Real) {
      if (!f.lookup) f.lookup = std::make_unique<Lookup>();
      if (!f.lookup->reals.insert(k.identity).second) return error("duplicate mapping key", &k.where);
    }
    const std::size_t n = notes_.size() - f.base;
    const bool indexed = f.lookup && !f.lookup->index.empty();
    std::size_t i = n;
    if (indexed) {
      auto it = f.lookup->index.find(k.text);
      if (it != f.lookup->index.end()) i = it->second;
    } else {
      KeyNote* notes = notes_.begin() + f.base;
      for (std::size_t j = 0; j < n; ++j)
        if (same_short_text(notes[j].text, k.text)) {
          i = j;
          break;
        }
    }
    if (i < n) {
      KeyNote& note = notes_.begin()[f.base + i];
      if (note.kinds & bit) return error("duplicate mapping key", &k.where);
      note.kinds |= bit;
      // Built over the value it replaces, which is not destroyed: an alias may share its lists.
      new (&members_.begin()[f.base + i].value) Value(std::move(v));
      return true;
    }
    members_.emplace_back(Member{Key(k.text, Value::borrow), std::move(v)});
    notes_.emplace_back(KeyNote{k.text, bit});
    if (indexed) {
      f.lookup->index.emplace(k.text, n);
    } else if (n + 1 == index_threshold) {
      if (!f.lookup) f.lookup = std::make_unique<Lookup>();
      f.lookup->index.reserve(index_threshold * 2);
      const KeyNote* notes = notes_.begin() + f.base;
      for (std::size_t j = 0; j <= n; ++j) f.lookup->index.emplace(notes[j].text, j);
    }
    return true;
  }

  std::string_view text_;
  bool lenient_flow_end_ = false;
  Arena& arena_;
  std::string error_;
  std::string library_message_;
  Resolved resolved_;
  fy_mark parsed_to_{};
  std::unique_ptr<fy_diag, DiagDeleter> diag_;
  std::unique_ptr<fy_parser, ParserDeleter> parser_;
  std::vector<Frame> stack_;
  Scratch<Value> items_;  // the documents, then the items of the open sequences
  Scratch<Member> members_;
  Scratch<KeyNote> notes_;  // one per member
  std::unordered_map<std::string, Node> anchors_;
  const std::uint64_t line_events_bound_;
  const fy_mark* event_start_ = nullptr;  // where the event at hand starts, if it says
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
// bound, if any. Outside brackets and quotes only brackets and line feeds
// matter, so blocks of text without brackets are skipped whole.
std::optional<std::string> crowded_flow_line(std::string_view text) {
  const std::uint64_t bound = std::max(line_events_floor, text.size() / line_event_bytes);
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t open = 0, on_line = 0;
  char quote = 0;
  std::size_t i = 0;
  while (i < n) {
#ifdef __SSE2__
    if (open == 0 && quote == 0 && i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i brackets =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')), _mm_cmpeq_epi8(v, _mm_set1_epi8(']'))),
                       _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('{')), _mm_cmpeq_epi8(v, _mm_set1_epi8('}'))));
      if (_mm_movemask_epi8(brackets) == 0) {
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))) != 0) on_line = 0;
        i += 16;
        continue;
      }
    }
#endif
    const char c = p[i++];
    if (c == '\n') {
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
    if (++on_line > bound) {
      const std::size_t at = i - 1;
      const std::size_t last_break = text.rfind('\n', at);
      const std::size_t line_start = last_break == std::string_view::npos ? 0 : last_break + 1;
      const auto line = static_cast<long>(std::count(p, p + at, '\n')) + 1;
      return position(at, line, static_cast<long>(utf8::count(text.substr(line_start, at - line_start)) + 1));
    }
  }
  return std::nullopt;
}

// Strict first: a text whose first library error is a closing bracket or brace under its key
// is read again with the library's lenient flow indentation. That mode also lets flow content
// dedent, so dedented content is refused unless a closing bracket under its key comes first.
Result<json::Tree> read(std::string_view text, Arena& arena, bool fast) {
  // Calls check their texts first; this guards other callers, since the
  // library can loop forever on some invalid bytes (in a %TAG directive).
  if (!utf8::valid(text)) return fail("text is not valid UTF-8");
  if (auto line = crowded_flow_line(text)) return fail("too many values on one line" + *line);
  if (fast) {
    // The plainest block texts are read without the library, to the same tree.
    Value root;
    if (yaml_fast::read(text, arena, root)) return json::Tree(std::move(root));
  }
  Composer strict(text, false, arena);
  auto result = strict.run();
  if (!result && strict.failed_on_flow_end()) result = Composer(text, true, arena).run();
  if (!result) return fail(std::move(result).error());
  return json::Tree(std::move(result).value());
}

}  // namespace

Result<json::Tree> parse(std::string_view text, Arena& arena) { return read(text, arena, true); }

Result<json::Tree> parse_composed(std::string_view text, Arena& arena) { return read(text, arena, false); }

Result<Value> parse(std::string_view text) {
  Arena arena;
  auto tree = parse(text, arena);
  if (!tree) return fail(std::move(tree).error());
  return Value(tree->root());
}

}  // namespace tavisk::yaml_in
