#include "mcp_json.h"

#include <algorithm>
#include <cstring>

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
  char* decoded;  // as long as the text, plus one
  char* dst = nullptr;
  PositionStream(const char* s, char* out) : src(s), head(s), decoded(out) {}
  Ch Peek() const { return *src; }
  Ch Take() { return *src++; }
  std::size_t Tell() const { return static_cast<std::size_t>(src - head); }
  Ch* PutBegin() { return dst = decoded + (src - head); }
  void Put(Ch c) { *dst++ = c; }
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
  Builder(std::string_view text, const PositionStream& stream, ExpandRule expand)
      : text_(text), stream_(stream), expand_(expand) {}

  std::unique_ptr<Node> take() { return std::move(root_); }

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
  bool String(const char* s, rapidjson::SizeType n, bool) { return scalar(Node::Kind::String, {s, n}); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    std::size_t end = stream_.Tell();
    Frame& f = frames_.back();
    f.key_span = {value_start(), end};
    if (f.node) f.key.assign(s, n);
    last_end_ = end;
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
      f.node->members.emplace_back(std::move(f.key), Node{});
      f.key.clear();
      Node* n = &f.node->members.back().second;
      n->key = f.key_span;
      return n;
    }
    f.node->items.emplace_back();
    return &f.node->items.back();
  }

  bool scalar(Node::Kind kind, std::string_view value) {
    std::size_t end = stream_.Tell();
    if (Node* n = place()) {
      n->kind = kind;
      n->span = {value_start(), end};
      n->text = value;
    }
    last_end_ = end;
    return true;
  }

  bool open(Node::Kind kind) {
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
  const PositionStream& stream_;
  ExpandRule expand_;
  std::unique_ptr<Node> root_;
  std::vector<Frame> frames_;
  std::vector<std::string_view> path_;
  std::size_t last_end_ = 0;
};

// Accepts every SAX event: a full check without recording anything.
struct Checker : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Checker> {};

}  // namespace

// The reader stops at a NUL byte, and a NUL is never valid in JSON text, so such text is
// refused before it is read.
std::unique_ptr<Node> parse(const std::string& text, ExpandRule expand) {
  if (text.find('\0') != std::string::npos) return nullptr;
  auto decoded = std::make_unique_for_overwrite<char[]>(text.size() + 1);
  PositionStream stream(text.c_str(), decoded.get());
  Builder builder(text, stream, expand);
  rapidjson::Reader reader;
  if (reader.Parse<parse_flags>(stream, builder).IsError()) return nullptr;
  auto root = builder.take();
  root->storage = std::move(decoded);
  return root;
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

std::string id_key(const Node& id) {
  if (id.is(Node::Kind::String)) return "s" + std::string(id.text);
  if (id.is(Node::Kind::Number)) return "n" + std::string(id.text);
  return {};
}

}  // namespace mcp
