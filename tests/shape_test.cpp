#include "shape.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fields.h"
#include "json.h"
#include "prune.h"
#include "siphash.h"

namespace tavisk {
namespace {

std::string bytes_upto(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

constexpr std::uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;

TEST(SipHash13, ReferenceVectors) {
  // Key 00..0f, message 00 01 .. (n-1).
  const std::pair<std::size_t, std::uint64_t> vectors[] = {
      {0, 0xabac0158050fc4dcull},  {1, 0xc9f49bf37d57ca93ull},  {7, 0xd3927d989bb11140ull},
      {8, 0x369095118d299a8eull},  {9, 0x25a48eb36c063de4ull},  {15, 0xd320d86d2a519956ull},
      {16, 0xcc4fdd1a7d908b66ull}, {31, 0x2370dd1f8c21d1bcull}, {63, 0x9d199062b7bbb3a8ull},
  };
  for (auto [n, digest] : vectors) EXPECT_EQ(siphash13(bytes_upto(n), k0, k1), digest) << "length " << n;
  EXPECT_EQ(siphash13(""), 0xd1fba762150c532cull);
  EXPECT_EQ(siphash13("abc"), 0xc03bc3a0042630f2ull);
}

TEST(SipHash13, IncrementalWritesEqualOneShot) {
  std::string msg = bytes_upto(63);
  std::uint64_t whole = siphash13(msg, k0, k1);
  for (std::size_t a = 0; a <= msg.size(); ++a) {
    for (std::size_t b = a; b <= msg.size(); b += 5) {
      SipHasher13 h(k0, k1);
      h.write(std::string_view(msg).substr(0, a));
      h.write(std::string_view(msg).substr(a, b - a));
      for (std::size_t i = b; i < msg.size(); ++i) h.write_u8(static_cast<std::uint8_t>(msg[i]));
      ASSERT_EQ(h.finish(), whole) << a << " " << b;
    }
  }
  SipHasher13 h;
  h.write("x");
  h.write_u64_le(0x0807060504030201ull);
  EXPECT_EQ(h.finish(), siphash13("x\x01\x02\x03\x04\x05\x06\x07\x08"));
}

Value object_of(std::initializer_list<const char*> keys) {
  Value::Object members;
  for (const char* k : keys) members.push_back(Member{k, Value::null()});
  return Value::object(std::move(members));
}

TEST(Shape, DigestsOfTheFingerprintBytes) {
  // "string" 0xFF; "object" 0xFF, count u64 LE, keys ascending by byte, each + 0xFF.
  EXPECT_EQ(shape_of(Value::string("anything")), 0x7a4df7d0447d6a2full);
  EXPECT_EQ(shape_of(Value::array({Value::null()})), 0x5e41ea30263501eull);
  EXPECT_EQ(shape_of(Value::object()), 0x61db62efe3d95133ull);
  EXPECT_EQ(shape_of(object_of({"b", "a"})), 0x4d22d1e3c2f0667bull);
  // Bytes compare unsigned: "z" (0x7A) sorts before "é" (0xC3 0xA9).
  EXPECT_EQ(shape_of(object_of({"\xC3\xA9", "z"})), 0x870670f98e3db754ull);
}

TEST(Shape, EqualityIgnoresKeyOrderAndRepeats) {
  EXPECT_EQ(shape_of(object_of({"a", "b", "c"})), shape_of(object_of({"c", "a", "b"})));
  EXPECT_EQ(shape_of(object_of({"a", "b"})), shape_of(object_of({"b", "a", "b", "a"})));
  EXPECT_NE(shape_of(object_of({"a", "b"})), shape_of(object_of({"a"})));
  EXPECT_NE(shape_of(object_of({"ab"})), shape_of(object_of({"a", "b"})));
  EXPECT_EQ(shape_of(Value::number("1")), shape_of(Value::number("2.5")));
  EXPECT_EQ(shape_of(Value::boolean(true)), shape_of(Value::boolean(false)));
  EXPECT_NE(shape_of(Value::null()), shape_of(Value::boolean(false)));
  EXPECT_NE(shape_of(Value::array()), shape_of(Value::object()));
  EXPECT_NE(shape_of(Value::string("1")), shape_of(Value::number("1")));

  // Objects with many keys take another path; equality must hold there too.
  Value::Object forward, backward;
  for (int i = 0; i < 50; ++i) forward.push_back(Member{"k" + std::to_string(i), Value::null()});
  for (int i = 49; i >= 0; --i) backward.push_back(Member{"k" + std::to_string(i), Value::null()});
  backward.push_back(Member{"k7", Value::null()});
  Value f = Value::object(forward), b = Value::object(backward);
  EXPECT_EQ(shape_of(f), shape_of(b));
  forward.pop_back();
  EXPECT_NE(shape_of(Value::object(forward)), shape_of(f));
}

}  // namespace
}  // namespace tavisk

namespace tavisk {
namespace {

// Analysis reuses the shape of an object that repeats the key sequence of the
// last object at its depth; every node must still get exactly its own shape.
TEST(Shape, AnalysisGivesEveryNodeItsOwnShape) {
  const char* doc = R"([{"a":1,"b":{"x":1}},{"a":2,"b":{"y":1}},{"b":3,"a":{"x":1}},{"a":1,"c":1},
                        {"a":1,"b":{"x":1}},[{"a":1}],{"a":1,"b":{"x":1,"y":2}}])";
  Value v = json::parse(doc).value();
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Path path;
  const Meta m = p.analyze_at(v, 0, path, false);
  // Walks value and meta together, comparing with a fresh fingerprint.
  std::function<void(const Value&, const Meta&)> check = [&](const Value& node, const Meta& meta) {
    EXPECT_EQ(meta.shape(), shape_of(node)) << json::to_string(node);
    if (node.is_array())
      for (std::size_t i = 0; i < node.items().size(); ++i) check(node.items()[i], meta.children()[i]);
    if (node.is_object())
      for (std::size_t i = 0; i < node.members().size(); ++i) check(node.members()[i].value, meta.children()[i]);
  };
  check(v, m);
  // Same keys in another order share a shape; other keys do not.
  EXPECT_EQ(m.children()[0].shape(), m.children()[2].shape());
  EXPECT_NE(m.children()[0].shape(), m.children()[3].shape());
  EXPECT_NE(m.children()[0].children()[1].shape(), m.children()[1].children()[1].shape());
}

// Records whose members are objects of several shapes, more of them than the
// analysis remembers per depth, in a repeating and then a shifted order.
TEST(Shape, SiblingObjectsOfManyShapesEachGetTheirOwn) {
  std::string doc = "[";
  const char* members[] = {R"("p":{"a":1,"b":2})", R"("g":{"t":1,"c":[1,2]})", R"("q":{"a":1})",
                           R"("r":{"b":2,"a":1})", R"("s":{"z":null})",        R"("u":{"a":1,"b":2,"c":3})"};
  for (int rec = 0; rec < 12; ++rec) {
    if (rec) doc += ",";
    doc += "{";
    const int n = rec < 6 ? 6 : 2 + rec % 5;  // all six, then fewer and rotated
    for (int k = 0; k < n; ++k) {
      if (k) doc += ",";
      doc += members[(k + (rec < 6 ? 0 : rec)) % 6];
    }
    doc += "}";
  }
  doc += "]";
  Value v = json::parse(doc).value();
  Options o;
  Pruner p = Pruner::with_scorer(false, 0, o, HEURISTIC);
  Path path;
  const Meta m = p.analyze_at(v, 0, path, false);
  for (std::size_t r = 0; r < v.items().size(); ++r) {
    const Value& record = v.items()[r];
    ASSERT_EQ(m.children()[r].shape(), shape_of(record)) << r;
    for (std::size_t k = 0; k < record.members().size(); ++k)
      ASSERT_EQ(m.children()[r].children()[k].shape(), shape_of(record.members()[k].value)) << r << " " << k;
  }
}

}  // namespace
}  // namespace tavisk
