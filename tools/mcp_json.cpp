#include "mcp_json.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace mcp {

// A stream over a NUL-terminated buffer. Unlike RapidJSON's own string stream it is not
// copied while a token is read, so Tell() is exact inside every handler callback. Strings are
// decoded as in an in-place parse, but into a side buffer at their own offsets (a decoded
// string is never longer than its literal), so the text read stays untouched and a large
// string is written once, straight, instead of being pushed byte by byte onto a growing stack.
struct PositionStream {
  using Ch = char;
  const char* src;
  const char* head;
  const char* end;
  char* decoded;      // as long as the text, plus one
  char* decoded_end;
  std::size_t limit;  // decoded bytes written per string; the rest is only counted
  char* dst = nullptr;
  char* stop = nullptr;
  bool skipped = false;  // the string just read was skipped to its closing quote
  LiteralInfo skipped_literal;
  // In-line decoding: the text read, writable, and whether the next string may be decoded in
  // it; a skipped string so decoded has its decoded length in skipped_in_line.
  char* writable = nullptr;
  bool in_line_next = false;
  std::size_t skipped_in_line = 0;
  PositionStream(const char* s, char* out, std::size_t size, std::size_t put_limit)
      : src(s), head(s), end(s + size), decoded(out), decoded_end(out + size + 1), limit(put_limit) {}
  Ch Peek() const { return *src; }
  Ch Take() { return *src++; }
  std::size_t Tell() const { return static_cast<std::size_t>(src - head); }
  // Called at the start of a string's text (just past its quote) and at the end of a number.
  Ch* PutBegin() {
    dst = decoded + (src - head);
    stop = static_cast<std::size_t>(decoded_end - dst) > limit ? dst + limit : decoded_end;
    skipped = false;
    skipped_in_line = 0;
    const bool in_line = in_line_next;
    in_line_next = false;
    if (src > head && src[-1] == '"' && static_cast<std::size_t>(end - src) > limit) {
      if (in_line && writable) {
        decode_long_string();
      } else {
        skip_long_string();
      }
    }
    return dst;
  }
  // Whether the string starting at src surely ends within the limit (its first quote does).
  bool surely_short() const;
  void skip_long_string();
  void decode_long_string();
  void Put(Ch c) {
    if (dst < stop) *dst = c;
    ++dst;
  }
  void Flush() {}
  std::size_t PutEnd(Ch* begin) { return static_cast<std::size_t>(dst - begin); }
};

}  // namespace mcp

namespace rapidjson {
template <>
struct StreamTraits<mcp::PositionStream> {
  enum { copyOptimization = 0 };
};
}  // namespace rapidjson

namespace mcp {

const Node* Node::get(std::string_view name) const {
  const Node* found = nullptr;
  for (const auto& [k, v] : members) {
    if (k == name) found = &v;
  }
  return found;
}

bool expand_all(const std::vector<std::string_view>&) { return true; }

namespace {

// UTF-8 is not checked here: the library refuses invalid text, and everything else keeps its
// bytes anyway.
constexpr unsigned check_flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
constexpr unsigned parse_flags = check_flags | rapidjson::kParseInsituFlag;

// Builds Nodes from SAX events. Positions come from the stream: a scalar's callback fires
// just after its token, a container's just before its bracket; a value starts at the first byte after the previous token that is not white
// space, ':' or ','.
class Builder {
 public:
  Builder(std::string_view text, PositionStream& stream, ExpandRule expand, std::size_t decode_limit,
          std::string* line = nullptr, InLineRule in_line = nullptr)
      : text_(text), stream_(stream), expand_(expand), limit_(decode_limit), line_(line), in_line_(in_line) {}

  // Strings decoded in the line go with the root; were the parse to fail, they are written
  // back as the builder goes.
  std::unique_ptr<Node> take() {
    root_->in_line_texts = std::move(in_line_texts_);
    return std::move(root_);
  }

  bool Null() { return scalar(Node::Kind::Null, {}); }
  bool Bool(bool b) { return scalar(Node::Kind::Bool, b ? "true" : "false"); }
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }
  // The in-place mode leaves a number where it is in the input: its bytes are copied to the
  // same place in the side buffer, so that every text of the tree lives there.
  bool RawNumber(const char*, rapidjson::SizeType, bool) {
    std::size_t begin = value_start(), n = stream_.Tell() - begin;
    std::memcpy(stream_.decoded + begin, text_.data() + begin, n);
    return scalar(Node::Kind::Number, {stream_.decoded + begin, n});
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (stream_.skipped && stream_.skipped_in_line) return in_line_string();
    if (stream_.skipped) return scalar(Node::Kind::String, {}, true, &stream_.skipped_literal);
    if (n > limit_) return scalar(Node::Kind::String, {}, true);
    return scalar(Node::Kind::String, {s, n});
  }
  // A key past the decode limit reads as empty: no member the proxy looks for is that long.
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    std::size_t end = stream_.Tell();
    Frame& f = frames_.back();
    f.key_span = {value_start(), end};
    if (f.node && n <= limit_ && !stream_.skipped) f.key.assign(s, n);
    last_end_ = end;
    stream_.in_line_next = in_line_ && f.node && !stream_.skipped && in_line_(path_, std::string_view(s, n));
    return true;
  }
  bool StartObject() { return open(Node::Kind::Object); }
  bool StartArray() { return open(Node::Kind::Array); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool EndArray(rapidjson::SizeType) { return close(); }

 private:
  struct Frame {
    Node* node = nullptr;    // where children go; null when the container is not recorded
    Node* placed = nullptr;  // the container's own Node, if its parent records it
    std::size_t begin = 0;
    bool object = false;
    bool pushed = false;  // whether the container added a segment to path_
    std::string key;
    Span key_span;
  };

  std::size_t value_start() const {
    std::size_t i = last_end_;
    while (i < text_.size()) {
      char c = text_[i];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != ':' && c != ',') break;
      ++i;
    }
    return i;
  }

  // Where a new value goes: a fresh Node in the recording parent, or nowhere.
  Node* place() {
    if (frames_.empty()) {
      root_ = std::make_unique<Node>();
      return root_.get();
    }
    Frame& f = frames_.back();
    if (!f.node) return nullptr;
    if (f.object) {
      f.node->members.push_back({std::move(f.key), Node{}});
      f.key.clear();
      Node* n = &f.node->members.back().second;
      n->key = f.key_span;
      return n;
    }
    f.node->items.emplace_back();
    return &f.node->items.back();
  }

  // The literal is decoded in the line: whatever becomes of its Node, its bytes come back.
  bool in_line_string() {
    const Span literal{value_start(), stream_.Tell()};
    in_line_texts_.push_back(std::make_unique<InPlaceText>(*line_, literal, stream_.skipped_in_line));
    if (Node* n = put_scalar(Node::Kind::String, {}, true, &stream_.skipped_literal))
      n->in_line = in_line_texts_.back().get();
    return true;
  }

  bool scalar(Node::Kind kind, std::string_view value, bool pending = false, const LiteralInfo* measured = nullptr) {
    put_scalar(kind, value, pending, measured);
    return true;
  }

  Node* put_scalar(Node::Kind kind, std::string_view value, bool pending, const LiteralInfo* measured) {
    stream_.in_line_next = false;
    std::size_t end = stream_.Tell();
    Node* n = place();
    if (n) {
      n->kind = kind;
      n->span = {value_start(), end};
      n->text = value;
      n->pending = pending;
      if (measured) {
        n->measured = true;
        n->literal = *measured;
      }
    }
    last_end_ = end;
    return n;
  }

  bool open(Node::Kind kind) {
    stream_.in_line_next = false;
    std::size_t begin = stream_.Tell();  // the iterative reader calls back before taking '{' or '['
    bool child = !frames_.empty();
    Node* n = place();
    bool record = false;
    if (n) {
      n->kind = kind;
      if (child) path_.push_back(segment());
      record = path_.size() < max_recorded_depth && expand_(path_);
      n->expanded = record;
    }
    frames_.push_back({record ? n : nullptr, n, begin, kind == Node::Kind::Object, n && child, {}, {}});
    last_end_ = begin + 1;
    return true;
  }

  // The path segment of the value just placed in the innermost recording container.
  std::string_view segment() const {
    const Frame& f = frames_.back();
    return f.object ? std::string_view(f.node->members.back().first) : std::string_view("*");
  }

  bool close() {
    std::size_t end = stream_.Tell() + 1;  // likewise before taking '}' or ']'
    Frame& f = frames_.back();
    if (f.placed) f.placed->span = {f.begin, end};
    if (f.pushed) path_.pop_back();
    frames_.pop_back();
    last_end_ = end;
    return true;
  }

  std::string_view text_;
  PositionStream& stream_;
  ExpandRule expand_;
  std::size_t limit_;
  std::string* line_;
  InLineRule in_line_;
  std::vector<std::unique_ptr<InPlaceText>> in_line_texts_;
  std::unique_ptr<Node> root_;
  std::vector<Frame> frames_;
  std::vector<std::string_view> path_;
  std::size_t last_end_ = 0;
};

// Accepts every SAX event: a full check without recording anything.
struct Checker : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Checker> {};

}  // namespace

// The reader takes a NUL byte for the end of the text, and a NUL is never valid in JSON text:
// a text is accepted only when the reading ended at its last byte (a NUL inside a string is
// an error of its own).
// The side buffer is never cleared, so the pages behind a long string that is not decoded are
// never touched.
namespace {

std::unique_ptr<Node> parse_text(const std::string& text, ExpandRule expand, std::size_t decode_limit,
                                 std::string* line, InLineRule in_line) {
  auto decoded = std::make_unique_for_overwrite<char[]>(text.size() + 1);
  PositionStream stream(text.c_str(), decoded.get(), text.size(), decode_limit);
  if (line) stream.writable = line->data();
  Builder builder(text, stream, expand, decode_limit, line, in_line);
  rapidjson::Reader reader;
  if (reader.Parse<parse_flags>(stream, builder).IsError()) return nullptr;
  if (stream.Tell() != text.size()) return nullptr;  // a NUL byte ended the reading early
  auto root = builder.take();
  root->storage = std::move(decoded);
  return root;
}

}  // namespace

std::unique_ptr<Node> parse(const std::string& text, ExpandRule expand, std::size_t decode_limit) {
  return parse_text(text, expand, decode_limit, nullptr, nullptr);
}

std::unique_ptr<Node> parse(std::string& text, ExpandRule expand, std::size_t decode_limit, InLineRule in_line) {
  return parse_text(text, expand, decode_limit, &text, in_line);
}

bool is_json(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return false;
  rapidjson::MemoryStream stream(text.data(), text.size());  // reads as NUL past the end
  Checker checker;
  rapidjson::Reader reader;
  return !reader.Parse<check_flags>(stream, checker).IsError();
}

void write_string(std::string& out, std::string_view s) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
  out.append(buffer.GetString(), buffer.GetSize());
}

std::size_t nesting_depth(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::uint64_t char_count(std::string_view s) {
  // Eight bytes at a time: a continuation byte has its top bit set and the next one clear.
  constexpr std::uint64_t high_bits = 0x8080808080808080ull;
  std::uint64_t continuations = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    // Each byte of (marks >> 7) is 0 or 1; the multiplication sums the eight of them in the top byte.
    const std::uint64_t marks = w & ~(w << 1) & high_bits;
    continuations += ((marks >> 7) * 0x0101010101010101ull) >> 56;
  }
  for (; i < s.size(); ++i) continuations += (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
  return s.size() - continuations;
}

// ---- long string literals ----

namespace {

unsigned hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

unsigned hex4(const char* p) {
  return hex_digit(p[0]) << 12 | hex_digit(p[1]) << 8 | hex_digit(p[2]) << 4 | hex_digit(p[3]);
}

bool is_high_surrogate(unsigned cp) { return cp >= 0xD800 && cp <= 0xDBFF; }

// The short escape letter of a control character, or 0 for \u00xx.
char short_escape(unsigned char c) {
  switch (c) {
    case '\b': return 'b';
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    default: return 0;
  }
}

constexpr char lower_hex[] = "0123456789abcdef";

// Whether \uXXXX (the four digits at p, code point cp) is the form written back.
bool canonical_u(const char* p, unsigned cp) {
  return cp < 0x20 && !short_escape(static_cast<unsigned char>(cp)) && p[0] == '0' && p[1] == '0' &&
         p[2] == lower_hex[cp >> 4] && p[3] == lower_hex[cp & 15];
}

char* put_utf8(char* out, unsigned cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | cp >> 6);
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | cp >> 12);
    *out++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | cp >> 18);
    *out++ = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Writes the canonical literal text of buf[0, decoded) so that it ends at buf + encoded,
// from the last byte back: each write lands at or past the byte it came from.
void encode_backwards(char* buf, std::size_t decoded, std::size_t encoded) noexcept {
  char* w = buf + encoded;
  const char* r = buf + decoded;
  while (r > buf) {
    const auto c = static_cast<unsigned char>(*--r);
    if (c == '"' || c == '\\') {
      *--w = static_cast<char>(c);
      *--w = '\\';
    } else if (c >= 0x20) {
      *--w = static_cast<char>(c);
    } else if (char e = short_escape(c)) {
      *--w = e;
      *--w = '\\';
    } else {
      *--w = lower_hex[c & 15];
      *--w = lower_hex[c >> 4];
      *--w = '0';
      *--w = '0';
      *--w = 'u';
      *--w = '\\';
    }
  }
}

// Which bytes of w are backslashes: the lowest set bit marks the first one exactly (bits
// above it may be false alarms).
inline std::uint64_t backslashes(std::uint64_t w) {
  const std::uint64_t x = w ^ 0x5C5C5C5C5C5C5C5Cull;
  return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

const char* find_backslash(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (std::uint64_t b = backslashes(w)) return p + (__builtin_ctzll(b) >> 3);
  }
  while (p < end && *p != '\\') ++p;
  return p;
}

// Bytes of w that are a quote, a backslash or a control character: the lowest set bit marks
// the first one exactly.
inline std::uint64_t string_stops(std::uint64_t w) {
  constexpr std::uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
  const std::uint64_t q = w ^ (ones * '"'), b = w ^ (ones * '\\');
  return ((q - ones) & ~q & high) | ((b - ones) & ~b & high) | ((w - ones * 0x20) & ~w & high);
}

// UTF-8 continuation bytes among the first n bytes of w.
inline std::uint64_t continuations(std::uint64_t w, unsigned n) {
  std::uint64_t marks = w & ~(w << 1) & 0x8080808080808080ull;
  if (n < 8) marks &= (std::uint64_t{1} << (8 * n)) - 1;
  return ((marks >> 7) * 0x0101010101010101ull) >> 56;  // sums the eight 0/1 bytes
}

}  // namespace

namespace {

// Decodes a canonical literal body over itself while checking and measuring it: the one pass
// does what skip_long_string and decode_in_place do in two. Stops at the closing quote;
// returns false, with every byte put back, at anything else skip_long_string would refuse.
struct InLineDecoding {
  const char* close = nullptr;  // the closing quote
  std::size_t decoded = 0;
  LiteralInfo info;
};

// One step of the escape at p (a backslash with at least one byte after it): writes its
// byte at out; returns the bytes read, or 0 for an escape that is not canonical.
inline std::size_t decode_canonical_escape(const char* p, const char* end, char* out) {
  switch (p[1]) {
    case '"': *out = '"'; return 2;
    case '\\': *out = '\\'; return 2;
    case 'b': *out = '\b'; return 2;
    case 'f': *out = '\f'; return 2;
    case 'n': *out = '\n'; return 2;
    case 'r': *out = '\r'; return 2;
    case 't': *out = '\t'; return 2;
    case 'u': {
      if (end - p < 6) return 0;
      const unsigned cp = hex4(p + 2);
      if (!canonical_u(p + 2, cp)) return 0;
      *out = static_cast<char>(cp);
      return 6;
    }
    default: return 0;
  }
}

// Set bits of a 16-bit mask, without the library call that a popcount builds to on the
// baseline instruction set.
inline unsigned bits_set16(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}

// The bytes of a 16-byte block that stop a run of plain text: quotes, backslashes and
// control characters, as a bit mask.
#if defined(__SSE2__)
inline unsigned block_stops(__m128i v) {
  const __m128i controls = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
  const __m128i stops = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))), controls);
  return static_cast<unsigned>(_mm_movemask_epi8(stops));
}

// UTF-8 continuation bytes among the first n bytes of the block.
inline unsigned block_continuations(__m128i v, unsigned n) {
  if (!_mm_movemask_epi8(v)) return 0;  // all ASCII
  const __m128i top2 = _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0)));
  const __m128i marks = _mm_cmpeq_epi8(top2, _mm_set1_epi8(static_cast<char>(0x80)));
  return bits_set16(static_cast<unsigned>(_mm_movemask_epi8(marks)) & ((1u << n) - 1));
}
#endif

// Takes the plain bytes at p (up to the next quote, backslash or control character, or the
// end), a block at a time where possible, counting their UTF-8 continuation bytes; with Move,
// moves them down to out as well. Ends at the byte that stopped the run.
template <bool Move>
inline void plain_run(const char*& p, const char* end, char*& out, std::uint64_t& cont) {
#if defined(__SSE2__)
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned stops = block_stops(v);
    const unsigned n = stops ? static_cast<unsigned>(__builtin_ctz(stops)) : 16;
    cont += block_continuations(v, n);
    if constexpr (Move) {
      // A whole block may be written when it cannot reach bytes still to be read.
      if (p - out >= 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
      } else if (out != p) {
        std::memmove(out, p, n);
      }
      out += n;
    }
    p += n;
    if (stops) return;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    const std::uint64_t stops = string_stops(w);
    const unsigned n = stops ? static_cast<unsigned>(__builtin_ctzll(stops) >> 3) : 8;
    cont += continuations(w, n);
    if constexpr (Move) {
      std::memmove(out, p, n);
      out += n;
    }
    p += n;
    if (stops) return;
  }
  while (p < end && static_cast<unsigned char>(*p) >= 0x20 && *p != '"' && *p != '\\') {
    cont += (static_cast<unsigned char>(*p) & 0xC0) == 0x80;
    if constexpr (Move) *out++ = *p;
    ++p;
  }
}

#if defined(__SSE2__)
// Set bits of a 64-bit mask (a popcount builds to a library call on the baseline set).
inline std::uint64_t bits_set64(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (x * 0x0101010101010101ull) >> 56;
}

// 64 bytes at p: which stop a run of plain text, and which are UTF-8 continuation bytes.
struct Block64 {
  std::uint64_t stops = 0, continuations = 0;
  explicit Block64(const char* p) {
    unsigned high = 0;
    __m128i v[4];
    for (int i = 0; i < 4; ++i) {
      v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      stops |= std::uint64_t{block_stops(v[i])} << (16 * i);
      high |= static_cast<unsigned>(_mm_movemask_epi8(v[i]));
    }
    if (!high) return;  // all ASCII
    for (int i = 0; i < 4; ++i) {
      const __m128i top2 = _mm_and_si128(v[i], _mm_set1_epi8(static_cast<char>(0xC0)));
      const __m128i marks = _mm_cmpeq_epi8(top2, _mm_set1_epi8(static_cast<char>(0x80)));
      continuations |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(marks))} << (16 * i);
    }
  }
};

// Moves n plain bytes from p down to out, 16 at a time when the gap allows: the bytes
// written past out + n land in the gap, and nothing read past `end`.
inline void move_down(char* out, const char* p, std::size_t n, const char* end) {
  if (p - out >= 16 && static_cast<std::size_t>(end - p) >= n + 15) {
    // Most runs between escapes are short: one block, without a loop to mispredict.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    for (std::size_t i = 16; i < n; i += 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
  } else if (out != p) {
    std::memmove(out, p, n);
  }
}
#endif

// Blocks of 64 bytes are classified independently of where the escapes fall, then their
// stops are taken in order: the work per escape is a few instructions, not a dependent
// reload of the text after it.
enum class Decoded { Closed, RanOut, Refused };

// Decodes from body up to the closing quote (Closed) or up to `end` when the text runs on
// past it (RanOut, which leaves the decoding for the caller to keep or put back). Refused
// puts every byte back itself.
Decoded decode_canonical_in_place(char* body, const char* end, InLineDecoding& result) {
  char* out = body;
  const char* p = body;  // the start of the plain run not yet moved
  std::uint64_t cont = 0;
#if defined(__SSE2__)
  const char* block = body;
  for (; end - block >= 64; block += 64) {
    const Block64 b(block);
    std::uint64_t stops = b.stops;
    if (p > block) stops &= ~std::uint64_t{0} << (p - block);  // the end of an escape begun before
    while (stops) {
      const char* s = block + __builtin_ctzll(stops);
      move_down(out, p, static_cast<std::size_t>(s - p), end);
      out += s - p;
      p = s;
      if (*s == '"') {
        cont += bits_set64(b.continuations & ((std::uint64_t{1} << (s - block)) - 1));
        result = {p, static_cast<std::size_t>(out - body), {static_cast<std::uint64_t>(out - body) - cont, true}};
        return Decoded::Closed;
      }
      if (*s != '\\' || end - s < 2) goto refuse;
      if (s[1] == '"') {  // the usual escape in a text that holds JSON
        *out = '"';
        p = s + 2;
      } else {
        const std::size_t k = decode_canonical_escape(s, end, out);
        if (k == 0) goto refuse;
        p = s + k;
      }
      ++out;
      const auto used = static_cast<std::size_t>(p - block);
      stops = used >= 64 ? 0 : stops & (~std::uint64_t{0} << used);
    }
    cont += bits_set64(b.continuations);
  }
  if (p < block) {  // the run reaching into the rest, counted with its blocks already
    move_down(out, p, static_cast<std::size_t>(block - p), end);
    out += block - p;
    p = block;
  }
#endif
  for (;;) {
    plain_run<true>(p, end, out, cont);
    if (end - p >= 2 && p[0] == '\\') {
      const std::size_t k = decode_canonical_escape(p, end, out);
      if (k == 0) break;
      p += k;
      ++out;
      continue;
    }
    if (p < end && *p == '"') {
      result = {p, static_cast<std::size_t>(out - body), {static_cast<std::uint64_t>(out - body) - cont, true}};
      return Decoded::Closed;
    }
    if (p == end) {
      result = {p, static_cast<std::size_t>(out - body), {static_cast<std::uint64_t>(out - body) - cont, true}};
      return Decoded::RanOut;
    }
    break;  // a control character or a cut escape
  }
#if defined(__SSE2__)
refuse:
#endif
  encode_backwards(body, static_cast<std::size_t>(out - body), static_cast<std::size_t>(p - body));
  return Decoded::Refused;
}

// Where a long literal body may be cut in two for decoding each part on its own: just past
// an escape of two bytes (a backslash ending an odd run, then a byte other than 'u'), near
// `from`. Null when none is close.
char* clean_split(char* from, const char* end) {
  constexpr std::size_t search = 1 << 16;
  const char* stop = end - from > static_cast<std::ptrdiff_t>(search) ? from + search : end;
  for (char* bs = from; bs + 1 < stop;) {
    bs = static_cast<char*>(std::memchr(bs, '\\', static_cast<std::size_t>(stop - bs - 1)));
    if (!bs) return nullptr;
    char* run_end = bs;
    while (run_end + 1 < stop && run_end[1] == '\\') ++run_end;
    if (run_end + 1 >= stop) return nullptr;
    std::size_t run = static_cast<std::size_t>(run_end - bs) + 1;
    for (const char* b = bs - 1; b >= from - 64 && *b == '\\'; --b) ++run;  // the run may begin before `from`
    if (run % 2 == 1 && run_end[1] != 'u') return run_end + 2;
    bs = run_end + 1;
  }
  return nullptr;
}

// One pass over the whole literal; a text without its closing quote is put back.
bool decode_whole(char* body, const char* end, InLineDecoding& result) {
  const Decoded state = decode_canonical_in_place(body, end, result);
  if (state == Decoded::RanOut) encode_backwards(body, result.decoded, static_cast<std::size_t>(end - body));
  return state == Decoded::Closed;
}

// A long text is decoded in two halves at once, on two threads: the decoding is most of
// what a large result costs the proxy beyond the shrinking itself.
bool decode_long(char* body, char* end, InLineDecoding& result) {
  constexpr std::ptrdiff_t two_halves = 4 << 20;
  char* split = end - body >= two_halves ? clean_split(body + (end - body) / 2, end) : nullptr;
  if (!split) return decode_whole(body, end, result);
  InLineDecoding first, second;
  Decoded second_state = Decoded::Refused;
  std::thread helper;
  try {
    helper = std::thread([&] { second_state = decode_canonical_in_place(split, end, second); });
  } catch (const std::system_error&) {
    return decode_whole(body, end, result);
  }
  const Decoded first_state = decode_canonical_in_place(body, split, first);
  helper.join();
  auto put_back_second = [&] {
    if (second_state == Decoded::Closed)
      encode_backwards(split, second.decoded, static_cast<std::size_t>(second.close - split));
  };
  if (first_state == Decoded::Closed) {  // the text ended before the cut: the rest is not its
    put_back_second();
    result = first;
    return true;
  }
  if (first_state == Decoded::RanOut && second_state == Decoded::Closed) {
    std::memmove(body + first.decoded, split, second.decoded);
    result = {second.close, first.decoded + second.decoded, {first.info.chars + second.info.chars, true}};
    return true;
  }
  if (first_state == Decoded::RanOut) encode_backwards(body, first.decoded, static_cast<std::size_t>(split - body));
  put_back_second();
  if (second_state == Decoded::RanOut)
    encode_backwards(split, second.decoded, static_cast<std::size_t>(end - split));
  return false;
}

}  // namespace

bool PositionStream::surely_short() const {
  const char* quote = static_cast<const char*>(std::memchr(src, '"', static_cast<std::size_t>(end - src)));
  if (!quote) return true;  // no closing quote: the reader reports it
  std::size_t slashes = 0;
  while (quote - slashes > src && quote[-1 - static_cast<std::ptrdiff_t>(slashes)] == '\\') ++slashes;
  return slashes % 2 == 0 && static_cast<std::size_t>(quote - src) <= limit;
}

// A string is skipped only when it is long (its first unescaped quote lies past the limit)
// and every escape in it is canonical, which also makes it valid; anything else is left to
// the reader, which decodes it or reports the error.
void PositionStream::skip_long_string() {
  if (surely_short()) return;
  std::uint64_t escapes = 0, escape_bytes = 0, cont = 0;
  const char* p = src;
  char* unused = nullptr;
  for (;;) {
    plain_run<false>(p, end, unused, cont);
    if (p >= end || static_cast<unsigned char>(*p) < 0x20) return;
    if (*p == '"') break;
    // A backslash: only the canonical escapes are skipped over.
    if (end - p < 2) return;
    char unkept;  // the same check as decoding's; the byte is not kept
    const std::size_t k = decode_canonical_escape(p, end, &unkept);
    if (k == 0) return;
    p += k;
    ++escapes;
    escape_bytes += k;
  }
  if (static_cast<std::size_t>(p - src) <= limit) return;
  skipped_literal = {escapes + static_cast<std::uint64_t>(p - src) - escape_bytes - cont, true};
  skipped = true;
  src = p;  // the reader takes the closing quote and sees an empty string
}

// Like skip_long_string, but the string is decoded where it is as it is measured.
void PositionStream::decode_long_string() {
  if (surely_short()) return;
  char* body = writable + (src - head);
  InLineDecoding d;
  if (!decode_long(body, writable + (end - head), d)) return;
  if (static_cast<std::size_t>(d.close - body) <= limit) {  // short after all: put it back for the reader
    encode_backwards(body, d.decoded, static_cast<std::size_t>(d.close - body));
    return;
  }
  skipped_literal = d.info;
  skipped_in_line = d.decoded;
  skipped = true;
  src = head + (d.close - writable);
}

// Every byte of an escape is ASCII, so each counts as a character in char_count: an escape
// of k bytes takes k - 1 back.
LiteralInfo literal_info(std::string_view body) {
  LiteralInfo info;
  info.chars = char_count(body);
  const char* const end = body.data() + body.size();
  for (const char* bs = find_backslash(body.data(), end); bs < end; bs = find_backslash(bs, end)) {
    if (bs[1] != 'u') {
      info.canonical = info.canonical && bs[1] != '/';
      info.chars -= 1;
      bs += 2;
      continue;
    }
    const unsigned cp = hex4(bs + 2);
    info.canonical = info.canonical && canonical_u(bs + 2, cp);
    const std::size_t k = is_high_surrogate(cp) ? 12 : 6;  // a pair is one character
    info.chars -= k - 1;
    bs += k;
  }
  return info;
}

// Runs without escapes move eight bytes at a time: a word is read before it is written, and
// the output never passes the input; a word holding an escape is written whole only when the
// output is at least a word behind, so the escape's bytes are still there to be read.
std::size_t decode_in_place(char* body, std::size_t size) {
  char* out = body;
  const char* p = body;
  const char* const end = body + size;
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      const std::uint64_t b = backslashes(w);
      const auto n = b ? static_cast<std::size_t>(__builtin_ctzll(b) >> 3) : 8;
      // The whole word may be written when it cannot reach the escape still to be read.
      if (n == 8 || p - out >= 8) {
        std::memcpy(out, &w, 8);
      } else {
        std::memmove(out, p, n);
      }
      out += n;
      p += n;
      if (n == 8) continue;
    } else if (*p != '\\') {
      *out++ = *p++;
      continue;
    }
    const char e = p[1];
    const char* bs = p;
    p += 2;
    switch (e) {
      case 'b': *out++ = '\b'; break;
      case 'f': *out++ = '\f'; break;
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case 'u': {
        unsigned cp = hex4(bs + 2);
        p = bs + 6;
        if (is_high_surrogate(cp)) {
          cp = ((cp - 0xD800) << 10 | (hex4(bs + 8) - 0xDC00)) + 0x10000;
          p = bs + 12;
        }
        out = put_utf8(out, cp);
        break;
      }
      default: *out++ = e;  // " \ /
    }
  }
  return static_cast<std::size_t>(out - body);
}

InPlaceText::InPlaceText(std::string& line, Span literal)
    : line_(&line), body_begin_(literal.begin + 1), body_size_(literal.end - literal.begin - 2) {
  decoded_ = decode_in_place(line.data() + body_begin_, body_size_);
}

InPlaceText::InPlaceText(std::string& line, Span literal, std::size_t decoded)
    : line_(&line), body_begin_(literal.begin + 1), body_size_(literal.end - literal.begin - 2), decoded_(decoded) {}

void InPlaceText::restore() noexcept {
  if (restore_) encode_backwards(line_->data() + body_begin_, decoded_, body_size_);
  restore_ = false;
}

std::string id_key(const Node& id) {
  if (id.pending) return {};
  if (id.is(Node::Kind::String)) return "s" + std::string(id.text);
  if (id.is(Node::Kind::Number)) return "n" + std::string(id.text);
  return {};
}

}  // namespace mcp
