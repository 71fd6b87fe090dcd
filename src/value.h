// The document tree: six kinds, numbers kept as source text, objects as
// ordered key/value lists (repeated keys allowed). A node owns its payload or
// borrows it from storage that outlives it (see below).
//
// A Value is 32 bytes. Texts of up to 24 bytes live inline; longer ones sit in
// one exactly sized heap block, or are borrowed from storage that outlives the
// value (the input text or an arena, for the tree the reader builds). Text
// payloads are plain bytes, so moving a number or string copies 32 bytes and
// never touches the allocator; copying a value always gives it its own text.
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

enum class Kind : std::uint8_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct Member;

class Value {
 public:
  using Array = List<Value>;
  using Object = List<Member>;

  // Longest text held inside the value itself.
  static constexpr std::size_t inline_capacity = 24;

  Value() noexcept : kind_(Kind::Null) {}
  ~Value() { destroy(); }

  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v;
    v.kind_ = Kind::Bool;
    v.flag_ = b;
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
  Value(Kind k, std::string_view text, Borrow) : kind_(k) {
    if (text.size() <= inline_capacity) {
      text_size_ = static_cast<std::uint8_t>(text.size());
      copy_inline(text);
    } else {
      set_span(text.data(), text.size(), borrowed_marker);
    }
  }
  static Value borrowed(Kind k, std::string_view text) { return Value(k, text, borrow); }
  // A borrowed string longer than the inline capacity with the facts of its
  // text (storage that outlives the value, like the text). Copies drop them.
  Value(std::string_view text, Value::Borrow, const TextFacts* facts) : Value(Kind::String, text, borrow) {
    if (text_size_ == borrowed_marker && facts) {
      std::memcpy(raw_ + 2 * sizeof(char*), &facts, sizeof facts);
      flag_ = true;
    }
  }
  static Value array(Array items = {});
  static Value object();  // empty; defined below, where Member is complete
  static Value object(Object members);
  // Makes this null value an array or object over `list`, in place: a reader
  // filling a slot it knows to hold null skips the temporary and its moves.
  void become_array(Array&& items) noexcept {
    kind_ = Kind::Array;
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

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_bool() const { return kind_ == Kind::Bool; }
  bool is_number() const { return kind_ == Kind::Number; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_array() const { return kind_ == Kind::Array; }
  bool is_object() const { return kind_ == Kind::Object; }
  bool is_scalar() const { return kind_ != Kind::Array && kind_ != Kind::Object; }

  bool as_bool() const { return flag_; }
  // Text of a number or string.
  std::string_view text() const {
    if (text_inline()) return {reinterpret_cast<const char*>(raw_), text_size_};
    return {span_data(), span_size()};
  }
  // The facts a reader found for this string's text, or null.
  const TextFacts* facts() const {
    if (kind_ != Kind::String || !flag_) return nullptr;
    const TextFacts* f;
    std::memcpy(&f, raw_ + 2 * sizeof(char*), sizeof f);
    return f;
  }
  const Array& items() const { return items_; }
  Array& items() { return items_; }
  const Object& members() const { return members_; }
  Object& members() { return members_; }

 private:
  static constexpr std::uint8_t heap_marker = 0xFF;
  static constexpr std::uint8_t borrowed_marker = 0xFE;

  Value(Kind k, std::string_view text) : kind_(k) { set_text(text); }

  bool has_text() const { return kind_ == Kind::Number || kind_ == Kind::String; }
  bool text_inline() const { return text_size_ <= inline_capacity; }
  const char* span_data() const {
    const char* p;
    std::memcpy(&p, raw_, sizeof p);
    return p;
  }
  std::size_t span_size() const {
    std::size_t n;
    std::memcpy(&n, raw_ + sizeof(char*), sizeof n);
    return n;
  }
  void set_text(std::string_view text);
  // Copies a text of at most inline_capacity bytes into raw_ with a few fixed
  // size moves (overlapping where needed) instead of a library call.
  void copy_inline(std::string_view text) {
    const char* src = text.data();
    const std::size_t n = text.size();
    if (n >= 8) {
      std::uint64_t a, b, c;
      std::memcpy(&a, src, 8);
      std::memcpy(&b, src + (n > 16 ? 8 : n - 8), 8);
      std::memcpy(&c, src + n - 8, 8);
      std::memcpy(raw_, &a, 8);
      std::memcpy(raw_ + (n > 16 ? 8 : n - 8), &b, 8);
      std::memcpy(raw_ + n - 8, &c, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + n - 4, 4);
      std::memcpy(raw_, &a, 4);
      std::memcpy(raw_ + n - 4, &b, 4);
    } else {
      for (std::size_t i = 0; i < n; ++i) raw_[i] = static_cast<unsigned char>(src[i]);
    }
  }
  void set_span(const char* p, std::size_t n, std::uint8_t marker) {
    std::memcpy(raw_, &p, sizeof p);
    std::memcpy(raw_ + sizeof p, &n, sizeof n);
    text_size_ = marker;
  }

  // Scalars and inline texts take the inline path; the rest is out of line.
  void destroy() noexcept {
    if (kind_ > Kind::Bool && (!has_text() || text_size_ == heap_marker)) destroy_payload();
    kind_ = Kind::Null;
  }
  void move_from(Value&& other) noexcept {
    kind_ = other.kind_;
    flag_ = other.flag_;
    text_size_ = other.text_size_;
    if (has_text()) {
      std::memcpy(raw_, other.raw_, sizeof raw_);
      other.kind_ = Kind::Null;
    } else if (kind_ > Kind::Bool) {
      move_payload(std::move(other));
    }
  }
  void destroy_payload() noexcept;
  void move_payload(Value&& other) noexcept;
  void copy_from(const Value& other);

  union {
    unsigned char raw_[inline_capacity];  // inline text, or pointer then size (then a string's facts)
    Array items_;
    Object members_;
  };
  Kind kind_;
  bool flag_ = false;  // a boolean's value; for a string, whether it carries facts
  std::uint8_t text_size_ = 0;  // inline text length, or heap_marker or borrowed_marker
};

// An object key. Up to 23 bytes live inline; a longer key owns one heap block
// or, in the reader's tree, is borrowed like a value's text. Reads as a
// std::string_view; copies always own their text.
class Key {
 public:
  static constexpr std::size_t inline_capacity = 23;

  Key() noexcept : tag_(0) {}
  Key(std::string_view text) { init(text, false); }
  Key(const std::string& text) : Key(std::string_view(text)) {}
  Key(const char* text) : Key(std::string_view(text)) {}
  Key(std::string_view text, Value::Borrow) noexcept { init(text, true); }
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
    std::size_t n;
    std::memcpy(&p, raw_, sizeof p);
    std::memcpy(&n, raw_ + sizeof p, sizeof n);
    return {p, n};
  }
  operator std::string_view() const noexcept { return view(); }
  const char* data() const noexcept { return view().data(); }
  std::size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return tag_ == 0; }

  friend bool operator==(const Key& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  static constexpr std::uint8_t owned = 0xFF;
  static constexpr std::uint8_t borrowed = 0xFE;

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
    const std::size_t n = text.size();
    std::memcpy(raw_, &p, sizeof p);
    std::memcpy(raw_ + sizeof p, &n, sizeof n);
    tag_ = borrow ? borrowed : owned;
  }
  // Copies at most inline_capacity bytes with a few fixed size moves
  // (overlapping where needed): keys are short and many, and a library call
  // per key costs more than the copy.
  void copy_inline(const char* src, std::size_t n) noexcept {
    if (n >= 8) {
      std::uint64_t a, b, c;
      std::memcpy(&a, src, 8);
      std::memcpy(&b, src + (n > 16 ? 8 : n - 8), 8);
      std::memcpy(&c, src + n - 8, 8);
      std::memcpy(raw_, &a, 8);
      std::memcpy(raw_ + (n > 16 ? 8 : n - 8), &b, 8);
      std::memcpy(raw_ + n - 8, &c, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + n - 4, 4);
      std::memcpy(raw_, &a, 4);
      std::memcpy(raw_ + n - 4, &b, 4);
    } else {
      for (std::size_t i = 0; i < n; ++i) raw_[i] = src[i];
    }
  }
  void release() noexcept {
    if (tag_ == owned) ::operator delete(const_cast<char*>(view().data()));
    tag_ = 0;
  }

  char raw_[inline_capacity] = {};  // inline text, or pointer then size
  std::uint8_t tag_;                // inline length, owned or borrowed
};

struct Member {
  Key key;
  Value value;
};

inline Value Value::object() { return object(Object{}); }
inline void Value::become_object(Object&& members) noexcept {
  kind_ = Kind::Object;
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
