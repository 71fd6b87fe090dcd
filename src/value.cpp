#include "value.h"

namespace tavisk {

static_assert(sizeof(Value) == 16, "a Value is a kind, a tag and one text or list handle");
static_assert(sizeof(Key) == 16 && sizeof(Member) == 32, "a member is a key and a value, nothing more");

namespace {

void free_record(const TextRecord* r) noexcept {
  if (r->owns_data) ::operator delete(const_cast<char*>(r->data));
  delete r;
}

}  // namespace

Value Value::array(Array items) {
  Value v;
  v.bits_ = static_cast<std::uint8_t>(Kind::Array);
  new (&v.items_) Array(std::move(items));
  return v;
}

Value Value::object(Object members) {
  Value v;
  v.bits_ = static_cast<std::uint8_t>(Kind::Object);
  new (&v.members_) Object(std::move(members));
  return v;
}

void Value::set_text(std::string_view text) {
  if (text.size() <= inline_capacity) {
    tag_ = static_cast<std::uint8_t>(text.size());
    copy_inline(text);
    return;
  }
  char* p = static_cast<char*>(::operator new(text.size()));
  std::memcpy(p, text.data(), text.size());
  if (text.size() <= UINT32_MAX)
    set_span(p, text.size(), heap_marker);
  else
    set_record(new TextRecord{p, text.size(), nullptr, true}, owned_record_marker);
}

void Key::release_payload() noexcept {
  const char* p;
  std::memcpy(&p, raw_, sizeof p);
  if (tag_ == owned)
    ::operator delete(const_cast<char*>(p));
  else
    free_record(reinterpret_cast<const TextRecord*>(p));
}

void Value::destroy_payload() noexcept {
  switch (kind()) {
    case Kind::Number:
    case Kind::String:
      if (tag_ == heap_marker)
        ::operator delete(const_cast<char*>(span_data()));
      else if (tag_ == owned_record_marker)
        free_record(record());
      break;
    case Kind::Array: items_.~Array(); break;
    case Kind::Object: members_.~Object(); break;
    default: break;
  }
}

void Value::copy_from(const Value& other) {
  bits_ = other.bits_ & ~costed_bit;  // a copied text is the same text (its marks hold) but not beside its costs
  tag_ = has_text() ? 0 : other.tag_;  // a copied text owns itself, without facts
  switch (kind()) {
    case Kind::Number:
    case Kind::String: set_text(other.text()); break;
    case Kind::Array: new (&items_) Array(other.items_); break;
    case Kind::Object: new (&members_) Object(other.members_); break;
    default: break;
  }
}

void Value::move_payload(Value&& other) noexcept {
  switch (kind()) {
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
