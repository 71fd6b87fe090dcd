// Field scoring: the word splitter, the name vocabulary and the three field
// scorers that rank object keys and record columns.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "value.h"

namespace tavisk {

// A word held in place, for comparison with the vocabulary tables only: a word longer than the
// buffer keeps its first CAPACITY bytes, which are longer than every table word and so equal none.
class TableWord {
 public:
  static constexpr std::size_t CAPACITY = 24;

  void clear() { size_ = 0; }
  bool empty() const { return size_ == 0; }
  // Appends the lowercase form of c, as far as it fits.
  void append_lower(char32_t c);
  std::string_view view() const { return {buf_, size_ < CAPACITY ? size_ : CAPACITY}; }

 private:
  char buf_[CAPACITY];
  std::size_t size_ = 0;  // bytes of the whole word, also past CAPACITY
};

// One lowercase word: a view into the split text when lowering left it unchanged, else into the
// caller's buffer.
struct Word {
  std::string_view text;
  bool ascii = false;  // every byte is ASCII, so its characters are its bytes
};

// Splits text into lowercase words at non-alphanumerics and camel-case humps,
// one word at a time, reusing the caller's buffer.
class WordSplitter {
 public:
  explicit WordSplitter(std::string_view text) : text_(text) {}
  // Writes the next word into out (replacing its contents); false at the end.
  bool next(std::string& out);
  bool next(TableWord& out);
  // The same words without copying: ASCII runs are read a byte at a time, and a word is written
  // into scratch only when it holds a capital or a non-ASCII character.
  bool next(std::string& scratch, Word& out);

 private:
  template <class Out>
  bool next_into(Out& out);

  std::string_view text_;
  std::size_t pos_ = 0;
};

// All words of text, in order.
std::vector<std::string> words(std::string_view text);
// Appends the words of text to out.
void append_words(std::string_view text, std::vector<std::string>& out);

namespace vocab {

using List = std::span<const std::string_view>;

inline constexpr std::string_view IDENTITY[] = {"id",   "pk",   "ari",    "arn",    "urn",       "gid",
                                                "sha",  "oid",  "key",    "ref",    "sku",       "uuid",
                                                "guid", "slug", "number", "handle", "identifier"};
inline constexpr std::string_view TITLE[] = {"title", "summary", "subject", "heading", "caption", "headline"};
inline constexpr std::string_view TIME[] = {"ts",       "at",       "due",      "end",       "date",
                                            "time",     "when",     "start",    "created",   "updated",
                                            "modified", "deadline", "resolved", "timestamp", "published"};
inline constexpr std::string_view LINK[] = {"url", "uri", "web", "link", "href", "webui", "permalink"};
inline constexpr std::string_view STATUS[] = {
    "completed", "done",      "active",     "archived",     "enabled",  "verified", "paid",  "phase",
    "health",    "condition", "conditions", "availability", "verdict",  "status",   "state", "type",
    "kind",      "category",  "resolution", "priority",     "severity", "level",    "error", "errors",
    "code",      "result",    "success",    "ok",           "reason",   "role",     "stage", "outcome"};
inline constexpr std::string_view WRAPPER[] = {"doc",      "data",     "node",     "item",       "object",
                                               "source",   "fields",   "entity",   "record",     "content",
                                               "resource", "embedded", "document", "properties", "attributes"};
inline constexpr std::string_view NAME[] = {"firstname", "lastname", "givenname", "familyname",  "surname",
                                            "nickname",  "name",     "label",     "displayname", "fullname",
                                            "username",  "login",    "text"};
inline constexpr std::string_view CONTACT[] = {"email", "phone", "mobile", "telephone", "address"};
inline constexpr std::string_view TEXT[] = {"description", "body",    "content", "abstract", "snippet",
                                            "excerpt",     "comment", "note",    "details",  "message",
                                            "overview",    "bio",     "value"};
inline constexpr std::string_view PERSON[] = {"author", "creator", "assignee", "reporter",       "owner",    "user",
                                              "by",     "sender",  "from",     "lastmodifiedby", "createdby"};
inline constexpr std::string_view METRIC[] = {"points",   "comments", "replies",  "downloads", "followers", "forks",
                                              "watchers", "upvotes",  "count",    "total",     "score",     "rank",
                                              "size",     "length",   "stars",    "votes",     "likes",     "views",
                                              "price",    "amount",   "quantity", "rating",    "relevance", "distance"};
inline constexpr std::string_view NOISE[] = {
    "etag",       "hash",    "checksum", "schema",  "revision",       "rev",        "expand",
    "expandable", "self",    "avatar",   "avatars", "icon",           "thumbnail",  "image",
    "images",     "logo",    "picture",  "color",   "colour",         "links",      "typename",
    "embedded",   "context", "tinyui",   "base",    "profilepicture", "avatarurls", "iconurl"};
inline constexpr std::string_view IMAGE[] = {"icon", "logo", "self", "image", "avatar", "picture", "thumbnail"};
inline constexpr std::string_view CONFIG[] = {
    "meta",       "flags",      "config",     "history",    "version",    "metadata",    "settings",    "versions",
    "extensions", "operations", "visibility", "properties", "attributes", "permissions", "customfield", "restrictions"};
inline constexpr std::string_view NAME_QUALIFIERS[] = {"sur",   "full",  "last",  "user",   "nick",   "first",
                                                       "given", "short", "login", "family", "display"};
// Last words of a compound name that lose rank when qualified by a non-name word.
inline constexpr std::string_view QUALIFIED_NAMES[] = {"name",      "text",      "label",      "surname",
                                                       "lastname",  "nickname",  "fullname",   "username",
                                                       "firstname", "givenname", "familyname", "displayname"};
inline constexpr std::string_view ALLOWED_UNDERSCORE[] = {"_id", "_source", "_embedded"};

struct Tier {
  List words;
  double value;
};

// Name tiers in the order they are tried.
inline constexpr Tier TIERS[] = {{IDENTITY, 0.98}, {TITLE, 0.95},  {NAME, 0.9},   {STATUS, 0.85}, {CONTACT, 0.75},
                                 {TEXT, 0.7},      {PERSON, 0.65}, {METRIC, 0.6}, {LINK, 0.6},    {TIME, 0.55}};
// The tiers whose words also count as suffixes of a single-word key (all but identity).
inline constexpr std::span<const Tier> SUFFIX_TIERS{TIERS + 1, std::size(TIERS) - 1};

bool contains(List list, std::string_view word);

}  // namespace vocab

// Some word equals some entry of list.
bool any(std::span<const std::string> ws, vocab::List list);

struct Match {
  bool matched;
  double value;
};

// The first tier (in tier order) that holds any of the words; (false, 0.55) when none does.
Match tier_of(std::span<const std::string> ws);

// Summary of one field (an object key, or a column of an array of records) read by the scorers.
// `path` is borrowed: a span over the caller's segments, which must outlive every scorer call.
// A single key can be passed as std::span(&key, 1).
struct FieldStats {
  std::array<std::uint64_t, 6> kind_counts{};  // by Kind: null, bool, number, string, array, object
  std::span<const std::string> path;
  std::uint64_t rows = 0;
  std::uint64_t present = 0;
  std::uint64_t empty = 0;
  std::uint64_t distinct = 0;
  std::uint64_t scalars = 0;
  double relevance = 0;
  double name_relevance = 0;
  double value_relevance = 0;
  double value_hit_rate = 0;
  double mean_chars = 0;
  double mean_position = 0;
  bool constant = false;
  bool numeric_like = false;
  bool date_like = false;
  bool opaque = false;

  std::uint64_t count(Kind k) const { return kind_counts[static_cast<std::size_t>(k)]; }
  // The last segment, or "" for an empty path.
  std::string_view last() const { return path.empty() ? std::string_view() : std::string_view(path.back()); }
  // Segments up to and including the effective key: a trailing "$..." marker is skipped
  // when there is more than one segment.
  std::size_t key_count() const;
  // The effective key (the last of the key_count() segments), or "" for an empty path.
  std::string_view key() const;
};

// An optional leading "-", then digits and at most one "." with at least one digit.
bool looks_numeric(std::string_view s);
// Starts with a calendar date: four digits, "-", two digits, "-", two digits.
bool looks_like_date(std::string_view s);

// Key-ranking strategy; stateless, shared by reference.
class FieldScorer {
 public:
  // The option value that selects this scorer.
  virtual std::string_view name() const = 0;
  // Worth of keeping the field; higher is better.
  virtual double score(const FieldStats& stats) const = 0;
  // The field is an identifier whose values are never shortened.
  virtual bool exact(const FieldStats&) const { return false; }
  // Role label ("identity", "title", "time", "link", "group:..."), or none.
  virtual std::optional<std::string> role(const FieldStats&) const { return std::nullopt; }

 protected:
  constexpr FieldScorer() = default;
  constexpr ~FieldScorer() = default;
};

struct Prior {
  bool named;
  double prior;
};

// Vocabulary prior from the key name, corrected by presence, emptiness, value shape, query relevance and size.
class HeuristicScorer final : public FieldScorer {
 public:
  constexpr HeuristicScorer() = default;
  std::string_view name() const override { return "heuristic"; }
  double score(const FieldStats& stats) const override;
  bool exact(const FieldStats& stats) const override;
  std::optional<std::string> role(const FieldStats& stats) const override;
  // Base worth of the field judged from its path (and a few value statistics).
  static Prior name_prior(const FieldStats& stats);

 private:
  // name_prior with the words of the effective key already split.
  static Prior prior_of(const FieldStats& stats, std::span<const std::string> key_words);
};

// Small values first.
class CompactScorer final : public FieldScorer {
 public:
  constexpr CompactScorer() = default;
  std::string_view name() const override { return "compact"; }
  double score(const FieldStats& stats) const override;
};

// Keys that come first in their objects first.
class KeyOrderScorer final : public FieldScorer {
 public:
  constexpr KeyOrderScorer() = default;
  std::string_view name() const override { return "key_order"; }
  double score(const FieldStats& stats) const override;
};

extern const HeuristicScorer HEURISTIC;
extern const CompactScorer COMPACT;
extern const KeyOrderScorer KEY_ORDER;

// The shared instance selected by the field_scorer option.
const FieldScorer& scorer_for(ScorerKind kind);

}  // namespace tavisk
