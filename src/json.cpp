#include "json.h"

#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <iterator>
#include <memory>
#include <vector>

#include "scratch.h"
#include "text_facts.h"
#include "utf8.h"

namespace tavisk::json {

std::string ParseError::text() const {
  return message + " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

namespace {

// White space as a bit set over the bytes up to ' ': one compare and one bit test.
constexpr std::uint64_t ws_bits = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
bool is_ws(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= ' ' && ((ws_bits >> u) & 1u) != 0;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Where the run of white space, or of digits, starting at `from` ends:
// sixteen bytes at a time, then byte by byte.
std::size_t ws_end(std::string_view s, std::size_t from) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = from;
  const std::size_t n = s.size();
#ifdef __SSE2__
  const __m128i space = _mm_set1_epi8(' '), lf = _mm_set1_epi8('\n'), tab = _mm_set1_epi8('\t'),
                cr = _mm_set1_epi8('\r');
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, lf)),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, cr)));
    const auto other = static_cast<unsigned>(_mm_movemask_epi8(ws)) ^ 0xFFFFu;
    if (other) return i + static_cast<std::size_t>(__builtin_ctz(other));
    i += 16;
  }
#endif
  while (i < n && is_ws(static_cast<char>(p[i]))) ++i;
  return i;
}

std::size_t digits_end(std::string_view s, std::size_t from) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = from;
  const std::size_t n = s.size();
#ifdef __SSE2__
  // A byte is a digit when it minus '0' is below 10 unsigned (signed compare
  // with the high bit flipped).
  const __m128i zero = _mm_set1_epi8('0'), flip = _mm_set1_epi8(static_cast<char>(0x80)),
                ten = _mm_set1_epi8(static_cast<char>(10 ^ 0x80));
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i digit = _mm_cmplt_epi8(_mm_xor_si128(_mm_sub_epi8(v, zero), flip), ten);
    const auto other = static_cast<unsigned>(_mm_movemask_epi8(digit)) ^ 0xFFFFu;
    if (other) return i + static_cast<std::size_t>(__builtin_ctz(other));
    i += 16;
  }
#endif
  while (i < n && is_digit(static_cast<char>(p[i]))) ++i;
  return i;
}

#ifdef __SSE2__
// Bits of the sixteen bytes at `p` that end a plain run of a string literal:
// '"', '\\' and the bytes below 0x20 (a signed compare with the high bit
// flipped to make it unsigned).
unsigned string_stops(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80)), space = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
  const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_cmplt_epi8(_mm_xor_si128(v, flip), space));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Bits of the sixteen bytes at `p` that are not ASCII.
unsigned high_bits(const unsigned char* p) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

// string_stops and the bytes that are not ASCII (a signed compare: those are
// the negative bytes), for the one-block reads, which take ASCII texts only.
unsigned ascii_stops(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Bits of the sixteen bytes at `p` that are ASCII digits.
unsigned digit_bits(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i zero = _mm_set1_epi8('0'), flip = _mm_set1_epi8(static_cast<char>(0x80)),
                ten = _mm_set1_epi8(static_cast<char>(10 ^ 0x80));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_xor_si128(_mm_sub_epi8(v, zero), flip), ten)));
}
#endif

// Bytes of a string literal from which the reader finds its text's facts
// (text_facts.h) while reading it, for the size measure and fitting to use.
constexpr std::size_t facts_from = 256;

// Room a decoding buffer needs past the decoded text (see copy_run).
constexpr std::size_t copy_slack = 16;

class Parser {
 public:
  Parser(std::string_view text, Arena* arena) : s_(text), arena_(arena) {}

  Result<Value, ParseError> run() {
    skip_ws();
    if (!value(0, Slot::Root)) return fail(std::move(error_));
    skip_ws();
    if (pos_ < s_.size()) {
      err("unexpected trailing characters");
      return fail(std::move(error_));
    }
    return std::move(root_);
  }

 private:
  // Most tokens follow no white space or a single byte of it; longer runs
  // (line feed and indentation) are skipped a block at a time.
  void skip_ws() {
    const std::size_t n = s_.size();
    if (pos_ >= n || !is_ws(s_[pos_])) return;
    ++pos_;
    if (pos_ < n && is_ws(s_[pos_])) pos_ = ws_end(s_, pos_ + 1);
  }

  bool err(const char* message) {
    std::size_t p = pos_ < s_.size() ? pos_ : s_.size();
    std::string_view before = s_.substr(0, p);
    std::uint64_t lines = 0;
    std::size_t last_lf = std::string_view::npos;
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (before[i] == '\n') {
        ++lines;
        last_lf = i;
      }
    }
    std::string_view last_line = last_lf == std::string_view::npos ? before : before.substr(last_lf + 1);
    error_ = ParseError{message, 1 + lines, 1 + utf8::count(last_line)};
    return false;
  }

  // Where a value being parsed goes: the root, or the top of a scratch stack.
  // A slot is looked up again after a container's children are parsed, since
  // growing a stack moves its elements.
  enum class Slot : std::uint8_t { Root, Item, Member };

  Value& slot_value(Slot s) {
    switch (s) {
      case Slot::Item: return items_.back();
      case Slot::Member: return members_.back().value;
      default: return root_;
    }
  }

  // Parses one value into its slot, which holds null.
  bool value(std::uint64_t depth, Slot slot) {
    if (depth > max_depth) return err("nesting too deep");
    if (pos_ >= s_.size()) return err("unexpected end of input");
    char c = s_[pos_];
    switch (c) {
      case '"': return string_value(slot_value(slot));
      case '[': return array(depth, slot);
      case '{': return object(depth, slot);
      case 't': return literal("true", slot_value(slot), Value::boolean(true));
      case 'f': return literal("false", slot_value(slot), Value::boolean(false));
      case 'n': return literal("null", slot_value(slot), Value::null());
      default:
        if (c == '-' || is_digit(c)) return number(slot_value(slot));
        return err("unexpected character");
    }
  }

  // An item or member value: strings and numbers, the most common, are read
  // without the general dispatch. `out` is the slot's value, stable while a
  // scalar is read.
  [[gnu::always_inline]] bool child(std::uint64_t depth, Slot slot, Value& out) {
    if (depth <= max_depth && pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '"') return string_value(out);
      if (c == '-' || is_digit(c)) return number(out);
    }
    return value(depth, slot);
  }

  // Steps over `c` if it comes next, after any white space; on false, the
  // white space is behind.
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    skip_ws();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool literal(std::string_view word, Value& out, Value v) {
    if (s_.size() - pos_ < word.size() || std::memcmp(s_.data() + pos_, word.data(), word.size()) != 0)
      return err("invalid literal");
    pos_ += word.size();
    out = std::move(v);
    return true;
  }

  bool digits() {
    const std::size_t start = pos_;
    pos_ = digits_end(s_, pos_);
    return pos_ > start;
  }

  [[gnu::always_inline]] bool number(Value& out) {
#ifdef __SSE2__
    // Most numbers are short integers or decimals: one block of digit bits
    // checks and measures them. Anything else (an exponent, a leading zero
    // before a digit, an error, a number running past the block) takes the
    // general path below.
    if (s_.size() - pos_ >= 16) {
      const auto* p = bytes() + pos_;
      const unsigned not_digit = ~digit_bits(p);  // bits 16 and up set: every scan below stops by 16
      const unsigned sign = p[0] == '-';
      unsigned end = sign + static_cast<unsigned>(__builtin_ctz(not_digit >> sign));
      bool plain = end > sign && end < 16 && (p[sign] != '0' || end == sign + 1);
      if (plain && p[end] == '.') {
        const unsigned fraction = end + 1;
        end = fraction + static_cast<unsigned>(__builtin_ctz(not_digit >> fraction));
        plain = end > fraction && end < 16;
      }
      if (plain && (p[end] | 0x20) != 'e') {
        if (end <= Value::inline_capacity)
          new (&out) Value(Kind::Number, reinterpret_cast<const char*>(p), end, Value::padded);
        else
          set_text(out, Kind::Number, s_.substr(pos_, end));
        out.mark_ascii();
        pos_ += end;
        return true;
      }
    }
#endif
    return any_number(out);
  }

  [[gnu::noinline]] bool any_number(Value& out) {
    std::size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    if (pos_ >= s_.size() || !is_digit(s_[pos_])) return err("invalid number");
    if (s_[pos_] == '0')
      ++pos_;
    else
      digits();
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (!digits()) return err("invalid number");
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (!digits()) return err("invalid number");
    }
    set_text(out, Kind::Number, s_.substr(start, pos_ - start));
    out.mark_ascii();
    return true;
  }

  // Children are parsed onto shared scratch stacks and moved into an exactly
  // sized list when their container closes: one allocation per container.
  bool array(std::uint64_t depth, Slot slot) {
    ++pos_;
    skip_ws();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      slot_value(slot) = Value::array();
      return true;
    }
    const std::size_t base = items_.size();
    for (;;) {
      if (!child(depth + 1, Slot::Item, items_.emplace_back())) return false;
      if (eat(',')) {
        skip_ws();
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == ']') {
        ++pos_;
        break;
      }
      return err("expected ',' or ']'");
    }
    // The list first: the slot is found once the children are off the stack.
    Value::Array items = take(items_, base);
    slot_value(slot).become_array(std::move(items));
    return true;
  }

  bool object(std::uint64_t depth, Slot slot) {
    ++pos_;
    skip_ws();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      slot_value(slot) = Value::object();
      return true;
    }
    const std::size_t base = members_.size();
    for (;;) {
      if (pos_ >= s_.size() || s_[pos_] != '"') return err("expected string key");
      Member& m = members_.emplace_back();
      if (!key(m.key)) return false;
      if (!eat(':')) return err("expected ':'");
      skip_ws();
      if (!child(depth + 1, Slot::Member, m.value)) return false;
      if (eat(',')) {
        skip_ws();
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == '}') {
        ++pos_;
        break;
      }
      return err("expected ',' or '}'");
    }
    Value::Object members = take(members_, base);
    slot_value(slot).become_object(std::move(members));
    return true;
  }

  // Moves the children above `base` off a scratch stack into an exactly sized list.
  template <class T>
  List<T> take(Scratch<T>& stack, std::size_t base) {
    if (!arena_) {
      List<T> out(std::make_move_iterator(stack.begin() + base), std::make_move_iterator(stack.end()));
      stack.pop_to(base);
      return out;
    }
    return arena_list(stack, base, *arena_);
  }

  // Makes the null value `out` a text from the input, referred to in place
  // when the tree may borrow. Built in place: this is the hottest store.
  void set_text(Value& out, Kind k, std::string_view text) const {
    if (arena_)
      new (&out) Value(k, text, Value::borrow);
    else
      out = k == Kind::Number ? Value::number(text) : Value::string(text);
  }

  // Decodes the string literal at the current position (its opening quote)
  // straight into storage of its final size: the arena when the tree may
  // borrow, else the reused scratch buffer. No escape decodes to more bytes
  // than it is written with, so the literal's raw length bounds the result.
  bool decoded(std::string_view& text, std::size_t& reserved) {
    reserved = raw_extent(pos_ + 1) + copy_slack;
    char* buf;
    if (arena_) {
      buf = arena_->allocate_array<char>(reserved);
    } else {
      if (scratch_.size() < reserved) scratch_.resize(reserved);
      buf = scratch_.data();
    }
    std::size_t len = 0;
    if (!string(buf, len)) return false;
    text = {buf, len};
    return true;
  }

  // Returns the arena bytes a decoded text does not use: all of them when the
  // text was copied inline.
  void settle(std::string_view text, std::size_t reserved, std::size_t inline_capacity) {
    if (arena_)
      arena_->shrink_last(const_cast<char*>(text.data()), reserved, text.size() <= inline_capacity ? 0 : text.size());
  }

  // Bytes from `from` to the closing quote of a string literal, or to where
  // reading it will fail.
  std::size_t raw_extent(std::size_t from) {
    std::size_t i = from;
    for (;;) {
      i += plain_run(i);
      if (i >= s_.size() || s_[i] != '\\') return std::min(i, s_.size()) - from;
      i += 2;  // the escape letter never ends the literal
    }
  }

  // An object key: borrowed from the input or the arena when the tree may borrow.
  // `out` is a fresh empty key, which owns nothing: it is built over in place.
  [[gnu::always_inline]] bool key(Key& out) {
#ifdef __SSE2__
    // Most keys are short, plain and ASCII: the block after the quote finds
    // the closing one and is their copy.
    if (s_.size() - pos_ > 16) {
      const auto* p = bytes() + pos_ + 1;
      if (const unsigned stops = ascii_stops(p)) {
        const auto k = static_cast<std::size_t>(__builtin_ctz(stops));
        if (p[k] == '"') {
          static_assert(Key::inline_capacity >= 15);
          // Read before the key is built: the compiler cannot tell the input from the key.
          char block[16];
          std::memcpy(block, p, sizeof block);
          new (&out) Key(block, k, Value::padded);
          pos_ += k + 2;
          return true;
        }
      }
    }
#endif
    return key_after(out);
  }

  // An object key the block after its quote does not settle.
  [[gnu::noinline]] bool key_after(Key& out) {
    const std::size_t open = pos_;
    high_ = 0;
    const std::size_t run = plain_run(pos_ + 1);
    if (pos_ + 1 + run < s_.size() && s_[pos_ + 1 + run] == '"') {
      const std::string_view text(s_.data() + pos_ + 1, run);
      if (high_ && !utf8::valid(text)) return err("invalid UTF-8 in string");
      if (arena_)
        new (&out) Key(text, Value::borrow);
      else
        new (&out) Key(text);
      pos_ += run + 2;
      return true;
    }
    std::string_view text;
    std::size_t reserved = 0;
    if (!decoded(text, reserved) || !body_valid(open)) return false;
    if (arena_)
      new (&out) Key(text, Value::borrow);
    else
      new (&out) Key(text);
    settle(text, reserved, Key::inline_capacity);
    return true;
  }

  // Length of the run of plain string bytes starting at `from`. Sets high_
  // when a byte of the run is not ASCII.
  [[gnu::always_inline]] std::size_t plain_run(std::size_t from) {
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
    std::size_t i = from, n = s_.size();
    unsigned high = 0;  // kept local: the compiler takes a member's stores to reach the input's bytes
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
      const unsigned block_high = high_bits(p + i);
      if (const unsigned stops = string_stops(p + i)) {
        high_ |= high | (block_high & ((stops & (0u - stops)) - 1));  // the bytes before the first stop
        return i + static_cast<std::size_t>(__builtin_ctz(stops)) - from;
      }
      high |= block_high;
    }
#endif
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      // Bytes equal to '"' or '\\' or below 0x20.
      std::uint64_t q = w ^ 0x2222222222222222ull;
      std::uint64_t b = w ^ 0x5C5C5C5C5C5C5C5Cull;
      std::uint64_t lo = 0x0101010101010101ull, hi = 0x8080808080808080ull;
      std::uint64_t hit = ((q - lo) & ~q) | ((b - lo) & ~b) | ((w - 0x2020202020202020ull) & ~w);
      if (hit & hi) break;
      high |= (w & hi) != 0;
      i += 8;
    }
    while (i < n) {
      unsigned char c = p[i];
      if (c == '"' || c == '\\' || c < 0x20) break;
      high |= c >> 7;
      ++i;
    }
    high_ |= high;
    return i - from;
  }

  // Copies the run of plain string bytes at the current position to `w` and
  // steps over it; returns its length. Sixteen bytes are scanned and stored at
  // a time, so `w` needs 16 bytes of room past the run. With `Facts`, adds the
  // run's UTF-8 continuation bytes to `continuation`.
  template <bool Facts>
  std::size_t copy_run(char* w, std::uint64_t& continuation) {
    const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
    const std::size_t from = pos_, n = s_.size();
    std::size_t i = from;
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80)), space = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w + (i - from)), v);
      const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                       _mm_cmplt_epi8(_mm_xor_si128(v, flip), space));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
      const unsigned end = mask ? static_cast<unsigned>(__builtin_ctz(mask)) : 16;
      if constexpr (Facts) {
        if (_mm_movemask_epi8(v) != 0) {
          // Continuation bytes are the signed bytes below 0xC0 (-64), counted up to the run's end.
          const auto cont =
              static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0)))));
          continuation += bits16(end == 16 ? cont : cont & ((1u << end) - 1));
        }
      }
      i += end;
      if (mask) {
        pos_ = i;
        return i - from;
      }
    }
#endif
    while (i < n) {
      const unsigned char c = p[i];
      if (c == '"' || c == '\\' || c < 0x20) break;
      w[i - from] = static_cast<char>(c);
      if constexpr (Facts) continuation += (c & 0xC0) == 0x80;
      ++i;
    }
    pos_ = i;
    return i - from;
  }

  static unsigned bits16(unsigned m) {
    m = m - ((m >> 1) & 0x5555u);
    m = (m & 0x3333u) + ((m >> 2) & 0x3333u);
    m = (m + (m >> 4)) & 0x0F0Fu;
    return (m + (m >> 8)) & 0x1Fu;
  }

  // Plain strings go straight from the input into the value; escaped ones
  // are decoded where they will stay.
  [[gnu::always_inline]] bool string_value(Value& out) {
#ifdef __SSE2__
    // The block after the quote settles most strings: a short plain ASCII one is copied from it.
    if (s_.size() - pos_ > 16) {
      const auto* p = bytes() + pos_ + 1;
      const unsigned stops = ascii_stops(p);
      const std::size_t run = stops ? static_cast<std::size_t>(__builtin_ctz(stops)) : 16;
      if (run <= Value::inline_capacity && p[run] == '"') {
        new (&out) Value(Kind::String, reinterpret_cast<const char*>(p), run, Value::padded);
        out.mark_unescaped();
        out.mark_ascii();  // ascii_stops: every byte before the first stop is ASCII
        pos_ += run + 2;
        return true;
      }
      if (run < 16 && p[run] >= 0x80) return string_not_ascii(out);
      return string_after(out, run, stops != 0);
    }
#endif
    return string_after(out, 0, false);
  }

  // The string literal at the current position, with a byte that is not
  // ASCII in the block after its quote: a short plain one is still copied from it.
  [[gnu::noinline]] bool string_not_ascii(Value& out) {
    const auto* p = bytes() + pos_ + 1;
    const unsigned stops = string_stops(p);
    const std::size_t run = stops ? static_cast<std::size_t>(__builtin_ctz(stops)) : 16;
    if (run > Value::inline_capacity || p[run] != '"') return string_after(out, 0, false);
    if (!utf8::valid({reinterpret_cast<const char*>(p), run})) return err("invalid UTF-8 in string");
    new (&out) Value(Kind::String, reinterpret_cast<const char*>(p), run, Value::padded);
    out.mark_unescaped();
    pos_ += run + 2;
    return true;
  }

  // The string literal at the current position, whose first `run` bytes are
  // plain and ASCII; `ended`: the byte after them ends the plain run.
  [[gnu::noinline]] bool string_after(Value& out, std::size_t run, bool ended) {
    high_ = 0;
    if (!ended) run += plain_run(pos_ + 1 + run);
    if (pos_ + 1 + run < s_.size() && s_[pos_ + 1 + run] == '"') {
      const std::string_view text = s_.substr(pos_ + 1, run);
      if (high_ && !utf8::valid(text)) return err("invalid UTF-8 in string");
      if (run >= facts_from && arena_) [[unlikely]] {
        long_plain_string(out, text);
      } else {
        set_text(out, Kind::String, text);
        out.mark_unescaped();
      }
      pos_ += run + 2;
      return true;
    }
    const std::size_t open = pos_;
    return escaped_string(out, run) && body_valid(open);
  }

  // Whether the raw bytes of the literal just read, whose opening quote is at
  // `open`, are valid UTF-8; high_ clear: all of them were seen to be ASCII.
  // Every byte outside literals that the reader accepts is ASCII, so a read
  // that succeeds has read valid UTF-8 throughout.
  bool body_valid(std::size_t open) {
    return !high_ || utf8::valid(s_.substr(open + 1, pos_ - open - 2)) || err("invalid UTF-8 in string");
  }

  // A long literal without escapes, borrowed with its facts: no line feed, and every character costs one.
  [[gnu::noinline]] void long_plain_string(Value& out, std::string_view text) {
    TextFacts* f = new (arena_->allocate(sizeof(TextFacts), alignof(TextFacts))) TextFacts;
    f->chars = f->cost = utf8::count(text);
    f->line_feeds = 0;
    f->paragraphs = 1;
    with_facts(out, text, f);
  }

  // Makes the null value `out` the borrowed string `text` with its facts, through a record in the arena.
  void with_facts(Value& out, std::string_view text, const TextFacts* facts) {
    auto* r = new (arena_->allocate(sizeof(TextRecord), alignof(TextRecord))) TextRecord{text.data(), text.size(), facts, false};
    new (&out) Value(r, Value::borrow);
  }

  // A literal with escapes; a long one is decoded with its facts, read on the way.
  // `plain` bytes after the opening quote are known to be plain: they are
  // not scanned again.
  [[gnu::noinline]] bool escaped_string(Value& out, std::size_t plain) {
    const bool plain_ascii = high_ == 0;  // the plain head's bytes, as its scan saw them
    if (!arena_) {
      std::string_view text;
      std::size_t reserved = 0;
      if (!decoded(text, reserved)) return false;
      out = Value::string(text);
      return true;
    }
    const std::size_t extent = plain + raw_extent(pos_ + 1 + plain), reserved = extent + copy_slack;
    if (extent >= facts_from) {
      auto* facts = new (arena_->allocate(sizeof(TextFacts), alignof(TextFacts))) TextFacts;
      char* buf = arena_->allocate_array<char>(reserved);
      std::size_t len = 0;
      if (!string<true>(buf, len, facts)) return false;
      const std::string_view text(buf, len);
      settle(text, reserved, 0);
      with_facts(out, text, facts);
      return true;
    }
    // A shorter one is decoded after room for its costs, counted on the way.
    auto* costs = static_cast<TextCosts*>(arena_->allocate(sizeof(TextCosts) + reserved, alignof(TextCosts)));
    char* buf = reinterpret_cast<char*>(costs + 1);
    std::size_t len = 0;
    if (!string<false, true>(buf, len, nullptr, plain, costs, plain_ascii)) return false;
    const std::string_view text(buf, len);
    new (&out) Value(Kind::String, text, Value::borrow);
    const bool kept = len > Value::inline_capacity;
    if (kept) out.mark_costed();
    arena_->shrink_last(costs, sizeof(TextCosts) + reserved, kept ? sizeof(TextCosts) + len : 0);
    return true;
  }

  // Decodes the literal at the current position into `out`, which has room
  // for its raw length plus copy_slack.
  // With `Facts`, also finds the facts of the decoded text: plain runs count
  // their characters (one each, none of them escaped, no line break among
  // them), and each escape adds its one character.
  // Without `Facts`, the first `plain` bytes are known to be plain and are copied unscanned
  // (with `Costs`, only their continuation bytes are counted, unless `prefix_ascii`). With `Costs`,
  // finds the decoded text's cost and characters, as with `Facts`, into `costs` (texts shorter
  // than facts_from).
  template <bool Facts = false, bool Costs = false>
  bool string(char* const out, std::size_t& len, TextFacts* facts = nullptr, std::size_t plain_prefix = 0,
              TextCosts* costs = nullptr, bool prefix_ascii = false) {
    constexpr bool counts = Facts || Costs;
    ++pos_;
    char* w = out;
    std::uint64_t plain = 0, continuation = 0, escapes = 0, escape_cost = 0, line_feeds = 0;
    if constexpr (!Facts) {
      std::memcpy(w, s_.data() + pos_, plain_prefix);
      if constexpr (Costs) {
        plain = plain_prefix;
        if (!prefix_ascii) continuation = plain_prefix - utf8::count(std::string_view(w, plain_prefix));
      }
      w += plain_prefix;
      pos_ += plain_prefix;
    }
    ParagraphCounter paragraphs;
    for (;;) {
      const std::size_t run = copy_run<counts>(w, continuation);
      if constexpr (counts) plain += run;
      if constexpr (Facts) paragraphs.plain(w, run);
      w += run;
      if (pos_ >= s_.size()) return err("unterminated string");
      char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        len = static_cast<std::size_t>(w - out);
        if constexpr (Facts) {
          facts->chars = plain - continuation + escapes;
          facts->cost = plain - continuation + escape_cost;
          facts->line_feeds = line_feeds;
          facts->paragraphs = paragraphs.paragraphs();
        }
        if constexpr (Costs) {
          costs->chars = static_cast<std::uint32_t>(plain - continuation + escapes);
          costs->cost = static_cast<std::uint32_t>(plain - continuation + escape_cost);
        }
        return true;
      }
      if (c != '\\') return err("control character in string");
      if (pos_ + 1 >= s_.size()) {
        ++pos_;
        return err("unterminated escape");
      }
      char e = s_[pos_ + 1];
      pos_ += 2;
      char32_t decoded;
      switch (e) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u':
          if (!unicode_escape(w, decoded)) return false;
          break;
        default: return err("invalid escape");
      }
      if (e != 'u') *w++ = static_cast<char>(decoded);
      if constexpr (counts) {
        ++escapes;
        escape_cost += escaped_cost(decoded);
      }
      if constexpr (Facts) {
        line_feeds += decoded == '\n';
        paragraphs.character(decoded);
      }
    }
  }

  // What one character costs inside a JSON string literal (as size::char_costs counts).
  static std::uint64_t escaped_cost(char32_t c) {
    if (c == '"' || c == '\\') return 2;
    if (c >= 0x20) return 1;
    return c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r' ? 2 : 6;
  }

  bool hex4(std::uint32_t& unit) {
    if (s_.size() - pos_ < 4) return err("truncated \\u escape");
    unit = 0;
    for (int k = 0; k < 4; ++k) {
      int h = hex_digit(s_[pos_ + static_cast<std::size_t>(k)]);
      if (h < 0) return err("invalid \\u escape");
      unit = unit * 16 + static_cast<std::uint32_t>(h);
    }
    pos_ += 4;
    return true;
  }

  bool unicode_escape(char*& w, char32_t& decoded) {
    std::uint32_t unit = 0;
    if (!hex4(unit)) return false;
    char32_t c = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      c = 0xFFFD;
      if (s_.size() - pos_ >= 2 && s_[pos_] == '\\' && s_[pos_ + 1] == 'u') {
        std::size_t backslash = pos_;
        pos_ += 2;
        std::uint32_t low = 0;
        if (!hex4(low)) return false;
        if (low >= 0xDC00 && low <= 0xDFFF)
          c = 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00);
        else
          pos_ = backslash;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      c = 0xFFFD;
    }
    w += utf8::encode(c, w);
    decoded = c;
    return true;
  }

  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(s_.data()); }

  std::string_view s_;
  Arena* arena_;  // null: the tree owns its storage
  std::size_t pos_ = 0;
  // Nonzero when a byte of the literal being read is not ASCII: set by every
  // scan over its raw bytes.
  unsigned high_ = 0;
  ParseError error_;
  Value root_;
  Scratch<Value> items_;
  Scratch<Member> members_;
  std::string scratch_;  // decoded texts of a tree that owns its storage
};

}  // namespace

std::size_t ws_run_end(std::string_view text, std::size_t from) { return ws_end(text, from); }
std::size_t digit_run_end(std::string_view text, std::size_t from) { return digits_end(text, from); }

namespace {

std::string_view without_bom(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

void write_spaces(std::string& out, std::uint64_t n) { out.append(n, ' '); }

const char hex_lower[] = "0123456789abcdef";

}  // namespace

Result<Value, ParseError> parse(std::string_view text) { return Parser(without_bom(text), nullptr).run(); }

Result<Tree, ParseError> parse(std::string_view text, Arena& arena) {
  auto root = Parser(without_bom(text), &arena).run();
  if (!root) return fail(std::move(root).error());
  return Tree(std::move(root).value());
}

bool is_number(std::string_view text) {
  if (text.empty() || !(text[0] == '-' || is_digit(text[0]))) return false;
  auto r = parse(text);
  return r.ok() && r.value().is_number() && r.value().text().size() == text.size();
}

void write_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run_start, i - run_start);
    run_start = i + 1;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\f': out.append("\\f"); break;
      case '\r': out.append("\\r"); break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', hex_lower[c >> 4], hex_lower[c & 0xF]};
        out.append(esc, 6);
      }
    }
  }
  out.append(s.data() + run_start, s.size() - run_start);
  out.push_back('"');
}

void write_value(std::string& out, const Value& v, bool pretty, std::uint64_t indent, std::uint64_t level) {
  switch (v.kind()) {
    case Kind::Null: out.append("null"); return;
    case Kind::Bool: out.append(v.as_bool() ? "true" : "false"); return;
    case Kind::Number: out.append(v.text()); return;
    case Kind::String: write_string(out, v.text()); return;
    case Kind::Array: {
      const auto& items = v.items();
      if (items.empty()) {
        out.append("[]");
        return;
      }
      out.push_back('[');
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        if (pretty) {
          out.push_back('\n');
          write_spaces(out, indent * (level + 1));
        }
        write_value(out, items[i], pretty, indent, level + 1);
      }
      if (pretty) {
        out.push_back('\n');
        write_spaces(out, indent * level);
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      const auto& members = v.members();
      if (members.empty()) {
        out.append("{}");
        return;
      }
      out.push_back('{');
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (i) out.push_back(',');
        if (pretty) {
          out.push_back('\n');
          write_spaces(out, indent * (level + 1));
        }
        write_string(out, members[i].key);
        out.append(pretty ? ": " : ":");
        write_value(out, members[i].value, pretty, indent, level + 1);
      }
      if (pretty) {
        out.push_back('\n');
        write_spaces(out, indent * level);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string to_string(const Value& v) {
  std::string out;
  write_value(out, v, false, 0, 0);
  return out;
}

}  // namespace tavisk::json
