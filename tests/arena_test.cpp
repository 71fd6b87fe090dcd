// The per-call arena, lists and texts borrowed from it, and the reader's tree
// built in it: same tree as the owning reader, safe to copy, grow and destroy.
#include "arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "json.h"
#include "test_util.h"
#include "value.h"

namespace tavisk {
namespace {

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

TEST(Arena, AlignsEveryRequestAndNeverOverlaps) {
  Arena arena;
  std::vector<std::pair<std::uintptr_t, std::size_t>> spans;
  // Odd sizes interleaved with aligned ones, across many heap blocks and into mapped ones.
  for (std::size_t i = 0; i < 20000; ++i) {
    const std::size_t align = std::size_t{1} << (i % 5);  // 1 .. 16
    const std::size_t bytes = (i * 7919) % 3000 + 1;
    void* p = arena.allocate(bytes, align);
    ASSERT_EQ(address(p) % align, 0u) << i;
    std::memset(p, static_cast<int>(i), bytes);  // ASan checks the span is ours
    spans.emplace_back(address(p), bytes);
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) ASSERT_LE(spans[i - 1].first + spans[i - 1].second, spans[i].first);
  EXPECT_GT(arena.mapped_bytes(), 0u);  // 30 MB asked for: past the heap stage
  EXPECT_EQ(arena.mapped_bytes() % (2u << 20), 0u);
}

TEST(Arena, LargeRequestsDoNotAbandonTheCurrentBlock) {
  Arena arena;
  char* a = static_cast<char*>(arena.allocate(100, 1));
  char* big = static_cast<char*>(arena.allocate(200000, 8));  // a block of its own
  char* b = static_cast<char*>(arena.allocate(100, 1));
  EXPECT_EQ(b, a + 100);  // still bump-allocating in the first block
  EXPECT_TRUE(big < a || big >= a + 65536);
  std::memset(big, 1, 200000);
}

// Blocks taken over from another arena live on with the taker, whose own block stays current.
TEST(Arena, AbsorbedBlocksLiveAsLongAsTheTaker) {
  Arena taker;
  char* first = static_cast<char*>(taker.allocate(100, 1));
  const std::size_t before = taker.heap_bytes() + taker.mapped_bytes();
  char* big = nullptr;
  char* small = nullptr;
  {
    Arena other;
    big = static_cast<char*>(other.allocate(300000, 1));
    small = static_cast<char*>(other.allocate(100, 1));
    std::memset(big, 7, 300000);
    std::memset(small, 8, 100);
    const std::size_t moved = other.heap_bytes() + other.mapped_bytes();
    taker.absorb(other);
    EXPECT_EQ(other.heap_bytes() + other.mapped_bytes(), 0u);
    EXPECT_EQ(taker.heap_bytes() + taker.mapped_bytes(), before + moved);
  }
  EXPECT_EQ(big[0] + big[299999] + small[0] + small[99], 7 + 7 + 8 + 8);
  EXPECT_EQ(static_cast<char*>(taker.allocate(100, 1)), first + 100);
}

// An arena that held nothing carries on bump-allocating in the block it absorbed.
TEST(Arena, AnEmptyTakerCarriesOnInTheAbsorbedBlock) {
  Arena taker;
  char* a = nullptr;
  {
    Arena other;
    a = static_cast<char*>(other.allocate(100, 1));
    taker.absorb(other);
  }
  EXPECT_EQ(static_cast<char*>(taker.allocate(100, 1)), a + 100);
}

Value::Array borrowed_items(Arena& arena, std::initializer_list<const char*> texts) {
  Value* data = arena.allocate_array<Value>(texts.size());
  std::size_t i = 0;
  for (const char* t : texts) new (data + i++) Value(Value::string(t));
  return Value::Array::borrow(data, texts.size());
}

TEST(BorrowedList, GrowsIntoItsOwnBlockAndKeepsItsElements) {
  Arena arena;
  auto items = borrowed_items(arena, {"a", "a text longer than twenty-four bytes, owned", "c"});
  Value* first = items.data();
  EXPECT_EQ(items.capacity(), 3u);
  items.push_back(Value::string("d"));
  EXPECT_NE(items.data(), first);  // moved out of the arena
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[1].text(), "a text longer than twenty-four bytes, owned");
  EXPECT_EQ(items[3].text(), "d");
  EXPECT_GE(items.capacity(), 4u);
}

TEST(BorrowedList, PopReserveCopyAndResizeStayInBounds) {
  Arena arena;
  auto items = borrowed_items(arena, {"a", "b", "c", "d"});
  items.pop_back();
  items.reserve(2);  // no-op: never shrinks below the elements held
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].text(), "c");
  Value::Array copy = items;  // copies own their storage
  items.resize(6);
  ASSERT_EQ(items.size(), 6u);
  EXPECT_TRUE(items[5].is_null());
  ASSERT_EQ(copy.size(), 3u);
  EXPECT_EQ(copy[0].text(), "a");
  Value::Array swapped;
  swapped.swap(copy);
  EXPECT_EQ(swapped.size(), 3u);
  EXPECT_TRUE(copy.empty());
}

TEST(BorrowedList, ElementsReplacedWithOwnedValuesAreFreed) {
  Arena arena;
  Value v = Value::array(borrowed_items(arena, {"x", "y"}));
  v.items()[0] = Value::string(std::string(100, 'o'));  // owned text inside borrowed storage
  v.items()[1] = Value::array({Value::string(std::string(50, 'p'))});
  EXPECT_EQ(v.items()[0].text().size(), 100u);
  // Leaks here are reported by the sanitized run.
}

TEST(BorrowedText, CopiesOwnTheirTextAndMovesKeepTheReference) {
  std::string source(40, 's');
  Value borrowed = Value::borrowed(Kind::String, source);
  EXPECT_EQ(borrowed.text().data(), source.data());
  Value copy = borrowed;
  EXPECT_NE(copy.text().data(), source.data());
  Value moved = std::move(borrowed);
  EXPECT_EQ(moved.text().data(), source.data());
  source.assign(40, 't');
  EXPECT_EQ(copy.text(), std::string(40, 's'));
  EXPECT_EQ(moved.text(), std::string(40, 't'));
  // Up to the inline capacity the text is copied in, whatever the request.
  Value small = Value::borrowed(Kind::Number, std::string_view(source).substr(0, Value::inline_capacity));
  EXPECT_NE(small.text().data(), source.data());
  EXPECT_EQ(small.text().size(), Value::inline_capacity);
}

// The arena reader gives the owning reader's tree, or the same error at the same place.
TEST(ArenaReader, AgreesWithTheOwningReaderOnEveryCorpusFile) {
  TAVISK_NEEDS_SHARED("corpus/real");
  TAVISK_NEEDS_SHARED("corpus/jsontestsuite");
  auto files = testing::files_under(testing::shared_dir() + "/corpus/real", ".json");
  for (auto& f : testing::files_under(testing::shared_dir() + "/corpus/jsontestsuite", ".json")) files.push_back(f);
  ASSERT_GT(files.size(), 330u);
  for (const std::string& f : files) {
    const std::string text = testing::read_file(f);
    Arena arena;
    auto in_arena = json::parse(text, arena);
    auto owned = json::parse(text);
    ASSERT_EQ(in_arena.ok(), owned.ok()) << f;
    if (owned.ok()) {
      EXPECT_TRUE(in_arena.value().root() == owned.value()) << f;
      EXPECT_EQ(json::to_string(in_arena.value().root()), json::to_string(owned.value())) << f;
    } else {
      EXPECT_EQ(in_arena.error().text(), owned.error().text()) << f;
    }
  }
}

TEST(ArenaReader, LongTextsAreBorrowedFromTheInputOrDecodedIntoTheArena) {
  const std::string text =
      R"({"plain":"a string longer than twenty-four bytes","esc":"line\none and more than 24 bytes","n":-12345678901234567890.123456789e-10})";
  Arena arena;
  auto v = json::parse(text, arena);
  ASSERT_TRUE(v.ok());
  const auto& m = v.value().root().members();
  const auto inside = [&](std::string_view t) {
    return t.data() >= text.data() && t.data() < text.data() + text.size();
  };
  EXPECT_TRUE(inside(m[0].value.text()));
  EXPECT_EQ(m[1].value.text(), "line\none and more than 24 bytes");
  EXPECT_FALSE(inside(m[1].value.text()));
  EXPECT_TRUE(inside(m[2].value.text()));
  EXPECT_EQ(m[2].value.text(), "-12345678901234567890.123456789e-10");
  // A copy of the tree stands on its own.
  Value copy = v.value().root();
  EXPECT_FALSE(inside(copy.members()[0].value.text()));
  EXPECT_TRUE(copy == v.value().root());
}

// A copy of an arena tree owns everything: it can be edited and outlives the arena and the input.
TEST(ArenaReader, ACopyOfTheTreeOutlivesItsArenaAndCanBeEdited) {
  auto text = std::make_unique<std::string>(
      R"([{"a":[1,2,3],"b":"x","a key longer than twenty-three bytes":1},[],{},"tail text that is long enough"])");
  Value v;
  {
    Arena arena;
    auto parsed = json::parse(*text, arena);
    ASSERT_TRUE(parsed.ok());
    v = parsed.value().root();
  }
  text.reset();
  v.items()[0].members().push_back({"c", Value::string(std::string(64, 'c'))});
  v.items()[0].members()[0].value.items().pop_back();
  v.items()[1].items().push_back(Value::number("7"));
  v.items().push_back(Value::boolean(true));
  EXPECT_EQ(json::to_string(v), R"([{"a":[1,2],"b":"x","a key longer than twenty-three bytes":1,"c":")" +
                                    std::string(64, 'c') + R"("},[7],{},"tail text that is long enough",true])");
}

TEST(Key, InlineUpToItsCapacityOwnedOrBorrowedBeyond) {
  const std::string long_text(24, 'k');
  Key borrowed(long_text, Value::borrow);
  EXPECT_EQ(borrowed.data(), long_text.data());
  Key copy = borrowed;
  EXPECT_NE(copy.data(), long_text.data());
  EXPECT_EQ(copy, long_text);
  Key at_capacity(std::string_view(long_text).substr(0, Key::inline_capacity), Value::borrow);
  EXPECT_NE(at_capacity.data(), long_text.data());
  EXPECT_EQ(at_capacity.size(), Key::inline_capacity);
  Key moved = std::move(copy);
  EXPECT_EQ(moved, long_text);
  EXPECT_TRUE(copy.empty());
  moved = Key("");
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(Key(std::string("\0a\0", 3)).size(), 3u);
}

// Values and keys on either side of the inline capacity: owned and borrowed,
// copied and moved, they keep their text; only a long borrowed text refers
// to its source.
TEST(CompactNodes, TextsOnEitherSideOfTheInlineCapacity) {
  const std::string source = "0123456789abcdefghijklmnopqrstuvwxyz" + std::string(300, '.');
  for (std::size_t n : {0u, 1u, 7u, 8u, 13u, 14u, 15u, 16u, 23u, 24u, 25u, 300u}) {
    const std::string_view want(source.data(), n);
    for (Kind k : {Kind::String, Kind::Number}) {
      Value owned = k == Kind::String ? Value::string(want) : Value::number(want);
      Value borrowed = Value::borrowed(k, want);
      EXPECT_EQ(owned.kind(), k);
      EXPECT_EQ(owned.text(), want) << n;
      EXPECT_EQ(borrowed.text(), want) << n;
      EXPECT_EQ(borrowed.text().data() == source.data(), n > Value::inline_capacity) << n;
      EXPECT_NE(owned.text().data(), source.data()) << n;
      Value copy = borrowed;
      EXPECT_NE(copy.text().data(), source.data()) << n;
      Value moved = std::move(owned);
      EXPECT_EQ(moved.text(), want) << n;
      EXPECT_TRUE(owned.is_null());
      moved = copy;  // replaces an owned text with another
      EXPECT_TRUE(moved == borrowed) << n;
    }
    Key key(want), borrowed_key(want, Value::borrow);
    EXPECT_EQ(key.view(), want);
    EXPECT_EQ(borrowed_key.view(), want);
    EXPECT_EQ(borrowed_key.data() == source.data(), n > Key::inline_capacity) << n;
    Key moved_key = std::move(key);
    EXPECT_EQ(moved_key.view(), want);
  }
  EXPECT_TRUE(Value::boolean(true).as_bool());
  EXPECT_FALSE(Value::boolean(false).as_bool());
  Value b = Value::boolean(true);
  Value moved_b = std::move(b);
  EXPECT_TRUE(moved_b.is_bool() && moved_b.as_bool());
}

// A text longer than a 32-bit size (borrowed here, never read) keeps its size
// through an out-of-line record, in a value and in a key.
TEST(CompactNodes, TextsPastThirtyTwoBitsKeepTheirSize) {
  const char buffer[8] = "abcdefg";
  const std::size_t huge = (std::size_t{1} << 32) + 3;
  const std::string_view text(buffer, huge);
  Value v = Value::borrowed(Kind::String, text);
  EXPECT_EQ(v.text().size(), huge);
  EXPECT_EQ(v.text().data(), buffer);
  EXPECT_EQ(v.facts(), nullptr);
  Value moved = std::move(v);
  EXPECT_EQ(moved.text().size(), huge);
  Key k(text, Value::borrow);
  EXPECT_EQ(k.size(), huge);
  Key moved_key = std::move(k);
  EXPECT_EQ(moved_key.data(), buffer);
  EXPECT_EQ(moved_key.size(), huge);
  // Exactly 2^32 - 1 bytes still fit the inline size field.
  Value at_limit = Value::borrowed(Kind::String, std::string_view(buffer, UINT32_MAX));
  EXPECT_EQ(at_limit.text().size(), std::size_t{UINT32_MAX});
}

// An owned list keeps its exact capacity in its block; a borrowed one has none
// to spare, and its first growth moves it into an owned block.
TEST(CompactNodes, ListCapacityIsExactAndGrowthDoubles) {
  Value::Array owned;
  EXPECT_EQ(owned.capacity(), 0u);
  owned.reserve(10);
  EXPECT_EQ(owned.capacity(), 10u);
  for (int i = 0; i < 10; ++i) owned.push_back(Value::number(std::to_string(i)));
  EXPECT_EQ(owned.capacity(), 10u);
  owned.push_back(Value::null());
  EXPECT_EQ(owned.capacity(), 20u);
  EXPECT_EQ(owned[9].text(), "9");
  Arena arena;
  Value* data = arena.allocate_array<Value>(3);
  for (int i = 0; i < 3; ++i) new (data + i) Value(Value::string(std::string(20, static_cast<char>('a' + i))));
  auto borrowed = Value::Array::borrow(data, 3);
  EXPECT_EQ(borrowed.capacity(), 3u);
  borrowed.push_back(Value::boolean(true));
  EXPECT_NE(borrowed.data(), data);
  EXPECT_EQ(borrowed.capacity(), 6u);
  EXPECT_EQ(borrowed[2].text(), std::string(20, 'c'));
  Value::Array swapped;
  swapped.swap(borrowed);
  EXPECT_EQ(swapped.size(), 4u);
  EXPECT_TRUE(borrowed.empty());
  EXPECT_EQ(borrowed.capacity(), 0u);
}

}  // namespace
}  // namespace tavisk
