// The document tree: six kinds, numbers kept as source text, objects as
// ordered key/value lists (repeated keys allowed). Every node owns its payload.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavisk {

enum class Kind : std::uint8_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

struct Member;

class Value {
 public:
  using Array = std::vector<Value>;
  using Object = std::vector<Member>;

  Value() noexcept : kind_(Kind::Null) {}
  ~Value() { destroy(); }

  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v;
    v.kind_ = Kind::Bool;
    v.flag_ = b;
    return v;
  }
  static Value number(std::string text) { return Value(Kind::Number, std::move(text)); }
  static Value string(std::string text) { return Value(Kind::String, std::move(text)); }
  static Value number(std::string_view text) { return Value(Kind::Number, text); }
  static Value string(std::string_view text) { return Value(Kind::String, text); }
  static Value number(const char* text) { return Value(Kind::Number, std::string_view(text)); }
  static Value string(const char* text) { return Value(Kind::String, std::string_view(text)); }
  static Value array(Array items = {});
  static Value object();  // empty; defined below, where Member is complete
  static Value object(Object members);

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
  const std::string& text() const { return text_; }
  std::string& text() { return text_; }
  const Array& items() const { return items_; }
  Array& items() { return items_; }
  const Object& members() const { return members_; }
  Object& members() { return members_; }

 private:
  Value(Kind k, std::string text) : kind_(k) { new (&text_) std::string(std::move(text)); }
  Value(Kind k, std::string_view text) : kind_(k) { new (&text_) std::string(text); }

  // Scalars without payload take the inline path; the rest is out of line.
  void destroy() noexcept {
    if (kind_ > Kind::Bool) destroy_payload();
    kind_ = Kind::Null;
  }
  void move_from(Value&& other) noexcept {
    kind_ = other.kind_;
    flag_ = other.flag_;
    if (kind_ > Kind::Bool) move_payload(std::move(other));
  }
  void destroy_payload() noexcept;
  void move_payload(Value&& other) noexcept;
  void copy_from(const Value& other);

  Kind kind_;
  bool flag_ = false;
  union {
    std::string text_;
    Array items_;
    Object members_;
  };
};

struct Member {
  std::string key;
  Value value;
};

inline Value Value::object() { return object(Object{}); }

// Lower-case kind name as used in messages and shape fingerprints.
std::string_view kind_name(Kind k);

// Null, the empty string, the empty array or the empty object.
bool is_empty(const Value& v);

// Structural equality (numbers compared by text, objects pair by pair in order).
bool operator==(const Value& a, const Value& b);
inline bool operator==(const Member& a, const Member& b) { return a.key == b.key && a.value == b.value; }

}  // namespace tavisk
