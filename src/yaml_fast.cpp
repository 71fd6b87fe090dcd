#include "yaml_fast.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "scratch.h"
#include "utf8.h"
#include "yaml_in.h"
#include "yaml_scalar.h"

// The forms read here, each exactly as the YAML library and the composer read
// them; anything else declines the whole text:
// - documents of one block mapping or sequence each, indented by spaces only,
//   with empty lines and whole-line comments between; a "---" line (a comment
//   may follow it) starts each but the first, and may start the first; an
//   empty document, "..." and directives decline;
// - "key: value", "key:" with its value on the more indented lines after it (a
//   sequence may also sit at the key's own column) or none (null);
// - "- value", "-" likewise, and "- key: value" opening a mapping whose further
//   keys stand in the first one's column;
// - a comment after the content of any line, its '#' after a space;
// - scalars on one line: plain ones without ": ", " #" or a trailing ':' and
//   not starting with an indicator, single-quoted ones, double-quoted ones
//   whose escapes are JSON's (but for \u0000 and surrogates). A plain value
//   may go on over more indented lines, up to an empty line or a comment. A
//   key that resolves to a real or repeats in its mapping is left to the
//   composer, which merges or refuses it;
// - flow sequences and mappings that end on their line, of such scalars (no
//   ':' or '#' in plain ones) and empty "[]" and "{}", "key: value" pairs in
//   a mapping; no empty entry or trailing comma;
// - literal and folded block scalars with their chomping and indentation
//   indicators, on lines of their own that end in a line break. Declined: one
//   without such lines, a blank line longer than its indentation, and, folded,
//   empty lines between a line and a more indented one, where the library
//   loses a line break.
// Any other line more indented than its place allows declines the text.
namespace tavisk::yaml_fast {

namespace {

using yaml_in::Resolved;
using yaml_in::ScalarKind;

// Open collections kept before a text is left to the composer: inside its bound.
constexpr std::size_t depth_bound = yaml_in::max_depth - 8;

// Longest key read here; the library bounds a key on one line at 1024 characters.
constexpr std::size_t key_bound = 1000;

// Mappings with more members than this find repeated keys through a hash table.
constexpr std::size_t scan_keys_up_to = 16;

bool line_end(const char* p, const char* end) { return p == end || *p == '\n'; }

// The end of the line at `p`.
const char* end_of_line(const char* p, const char* end) {
  const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
  return lf ? static_cast<const char*>(lf) : end;
}

// Moves `p` past spaces and, if a comment follows them, to the line's end:
// whether the line ends there. A comment needs white space before its '#'.
bool skip_blank(const char*& p, const char* end) {
  while (p < end && *p == ' ') ++p;
  if (p < end && *p == '#' && p[-1] == ' ') p = end_of_line(p, end);
  return line_end(p, end);
}

// Whether the rest of the line at `p`, past spaces, is empty or a comment; `p`
// ends at the line's end if so. A comment needs white space before its '#'.
bool rest_empty(const char*& p, const char* end) {
  const char* q = p;
  while (q < end && *q == ' ') ++q;
  if (q < end && *q == '#' && q > p) q = end_of_line(q, end);
  if (!line_end(q, end)) return false;
  p = q;
  return true;
}

// A block sequence's entry indicator: '-' before a space or the line's end.
bool dash_at(const char* p, const char* end) { return *p == '-' && (line_end(p + 1, end) || p[1] == ' '); }

// Whether a byte the scan below flags leaves the text to the composer: a
// control character other than a line feed (tabs and carriage returns among
// them), DEL, a C1 control (NEL among them), a line or paragraph separator, a
// byte order mark or a non-character. The text is valid UTF-8.
bool unsafe_at(const char* p, const char* end) {
  const auto c = static_cast<unsigned char>(*p);
  if (c == '\n') return false;
  if (c < 0x20 || c == 0x7F) return true;
  const auto at = [&](std::ptrdiff_t k) { return k < end - p ? static_cast<unsigned char>(p[k]) : 0u; };
  if (c == 0xC2) return at(1) < 0xA0;
  if (c == 0xE2) return at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9);
  if (c == 0xEF) return (at(1) == 0xBB && at(2) == 0xBF) || (at(1) == 0xBF && at(2) >= 0xBE);
  return false;
}

bool safe_bytes(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
#ifdef __SSE2__
  const __m128i low = _mm_set1_epi8(0x1F);
  const __m128i lf = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i m = _mm_andnot_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(_mm_min_epu8(v, low), v));
    m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xC2)))));
    m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE2))),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xEF)))));
    for (unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(m)); bits; bits &= bits - 1)
      if (unsafe_at(p + __builtin_ctz(bits), end)) return false;
    p += 16;
  }
#endif
  for (; p < end; ++p)
    if (unsafe_at(p, end)) return false;
  return true;
}

// The first of `a`, `b` or a line feed at or after `p`, or `end`.
const char* find_stop(const char* p, const char* end, char a, char b) {
#ifdef __SSE2__
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), lf = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)), _mm_cmpeq_epi8(v, lf));
    if (const int bits = _mm_movemask_epi8(m)) return p + __builtin_ctz(static_cast<unsigned>(bits));
    p += 16;
  }
#endif
  while (p < end && *p != a && *p != b && *p != '\n') ++p;
  return p;
}

// Whether a plain scalar may start at `p` (not at a line's end): not with an
// indicator, nor with '?' or ':' at all, nor with '-' before a space.
bool plain_start(const char* p, const char* end) {
  if (*p == '-') return !line_end(p + 1, end) && p[1] != ' ';
  return *p != ' ' && !yaml_in::indicator(static_cast<unsigned char>(*p));
}

// A scalar's source on its line: its text, whether it is plain, and whether
// a comment follows it on the line.
struct Scalar {
  std::string_view text;
  bool plain = true;
  bool comment = false;
};

// An open mapping or sequence; its children sit on the reader's stacks from `base` on.
struct Frame {
  std::size_t base = 0;
  std::size_t indent = 0;  // the column of its keys or dashes
  std::string_view key;    // a mapping's key awaiting its value
  bool is_map = false;
  bool awaiting = false;    // a value (a key's, or an item) on later lines, or none
  bool indentless = false;  // a sequence in its key's column
};

class Reader {
 public:
  Reader(std::string_view text, Arena& arena) : begin_(text.data()), end_(text.data() + text.size()), arena_(arena) {}

  bool run(Value& out) {
    const char* p = begin_;
    bool marked = false;  // a document start marker since the last document ended
    while (p < end_) {
      line_ = p;
      while (p < end_ && *p == ' ') ++p;
      if (p < end_ && *p != '\n' && *p != '#') {
        if (p == line_ && end_ - p >= 3 && (std::memcmp(p, "---", 3) == 0 || std::memcmp(p, "...", 3) == 0)) {
          // A start marker alone on its line (but for a comment) ends the
          // document before it, which must not be empty. End markers, and a
          // document on the marker's line, are the composer's.
          p += 3;
          if (*line_ == '.' || !rest_empty(p, end_)) return false;
          if (opened_ ? !end_document() : marked) return false;
          marked = true;
        } else if (!line_at(static_cast<std::size_t>(p - line_), p)) {
          return false;
        }
      }
      const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
      p = lf ? static_cast<const char*>(lf) + 1 : end_;
    }
    if (!opened_ || !end_document()) return false;
    // One document is the value; several make a sequence, as the composer has them.
    if (items_.size() == 1)
      out = std::move(items_.begin()[0]);
    else
      out.become_array(arena_list(items_, 0, arena_));
    items_.pop_to(0);
    return true;
  }

 private:
  // A line whose content, at column `col`, starts at `p`; `p` ends on the line's end.
  bool line_at(std::size_t col, const char*& p) {
    const bool dash = dash_at(p, end_);
    if (frames_.empty()) {
      if (opened_) return false;
      opened_ = true;
      if (!open(!dash, col)) return false;
    } else if (frames_.back().awaiting &&
               (col > frames_.back().indent || (frames_.back().is_map && col == frames_.back().indent && dash))) {
      if (!open(!dash, col)) return false;
    } else {
      if (frames_.back().awaiting && !deliver_null()) return false;
      // Less indented lines close collections; a sequence at its key's column ends at the next key.
      while (!frames_.empty() &&
             (frames_.back().indent > col || (!frames_.back().is_map && frames_.back().indent == col && !dash)))
        if (!close()) return false;
      if (frames_.empty() || frames_.back().indent != col || frames_.back().is_map == dash) return false;
    }
    if (frames_.back().is_map) return entry(p);
    // An item: empty, a scalar, or a mapping's first pair.
    ++p;
    if (skip_blank(p, end_)) {
      frames_.back().awaiting = true;
      return true;
    }
    if (dash_at(p, end_)) return false;
    if (Value v; flow(p, v) || block_scalar(p, v)) {
      if (v.is_null()) return false;
      items_.emplace_back(std::move(v));
      return true;
    }
    const char* start = p;
    Scalar s;
    bool key = false;
    if (!scan(p, true, s, key)) return false;
    if (!key) {
      if (s.plain && !s.comment && !continued(p, s)) return false;
      items_.emplace_back(value(s));
      return true;
    }
    if (!open(true, static_cast<std::size_t>(start - line_))) return false;
    return pair(s, p);
  }

  // A mapping's "key: value" or "key:" at `p`.
  bool entry(const char*& p) {
    Scalar k;
    bool key = false;
    if (!scan(p, true, k, key) || !key) return false;
    return pair(k, p);
  }

  // The pair of key `k` and what follows its colon at `p`.
  bool pair(const Scalar& k, const char*& p) {
    std::string_view key;
    if (!key_text(k, key)) return false;
    frames_.back().key = key;
    if (skip_blank(p, end_)) {
      frames_.back().awaiting = true;
      return true;
    }
    if (Value v; flow(p, v) || block_scalar(p, v)) {
      if (v.is_null()) return false;
      members_.emplace_back(Member{Key(key, Value::borrow), std::move(v)});
      return true;
    }
    Scalar v;
    bool is_key = false;
    if (!scan(p, false, v, is_key)) return false;
    if (v.plain && !v.comment && !continued(p, v)) return false;
    members_.emplace_back(Member{Key(key, Value::borrow), value(v)});
    return true;
  }

  // A flow sequence or mapping that ends on its line, of scalars on it ("[a,
  // 'b']", "{k: v, j: []}"), as writers put short lists; then nothing but a
  // comment (`p` ends at the line's end). True when `p` starts one, with `v`
  // left null when it is not one read here: nested collections other than
  // empty ones, empty entries, a trailing comma, a plain scalar with ':' or
  // '#', a key without ": ", or one on more lines.
  bool flow(const char*& p, Value& v) {
    if (*p != '[' && *p != '{') return false;
    const bool is_map = *p == '{';
    const char closer = is_map ? '}' : ']';
    const std::size_t base = is_map ? members_.size() : items_.size();
    const char* q = p + 1;
    while (q < end_ && *q == ' ') ++q;
    bool ok = q < end_ && *q == closer;
    while (!ok) {
      Value item;
      std::string_view key;
      if (is_map) {
        Scalar k;
        if (!flow_scalar(q, k, true) || !key_text(k, key) || end_ - q < 2 || q[0] != ':' || q[1] != ' ') break;
        q += 2;
        while (q < end_ && *q == ' ') ++q;
      }
      if (!empty_collection(q, item)) {
        Scalar s;
        if (!flow_scalar(q, s, false)) break;
        item = value(s);
      }
      if (is_map)
        members_.emplace_back(Member{Key(key, Value::borrow), std::move(item)});
      else
        items_.emplace_back(std::move(item));
      while (q < end_ && *q == ' ') ++q;
      if (q < end_ && *q == closer) {
        ok = true;
      } else if (q < end_ && *q == ',') {
        ++q;
        while (q < end_ && *q == ' ') ++q;
        if (q < end_ && *q == closer) break;
      } else {
        break;
      }
    }
    if (!ok || !rest_empty(++q, end_) || (is_map && !distinct_keys(base))) {
      if (is_map)
        members_.pop_to(base);
      else
        items_.pop_to(base);
      return true;
    }
    if (is_map)
      v.become_object(arena_list(members_, base, arena_));
    else
      v.become_array(arena_list(items_, base, arena_));
    p = q;
    return true;
  }

  // An empty flow sequence or mapping, "[]" or "{}", at `q` (`q` ends past it).
  bool empty_collection(const char*& q, Value& v) const {
    if (end_ - q < 2 || !((q[0] == '[' && q[1] == ']') || (q[0] == '{' && q[1] == '}'))) return false;
    if (*q == '[')
      v.become_array(Value::Array());
    else
      v.become_object(Value::Object());
    q += 2;
    return true;
  }

  // A scalar inside a flow collection, quoted or plain, at `q` (`q` ends
  // past it): a plain one ends before ',', ']', '}' or spaces before them,
  // or, as a key, before ": ", and holds no other ':' nor '#'.
  bool flow_scalar(const char*& q, Scalar& s, bool key) {
    if (line_end(q, end_)) return false;
    if (*q == '"' || *q == '\'') {
      const char* close = nullptr;
      if (!quoted(q, close, s.text)) return false;
      s.plain = false;
      q = close + 1;
      return true;
    }
    const auto flow_stop = [](char c) { return c == ',' || c == ']' || c == '}' || c == ' '; };
    if (*q == '-' ? q + 1 == end_ || flow_stop(q[1]) || q[1] == '\n' : !plain_start(q, end_)) return false;
    const char* r = q + 1;
    const char* e = r;
    for (; r < end_ && *r != ',' && *r != ']' && *r != '}'; ++r) {
      if (key && *r == ':' && e == r && end_ - r > 1 && r[1] == ' ') break;
      if (*r == '\n' || *r == ':' || *r == '#' || *r == '[' || *r == '{') return false;
      if (*r != ' ') e = r + 1;
    }
    s = {std::string_view(q, static_cast<std::size_t>(e - q)), true};
    q = e;
    return true;
  }

  // A block scalar, literal '|' or folded '>', from its header at `p` to its
  // last line's end (`p` ends there), its text written into the arena. True
  // when `p` starts a header, with `v` left null when the scalar is not one
  // read here: one without lines of its own, or whose last line ends the text
  // without a line break, or with a blank line longer than its indentation.
  bool block_scalar(const char*& p, Value& v) {
    if (*p != '|' && *p != '>') return false;
    const bool literal = *p == '|';
    const char* q = p + 1;
    char chomp = 0;  // '-' strips the final line break, '+' keeps the trailing empty lines too
    std::size_t indicator = 0;
    for (int i = 0; i < 2 && q < end_; ++i) {
      if ((*q == '-' || *q == '+') && !chomp)
        chomp = *q++;
      else if (*q >= '1' && *q <= '9' && !indicator)
        indicator = static_cast<std::size_t>(*q++ - '0');
    }
    if (!rest_empty(q, end_) || q == end_) return true;
    const std::size_t parent = frames_.back().indent;
    // Empty lines before the first, whose indentation is the scalar's unless an indicator sets it.
    const char* line = q + 1;
    std::size_t leading = 0, widest = 0, indent = 0;
    for (;;) {
      const char* r = line;
      while (r < end_ && *r == ' ') ++r;
      const auto spaces = static_cast<std::size_t>(r - line);
      if (r == end_) return true;
      if (*r != '\n') {
        indent = indicator ? parent + indicator : spaces;
        if (spaces < indent || indent <= parent || widest > indent) return true;
        break;
      }
      widest = std::max(widest, spaces);
      ++leading;
      line = r + 1;
    }
    std::string& out = fold_;
    out.assign(leading, '\n');
    std::uint64_t run_lines = leading, run_bytes = leading + widest * leading, cost = 0;
    std::size_t empties = 0;
    bool normal = true;  // the last line was not more indented
    const char* last = nullptr;  // the end of the last line with content
    for (;;) {
      const char* r = line;
      while (r < end_ && *r == ' ') ++r;
      const auto spaces = static_cast<std::size_t>(r - line);
      if (r == end_) {
        if (spaces > 0) return true;
        break;
      }
      if (*r == '\n') {
        if (spaces > indent) return true;
        ++empties;
        ++run_lines;
        run_bytes += spaces + 1;
        line = r + 1;
        continue;
      }
      if (spaces < indent) break;  // a less indented line is the next node's, or a comment
      const char* e = end_of_line(r, end_);
      if (e == end_) return true;
      cost += run_lines * run_bytes;
      run_lines = run_bytes = 0;
      if (last) {
        // Folding joins two lines that are not more indented with a space, or
        // with the empty lines between them alone; other breaks stay. The
        // library loses a break where empty lines lead from a line that is
        // not more indented to one that is.
        if (!literal && empties && normal && spaces > indent) return true;
        if (literal || !normal || spaces > indent)
          out.append(empties + 1, '\n');
        else if (empties)
          out.append(empties, '\n');
        else
          out += ' ';
      }
      normal = spaces == indent;
      out.append(line + indent, e);
      empties = 0;
      last = e;
      line = e + 1;
    }
    cost += run_lines * run_bytes;
    blank_runs_ += cost;
    if (blank_runs_ > std::max(yaml_in::blank_run_floor, yaml_in::blank_run_per_byte * (end_ - begin_))) return true;
    if (chomp != '-') out.append(chomp == '+' ? empties + 1 : 1, '\n');
    char* text = arena_.allocate_array<char>(out.size());
    std::memcpy(text, out.data(), out.size());
    v = Value(Kind::String, std::string_view(text, out.size()), Value::borrow);
    p = last;
    return true;
  }

  // Reads the scalar at `p` to its line's end (`p` ends there; a comment may
  // follow it) or, where `key_allowed`, to the colon that makes it a key (`p`
  // ends past it).
  bool scan(const char*& p, bool key_allowed, Scalar& s, bool& key) {
    const char* q = p;
    const char quote = *q;
    if (quote == '"' || quote == '\'') {
      const char* close = nullptr;
      if (!quoted(q, close, s.text)) return false;
      s.plain = false;
      q = close + 1;
      if (key_allowed && q < end_ && *q == ':' && (line_end(q + 1, end_) || q[1] == ' ')) {
        key = true;
        p = q + 1;
        return true;
      }
      if (!rest_empty(q, end_)) return false;
      key = false;
      p = q;
      return true;
    }
    if (!plain_start(q, end_)) return false;
    for (const char* r = q + 1;;) {
      r = find_stop(r, end_, ':', '#');
      if (line_end(r, end_)) {
        const char* e = r;
        while (e[-1] == ' ') --e;
        s = {std::string_view(q, static_cast<std::size_t>(e - q)), true};
        key = false;
        p = r;
        return true;
      }
      if (*r == '#') {
        if (r[-1] == ' ') {  // a comment, after the spaces that end the scalar
          const char* e = r;
          while (e[-1] == ' ') --e;
          s = {std::string_view(q, static_cast<std::size_t>(e - q)), true, true};
          key = false;
          p = end_of_line(r, end_);
          return true;
        }
      } else if (line_end(r + 1, end_) || r[1] == ' ') {
        if (!key_allowed || r[-1] == ' ') return false;
        s = {std::string_view(q, static_cast<std::size_t>(r - q)), true};
        key = true;
        p = r + 1;
        return true;
      }
      ++r;
    }
  }

  // The lines right after a plain value's first line that are more indented
  // than the collection holding it continue the value: each is folded onto the
  // text before it with one space, and the whole written into the arena. `p`
  // is at the end of the first line and ends at the end of the last one. An
  // empty or comment line ends the value; a continuation that starts with an
  // indicator, or that a single line would not take, declines the text.
  bool continued(const char*& p, Scalar& s) {
    const std::size_t indent = frames_.back().indent;
    bool folded = false;
    while (p < end_) {
      const char* line = p + 1;
      const char* q = line;
      while (q < end_ && *q == ' ') ++q;
      if (line_end(q, end_) || *q == '#' || static_cast<std::size_t>(q - line) <= indent) break;
      if (yaml_in::indicator(static_cast<unsigned char>(*q))) return false;
      Scalar more;
      bool key = false;
      if (!scan(q, false, more, key)) return false;
      if (!folded) fold_.assign(s.text);
      folded = true;
      fold_.append(1, ' ').append(more.text);
      p = q;
      if (more.comment) break;  // a comment ends the value
    }
    if (folded) {
      char* out = arena_.allocate_array<char>(fold_.size());
      std::memcpy(out, fold_.data(), fold_.size());
      s.text = std::string_view(out, fold_.size());
    }
    return true;
  }

  // A quoted scalar on one line, from its opening quote at `q`: `close` at its
  // closing quote, and its value in `text`, the source between the quotes or,
  // for doubled single quotes and escapes, its decoding written into the arena.
  bool quoted(const char* q, const char*& close, std::string_view& text) {
    const char quote = *q;
    const char* r = q + 1;
    bool decode = false;
    for (;;) {
      r = find_stop(r, end_, quote, quote == '"' ? '\\' : '\n');
      if (line_end(r, end_)) return false;
      if (*r == '\\') {
        const std::size_t n = escape_length(r);
        if (n == 0) return false;
        decode = true;
        r += n;
      } else if (quote == '\'' && end_ - r > 1 && r[1] == '\'') {
        decode = true;
        r += 2;
      } else {
        break;
      }
    }
    close = r;
    text = std::string_view(q + 1, static_cast<std::size_t>(r - q - 1));
    if (decode) text = decoded(text, quote);
    return true;
  }

  // The bytes of the escape at `r` that this reader decodes, or 0: \" \\ \/ \b
  // \f \n \r \t, and \u of a character other than NUL and the surrogates.
  std::size_t escape_length(const char* r) const {
    if (end_ - r < 2) return 0;
    switch (r[1]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't': return 2;
      case 'u': {
        const char32_t c = hex4(r + 2);
        return c != 0 && c != bad_hex && (c < 0xD800 || c > 0xDFFF) ? 6 : 0;
      }
      default: return 0;
    }
  }

  static constexpr char32_t bad_hex = 0x110000;

  // The four hex digits at `p`, or bad_hex.
  char32_t hex4(const char* p) const {
    if (end_ - p < 4) return bad_hex;
    char32_t c = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = p[i];
      const int d = h >= '0' && h <= '9'   ? h - '0'
                    : h >= 'a' && h <= 'f' ? h - 'a' + 10
                    : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                           : -1;
      if (d < 0) return bad_hex;
      c = c * 16 + static_cast<char32_t>(d);
    }
    return c;
  }

  // A quoted scalar's value from its checked source between the quotes, in the
  // arena: never longer than the source.
  std::string_view decoded(std::string_view raw, char quote) {
    char* out = arena_.allocate_array<char>(raw.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < raw.size();) {
      const char c = raw[i];
      if (quote == '\'' || c != '\\') {
        out[n++] = c;
        i += quote == '\'' && c == '\'' ? 2 : 1;
        continue;
      }
      const char e = raw[i + 1];
      i += 2;
      switch (e) {
        case 'b': out[n++] = '\b'; break;
        case 'f': out[n++] = '\f'; break;
        case 'n': out[n++] = '\n'; break;
        case 'r': out[n++] = '\r'; break;
        case 't': out[n++] = '\t'; break;
        case 'u':
          n += utf8::encode(hex4(raw.data() + i), out + n);
          i += 4;
          break;
        default: out[n++] = e;  // " \ /
      }
    }
    arena_.shrink_last(out, raw.size(), n);
    return {out, n};
  }

  // A key's text as the composer makes it: null and booleans by name, integers
  // as their decimal text. Reals, whose keys compare by value, are declined.
  bool key_text(const Scalar& k, std::string_view& key) {
    if (k.text.size() > key_bound) return false;
    if (k.plain && k.text.starts_with("<<")) return false;  // a merge key to some readers
    if (!k.plain || !yaml_in::may_not_be_string(k.text)) {
      key = k.text;
      return true;
    }
    resolve(k.text);
    switch (resolved_.kind) {
      case ScalarKind::Null: key = "null"; return true;
      case ScalarKind::Bool: key = resolved_.truth ? "true" : "false"; return true;
      case ScalarKind::Real: return false;
      default: key = resolved_text(); return true;
    }
  }

  // A scalar value as the composer makes it.
  Value value(const Scalar& s) {
    if (!s.plain || !yaml_in::may_not_be_string(s.text)) return Value(Kind::String, s.text, Value::borrow);
    resolve(s.text);
    if (resolved_.value == Kind::Bool) return Value::boolean(resolved_.truth);
    if (resolved_.value == Kind::Null) return Value();
    return Value(resolved_.value, resolved_text(), Value::borrow);
  }

  void resolve(std::string_view plain) {
    resolved_.made.clear();
    yaml_in::resolve_scalar(plain, true, {}, resolved_);
  }

  // The resolved text, kept in the arena when it was written anew.
  std::string_view resolved_text() {
    const std::string_view t = resolved_.text;
    if (resolved_.made.empty() || t.data() != resolved_.made.data()) return t;
    char* q = arena_.allocate_array<char>(t.size());
    std::memcpy(q, t.data(), t.size());
    return {q, t.size()};
  }

  bool open(bool is_map, std::size_t col) {
    if (frames_.size() >= depth_bound) return false;
    if (!frames_.empty()) frames_.back().awaiting = true;
    const bool indentless = !frames_.empty() && frames_.back().is_map && frames_.back().indent == col;
    Frame& f = frames_.emplace_back();
    f.indentless = indentless;
    f.base = is_map ? members_.size() : items_.size();
    f.indent = col;
    f.is_map = is_map;
    return true;
  }

  bool close() {
    const Frame f = frames_.back();
    frames_.pop_back();
    Value v;
    if (f.is_map) {
      if (!distinct_keys(f.base)) return false;
      v.become_object(arena_list(members_, f.base, arena_));
    } else {
      v.become_array(arena_list(items_, f.base, arena_));
    }
    deliver(std::move(v));
    return true;
  }

  // An empty value. The library refuses an empty item in a sequence in its key's column.
  bool deliver_null() {
    if (frames_.back().indentless) return false;
    deliver(Value());
    return true;
  }

  // The document at hand, its open collections closed, below every collection's children.
  bool end_document() {
    if (frames_.back().awaiting && !deliver_null()) return false;
    while (!frames_.empty())
      if (!close()) return false;
    opened_ = false;
    return true;
  }

  // A value composed: a document, an item, or the value of the awaiting key.
  void deliver(Value&& v) {
    if (frames_.empty()) {
      items_.emplace_back(std::move(v));
      return;
    }
    Frame& f = frames_.back();
    f.awaiting = false;
    if (f.is_map)
      members_.emplace_back(Member{Key(f.key, Value::borrow), std::move(v)});
    else
      items_.emplace_back(std::move(v));
  }

  // Whether the members from `base` on have distinct keys.
  bool distinct_keys(std::size_t base) {
    const Member* m = members_.begin() + base;
    const std::size_t n = members_.size() - base;
    if (n <= scan_keys_up_to) {
      for (std::size_t i = 1; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j)
          if (same_key(m[i].key, m[j].key)) return false;
      return true;
    }
    std::size_t size = 64;
    while (size < 2 * n) size *= 2;
    slots_.assign(size, UINT32_MAX);
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t s = std::hash<std::string_view>{}(m[i].key.view()) & (size - 1);
      for (; slots_[s] != UINT32_MAX; s = (s + 1) & (size - 1))
        if (same_key(m[slots_[s]].key, m[i].key)) return false;
      slots_[s] = static_cast<std::uint32_t>(i);
    }
    return true;
  }

  const char* begin_;
  const char* end_;
  const char* line_ = nullptr;  // where the line at hand starts
  Arena& arena_;
  bool opened_ = false;
  std::vector<Frame> frames_;
  Scratch<Value> items_;
  Scratch<Member> members_;
  std::vector<std::uint32_t> slots_;
  Resolved resolved_;
  std::string fold_;  // a plain value continued on more lines, or a block scalar
  std::uint64_t blank_runs_ = 0;  // the composer's measure of the block scalars' empty lines
};

}  // namespace

bool read(std::string_view text, Arena& arena, Value& out) {
  if (text.empty() || text.size() >= UINT32_MAX || !safe_bytes(text)) return false;
  // Built in an arena of its own, which a declined text gives back at once
  // (one declined near the end would otherwise hold a whole tree unused).
  Arena trial;
  Reader reader(text, trial);
  if (!reader.run(out)) return false;
  arena.absorb(trial);
  return true;
}

}  // namespace tavisk::yaml_fast
