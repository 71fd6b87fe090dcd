// Resolution of YAML scalars by the YAML 1.2 core schema, honouring the
// standard scalar tags.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "value.h"

namespace tavisk::yaml_in {

// The schema type a scalar resolved to; distinct bits so a set of them fits a byte.
enum class ScalarKind : std::uint8_t { Null = 1, Bool = 2, Int = 4, Real = 8, String = 16 };

// A resolved scalar: its schema type and its value. A number's or string's
// text is a part of the scalar's own text, a constant, or `made` when it had
// to be written anew.
struct Resolved {
  ScalarKind kind = ScalarKind::Null;
  Kind value = Kind::Null;
  bool truth = false;
  std::string_view text;
  std::string made;
};

// YAML's indicator characters: none starts a plain scalar, but for '-', '?'
// and ':' before a character other than white space.
inline bool indicator(char32_t c) {
  switch (c) {
    case '-':
    case '?':
    case ':':
    case ',':
    case '[':
    case ']':
    case '{':
    case '}':
    case '#':
    case '&':
    case '*':
    case '!':
    case '|':
    case '>':
    case '\'':
    case '"':
    case '%':
    case '@':
    case '`': return true;
    default: return false;
  }
}

// Whether a plain scalar's text may resolve to other than a string: every
// null, boolean, integer and float form is empty or starts with one of these.
inline bool may_not_be_string(std::string_view t) {
  if (t.empty()) return true;
  switch (t[0]) {
    case '~':
    case 'n':
    case 'N':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case '+':
    case '-':
    case '.': return true;
    default: return t[0] >= '0' && t[0] <= '9';
  }
}

// Resolves one scalar into `out`. `plain` is false for quoted and block
// scalars; `tag` is the resolved tag text, empty when the scalar carries
// none. False when a standard tag demands a type the text does not have.
bool resolve_scalar(std::string_view text, bool plain, std::string_view tag, Resolved& out);

// Of a scalar that resolved to a real: a text equal for equal values, so
// that two spellings of one number are one mapping key.
std::string real_identity(std::string_view text);

}  // namespace tavisk::yaml_in
