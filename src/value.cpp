#include "value.h"

namespace tavisk {

static_assert(sizeof(Value) == 32, "a Value is a tag, a flag and one text or list handle");
static_assert(sizeof(Key) == 24 && sizeof(Member) == 56, "a member is a key and a value, nothing more");

Value Value::array(Array items) {
  Value v;
  v.kind_ = Kind::Array;
  new (&v.items_) Array(std::move(items));
  return v;
}

Value Value::object(Object members) {
  Value v;
  v.kind_ = Kind::Object;
  new (&v.members_) Object(std::move(members));
  return v;
}

void Value::set_text(std::string_view text) {
  if (text.size() <= inline_capacity) {
    text_size_ = static_cast<std::uint8_t>(text.size());
    copy_inline(text);
    return;
  }
  char* p = static_cast<char*>(::operator new(text.size()));
  std::memcpy(p, text.data(), text.size());
  set_span(p, text.size(), heap_marker);
}

void Value::destroy_payload() noexcept {
  switch (kind_) {
    case Kind::Number:
    case Kind::String:
      if (text_size_ == heap_marker) ::operator delete(const_cast<char*>(span_data()));
      break;
    case Kind::Array: items_.~Array(); break;
    case Kind::Object: members_.~Object(); break;
    default: break;
  }
}

void Value::copy_from(const Value& other) {
  kind_ = other.kind_;
  flag_ = has_text() ? false : other.flag_;  // a copied text owns itself, without facts
  switch (kind_) {
    case Kind::Number:
    case Kind::String: set_text(other.text()); break;
    case Kind::Array: new (&items_) Array(other.items_); break;
    case Kind::Object: new (&members_) Object(other.members_); break;
    default: break;
  }
}

void Value::move_payload(Value&& other) noexcept {
  switch (kind_) {
    case Kind::Array: new (&items_) Array(std::move(other.items_)); break;
    case Kind::Object: new (&members_) Object(std::move(other.members_)); break;
    default: break;
  }
  other.destroy();
}

std::string_view kind_name(Kind k) {
  switch (k) {
    case Kind::Null: return "null";
    case Kind::Bool: return "bool";
    case Kind::Number: return "number";
    case Kind::String: return "string";
    case Kind::Array: return "array";
    case Kind::Object: return "object";
  }
  return "null";
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return a.as_bool() == b.as_bool();
    case Kind::Number:
    case Kind::String: return a.text() == b.text();
    case Kind::Array: return a.items() == b.items();
    case Kind::Object: return a.members() == b.members();
  }
  return false;
}

}  // namespace tavisk
