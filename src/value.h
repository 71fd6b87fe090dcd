// The document tree: six kinds, numbers kept as source text, objects as
// ordered key/value lists (repeated keys allowed). A node owns its payload or
// borrows it from storage that outlives it (see below).
//
// A Value is 16 bytes. Texts of up to 14 bytes live inline; longer ones sit in
// one exactly sized heap block, or are borrowed from storage that outlives the
// value (the input text or an arena, for the tree the reader builds). A text
// with facts, or one too long for a 32-bit size, is reached through a
// TextRecord. Text payloads are plain bytes, so moving a number or string
// copies 16 bytes and never touches the allocator; copying a value always
// gives it its own text.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "list.h"

namespace tavisk {

struct TextFacts;

// Copies n <= 24 bytes with a few fixed size moves (overlapping where needed)
// instead of a library call: texts and keys this short are many.
inline void copy_short(void* dst, const char* src, std::size_t n) noexcept {
  auto* out = static_cast<char*>(dst);
  if (n >= 8) {
    std::uint64_t a, b, c;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + (n > 16 ? 8 : n - 8), 8);
    std::memcpy(&c, src + n - 8, 8);
    std::memcpy(out, &a, 8);
    std::memcpy(out + (n > 16 ? 8 : n - 8), &b, 8);
    std::memcpy(out + n - 8, &c, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(out, &a, 4);
    std::memcpy(out + n - 4, &b, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = src[i];
  }
}


// Whether the first and the last sizeof(W) bytes of two texts of n >= sizeof(W) bytes agree
// (together they cover every byte when n <= 2 * sizeof(W)).
template <class W>
[[gnu::always_inline]] inline bool same_ends(const char* p, const char* q, std::size_t n) noexcept {
  W a0, a1, b0, b1;
  std::memcpy(&a0, p, sizeof(W));
  std::memcpy(&b0, q, sizeof(W));
  std::memcpy(&a1, p + n - sizeof(W), sizeof(W));
  std::memcpy(&b1, q + n - sizeof(W), sizeof(W));
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// a == b for short texts (keys, mostly) without a library call up to 16 bytes.
[[gnu::always_inline]] inline bool same_short_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n > 16) return std::memcmp(p, q, n) == 0;
  if (n >= 8) return same_ends<std::uint64_t>(p, q, n);
  if (n >= 4) return same_ends<std::uint32_t>(p, q, n);
  // 0 to 3 bytes: the first, middle and last cover them all.
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

enum class Kind : std::uint8_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct Member;

// A text kept out of line: one whose reader found its facts, or one too long
// for a value's 32-bit size. Borrowed records (an arena's) are never freed;
// an owned one is the value's, and so are its bytes when `owns_data`.
// A text's cost inside a JSON string literal and its characters, kept by a
// reader just in front of a text it decoded into its arena (see Value::costs).
struct TextCosts {
  std::uint32_t cost, chars;
};

struct TextRecord {
  const char* data;
  std::size_t size;
  const TextFacts* facts;
  bool owns_data;
};

class alignas(8) Value {
 public:
  using Array = List<Value>;
  using Object = List<Member>;

  // Longest text held inside the value itself.
  static constexpr std::size_t inline_capacity = 14;

  Value() noexcept : tag_(0), bits_(0) {}
  ~Value() { destroy(); }

  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v;
    v.bits_ = static_cast<std::uint8_t>(Kind::Bool);
    v.tag_ = b;
    return v;
  }
  static Value number(std::string_view text) { return Value(Kind::Number, text); }
  static Value string(std::string_view text) { return Value(Kind::String, text); }
  static Value number(const std::string& text) { return Value(Kind::Number, std::string_view(text)); }
  static Value string(const std::string& text) { return Value(Kind::String, std::string_view(text)); }
  static Value number(const char* text) { return Value(Kind::Number, std::string_view(text)); }
  static Value string(const char* text) { return Value(Kind::String, std::string_view(text)); }
  // A number or string whose text, when longer than the inline capacity, is
  // referred to rather than copied: it must outlive the value and its moves.
  struct Borrow {};
  static constexpr Borrow borrow{};
  Value(Kind k, std::string_view text, Borrow) : bits_(static_cast<std::uint8_t>(k)) {
    if (text.size() <= inline_capacity) {
      tag_ = static_cast<std::uint8_t>(text.size());
      copy_inline(text);
    } else if (text.size() <= UINT32_MAX) {
      set_span(text.data(), text.size(), borrowed_marker);
    } else {
      set_record(new TextRecord{text.data(), text.size(), nullptr, false}, owned_record_marker);
    }
  }
  static Value borrowed(Kind k, std::string_view text) { return Value(k, text, borrow); }
  // A number or string of at most inline_capacity bytes read from a buffer
  // with at least inline_capacity readable bytes at `text`: one fixed-size
  // copy, whatever the length (the bytes past it are never read).
  struct Padded {};
  static constexpr Padded padded{};
  Value(Kind k, const char* text, std::size_t n, Padded) : tag_(static_cast<std::uint8_t>(n)), bits_(static_cast<std::uint8_t>(k)) {
    std::memcpy(raw_, text, inline_capacity);
  }
  // A string over a borrowed record (storage that outlives the value, like
  // its text), which carries the facts of its text. Copies drop the facts.
  Value(const TextRecord* record, Value::Borrow) : bits_(static_cast<std::uint8_t>(Kind::String)) { set_record(record, record_marker); }
  static Value array(Array items = {});
  static Value object();  // empty; defined below, where Member is complete
  static Value object(Object members);
  // Makes this null value an array or object over `list`, in place: a reader
  // filling a slot it knows to hold null skips the temporary and its moves.
  void become_array(Array&& items) noexcept {
    bits_ = static_cast<std::uint8_t>(Kind::Array);
    new (&items_) Array(std::move(items));
  }
  void become_object(Object&& members) noexcept;  // defined below, where Member is complete

  Value(const Value& other) { copy_from(other); }
  Value(Value&& other) noexcept { move_from(std::move(other)); }
  Value& operator=(const Value& other) {
    if (this != &other) {
      Value tmp(other);
      destroy();
      move_from(std::move(tmp));
    }
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      destroy();
      move_from(std::move(other));
    }
    return *this;
  }

  Kind kind() const { return static_cast<Kind>(bits_ & kind_mask); }
  // Set by a reader on a string whose text JSON writes with nothing escaped (no '"', '\\' or
  // control character): its size is then its characters, found without looking for escapes.
  bool unescaped_text() const { return bits_ & unescaped_bit; }
  void mark_unescaped() { bits_ |= unescaped_bit; }
  // Set by a reader on a number or string whose text it saw is all ASCII.
  bool ascii_text() const { return bits_ & ascii_bit; }
  void mark_ascii() { bits_ |= ascii_bit; }
  // The cost and characters a reader kept in front of a string's borrowed text, or null. A copy
  // owns its text and drops them.
  const TextCosts* costs() const {
    return bits_ & costed_bit ? reinterpret_cast<const TextCosts*>(span_data()) - 1 : nullptr;
  }
  // Makes this borrowed string's text one preceded by its TextCosts.
  void mark_costed() { bits_ |= costed_bit; }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_number() const { return kind() == Kind::Number; }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }
  bool is_scalar() const { return kind() < Kind::Array; }

  bool as_bool() const { return tag_ != 0; }
  // Text of a number or string.
  std::string_view text() const {
    if (tag_ <= inline_capacity) return {reinterpret_cast<const char*>(raw_), tag_};
    if (tag_ >= borrowed_marker) return {span_data(), span_size()};
    const TextRecord* r = record();
    return {r->data, r->size};
  }
  // The facts a reader found for this string's text, or null.
  const TextFacts* facts() const { return kind() == Kind::String && tag_ == record_marker ? record()->facts : nullptr; }
  const Array& items() const { return items_; }
  Array& items() { return items_; }
  const Object& members() const { return members_; }
  Object& members() { return members_; }

 private:
  static constexpr std::uint8_t heap_marker = 0xFF;
  static constexpr std::uint8_t borrowed_marker = 0xFE;
  static constexpr std::uint8_t record_marker = 0xFD;        // borrowed record
  static constexpr std::uint8_t owned_record_marker = 0xFC;  // the value's own record

  Value(Kind k, std::string_view text) : bits_(static_cast<std::uint8_t>(k)) { set_text(text); }

  bool has_text() const { return kind() == Kind::Number || kind() == Kind::String; }
  const char* span_data() const {
    const char* p;
    std::memcpy(&p, raw_, sizeof p);
    return p;
  }
  std::size_t span_size() const {
    std::uint32_t n;
    std::memcpy(&n, raw_ + sizeof(char*), sizeof n);
    return n;
  }
  const TextRecord* record() const {
    const TextRecord* r;
    std::memcpy(&r, raw_, sizeof r);
    return r;
  }
  void set_text(std::string_view text);
  void copy_inline(std::string_view text) { copy_short(raw_, text.data(), text.size()); }
  void set_span(const char* p, std::size_t n, std::uint8_t marker) {
    const auto n32 = static_cast<std::uint32_t>(n);
    std::memcpy(raw_, &p, sizeof p);
    std::memcpy(raw_ + sizeof p, &n32, sizeof n32);
    tag_ = marker;
  }
  void set_record(const TextRecord* r, std::uint8_t marker) {
    std::memcpy(raw_, &r, sizeof r);
    tag_ = marker;
  }

  // Scalars and inline or borrowed texts take the inline path; the rest is out of line.
  void destroy() noexcept {
    if (kind() > Kind::Bool && (!has_text() || tag_ == heap_marker || tag_ == owned_record_marker)) destroy_payload();
    bits_ = 0;
    tag_ = 0;
  }
  void move_from(Value&& other) noexcept {
    bits_ = other.bits_;
    tag_ = other.tag_;
    if (kind() >= Kind::Array) {
      move_payload(std::move(other));
    } else if (kind() >= Kind::Number) {
      std::memcpy(raw_, other.raw_, sizeof raw_);
      other.bits_ = 0;
      other.tag_ = 0;
    }
  }
  void destroy_payload() noexcept;
  void move_payload(Value&& other) noexcept;
  void copy_from(const Value& other);

  union {
    unsigned char raw_[inline_capacity];  // inline text, or pointer then 32-bit size, or a record's pointer
    Array items_;
    Object members_;
  };
  static constexpr std::uint8_t kind_mask = 7, unescaped_bit = 8, ascii_bit = 16, costed_bit = 32;
  std::uint8_t tag_;   // inline text length or a marker; a boolean's value
  std::uint8_t bits_;  // the Kind, unescaped_bit, ascii_bit and costed_bit
};

// An object key. Up to 15 bytes live inline; a longer key owns one heap block
// or, in the reader's tree, is borrowed like a value's text (a key too long
// for a 32-bit size goes through an owned TextRecord). Reads as a
// std::string_view; copies always own their text.
class Key {
 public:
  static constexpr std::size_t inline_capacity = 15;

  Key() noexcept : tag_(0) {}
  Key(std::string_view text) { init(text, false); }
  Key(const std::string& text) : Key(std::string_view(text)) {}
  Key(const char* text) : Key(std::string_view(text)) {}
  Key(std::string_view text, Value::Borrow) { init(text, true); }
  // At most inline_capacity bytes from a buffer readable for inline_capacity
  // bytes at `text` (see Value's padded constructor); the bytes past the key
  // are cleared, as every inline key keeps them.
  Key(const char* text, std::size_t n, Value::Padded) noexcept : tag_(static_cast<std::uint8_t>(n)) {
    std::uint64_t a, b;  // bytes 0-7 and 7-14
    std::memcpy(&a, text, 8);
    std::memcpy(&b, text + 7, 8);
    a &= n >= 8 ? ~0ull : (1ull << (8 * n)) - 1;
    b &= n >= 8 ? ~0ull >> (8 * (inline_capacity - n)) : 0;
    std::memcpy(raw_, &a, 8);
    std::memcpy(raw_ + 7, &b, 8);
  }
  Key(const Key& other) : Key(other.view()) {}
  Key(Key&& other) noexcept : tag_(other.tag_) {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.tag_ = 0;
  }
  Key& operator=(const Key& other) {
    if (this != &other) *this = Key(other);
    return *this;
  }
  Key& operator=(Key&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(raw_, other.raw_, sizeof raw_);
      tag_ = other.tag_;
      other.tag_ = 0;
    }
    return *this;
  }
  ~Key() { release(); }

  std::string_view view() const noexcept {
    if (tag_ <= inline_capacity) return {raw_, tag_};
    const char* p;
    std::memcpy(&p, raw_, sizeof p);
    if (tag_ == record) {
      const auto* r = reinterpret_cast<const TextRecord*>(p);
      return {r->data, r->size};
    }
    std::uint32_t n;
    std::memcpy(&n, raw_ + sizeof p, sizeof n);
    return {p, n};
  }
  operator std::string_view() const noexcept { return view(); }
  const char* data() const noexcept { return view().data(); }
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return tag_ == 0; }

  friend bool operator==(const Key& a, std::string_view b) noexcept { return a.view() == b; }
  // a == b. Keys equal in all 16 bytes are the same (inline: the unused bytes are always zero;
  // otherwise: the same text); two inline keys that differ are different.
  friend bool same_key(const Key& a, const Key& b) noexcept {
    const auto* pa = reinterpret_cast<const unsigned char*>(&a);
    const auto* pb = reinterpret_cast<const unsigned char*>(&b);
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, pa, 8);
    std::memcpy(&a1, pa + 8, 8);
    std::memcpy(&b0, pb, 8);
    std::memcpy(&b1, pb + 8, 8);
    if (((a0 ^ b0) | (a1 ^ b1)) == 0) return true;
    if (a.tag_ <= inline_capacity && b.tag_ <= inline_capacity) return false;
    return same_short_text(a.view(), b.view());
  }

 private:
  static constexpr std::uint8_t owned = 0xFF;
  static constexpr std::uint8_t borrowed = 0xFE;
  static constexpr std::uint8_t record = 0xFD;  // an owned TextRecord

  void init(std::string_view text, bool borrow) {
    if (text.size() <= inline_capacity) {
      copy_inline(text.data(), text.size());
      tag_ = static_cast<std::uint8_t>(text.size());
      return;
    }
    const char* p = text.data();
    if (!borrow) {
      char* copy = static_cast<char*>(::operator new(text.size()));
      std::memcpy(copy, text.data(), text.size());
      p = copy;
    }
    if (text.size() > UINT32_MAX) {
      const TextRecord* r = new TextRecord{p, text.size(), nullptr, !borrow};
      std::memcpy(raw_, &r, sizeof r);
      tag_ = record;
      return;
    }
    const auto n = static_cast<std::uint32_t>(text.size());
    std::memcpy(raw_, &p, sizeof p);
    std::memcpy(raw_ + sizeof p, &n, sizeof n);
    tag_ = borrow ? borrowed : owned;
  }
  void copy_inline(const char* src, std::size_t n) noexcept { copy_short(raw_, src, n); }
  void release() noexcept {
    if (tag_ == owned || tag_ == record) release_payload();
    tag_ = 0;
  }
  void release_payload() noexcept;

  char raw_[inline_capacity] = {};  // inline text (zero after it), or pointer then 32-bit size, or a record's pointer
  std::uint8_t tag_;                // inline length, owned, borrowed or record
};

struct Member {
  Key key;
  Value value;
};

inline Value Value::object() { return object(Object{}); }
inline void Value::become_object(Object&& members) noexcept {
  bits_ = static_cast<std::uint8_t>(Kind::Object);
  new (&members_) Object(std::move(members));
}

// Lower-case kind name as used in messages and shape fingerprints.
std::string_view kind_name(Kind k);

// Null, the empty string, the empty array or the empty object.
inline bool is_empty(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return true;
    case Kind::String: return v.text().empty();
    case Kind::Array: return v.items().empty();
    case Kind::Object: return v.members().empty();
    default: return false;
  }
}

// Structural equality (numbers compared by text, objects pair by pair in order).
bool operator==(const Value& a, const Value& b);
inline bool operator==(const Member& a, const Member& b) { return a.key == b.key.view() && a.value == b.value; }

}  // namespace tavisk
