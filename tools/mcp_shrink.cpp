#include "mcp_shrink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <numeric>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/schema.h>

#include "envelope.h"

namespace mcp {

using cli::call_library;

namespace {

constexpr std::string_view ellipsis = "\xE2\x80\xA6";

bool root_only(const std::vector<std::string_view>& path) { return path.empty(); }

// The library's answer: the text and the report as written, or nothing on an error.
struct Shrunk {
  std::string text;
  std::string report;
};

std::optional<Shrunk> read_envelope(const std::string& envelope) {
  auto root = parse(envelope, root_only);
  if (!root) return std::nullopt;
  const Node* ok = root->get("ok");
  const Node* text = root->get("text");
  const Node* report = root->get("report");
  if (!ok || ok->text != "true" || !text || !text->is(Node::Kind::String) || !report) return std::nullopt;
  return Shrunk{std::string(text->text), std::string(report->span.of(envelope))};
}

// A report counter (digits as the library writes them).
std::uint64_t to_count(std::string_view digits) {
  std::uint64_t n = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), n);
  return n;
}

std::size_t skip_space(std::string_view s, std::size_t i = 0) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  return i;
}

bool looks_like_json(std::string_view text) {
  std::size_t i = skip_space(text);
  return i < text.size() && (text[i] == '{' || text[i] == '[') && is_json(text);
}

// Byte offset where the last `chars` characters of s begin.
std::size_t tail_start(std::string_view s, std::uint64_t chars) {
  std::size_t i = s.size();
  while (i > 0 && chars > 0) {
    --i;
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) --chars;
  }
  return i;
}

struct Part {
  enum class Kind { Text, Structured } kind = Kind::Text;
  std::size_t index = 0;  // content item index of a text part
  const Node* node = nullptr;
  std::uint64_t chars = 0;
  bool canonical = true;  // of a pending text: whether it can be decoded in its line
  std::optional<std::string> replacement;  // new JSON text of the node
  std::string report;
  std::string original;  // decoded text, for the spill file
  std::uint64_t new_chars = 0;
  InPlaceText* in_place = nullptr;  // while the text is decoded in its line
  std::unique_ptr<InPlaceText> own_in_place;
  std::string decoded;

  // A text part's text. One too long to have been decoded is decoded in its line (unless
  // the parse did that already), or beside it when its escapes could not be written back
  // exactly.
  std::string_view read_text(std::string& line) {
    if (!node->pending) return node->text;
    if (node->in_line) {
      in_place = node->in_line;
      return in_place->text();
    }
    if (canonical) {
      own_in_place = std::make_unique<InPlaceText>(line, node->span);
      in_place = own_in_place.get();
      return in_place->text();
    }
    std::string_view literal = node->span.of(line);
    decoded.assign(literal.substr(1, literal.size() - 2));
    decoded.resize(decode_in_place(decoded.data(), decoded.size()));
    return decoded;
  }
};

Part text_part(std::size_t index, const Node& text, std::string_view line) {
  Part p;
  p.index = index;
  p.node = &text;
  if (!text.pending) {
    p.chars = char_count(text.text);
  } else {
    std::string_view literal = text.span.of(line);
    const LiteralInfo info = text.measured ? text.literal : literal_info(literal.substr(1, literal.size() - 2));
    p.chars = info.chars;
    p.canonical = info.canonical;
  }
  return p;
}

class Shrinker {
 public:
  Shrinker(const Settings& settings, const Call& call) : settings_(settings), call_(call) {}

  // The options object: the proxy's defaults, then the user's flags, then the budget and
  // the request, which the proxy always sets.
  std::string options(std::uint64_t share, std::string_view defaults, std::string_view overrides,
                      const std::vector<std::string>& extra_protect = {}) const {
    std::string o = "{";
    auto add = [&o](std::string_view members) {
      if (members.empty()) return;
      if (o.size() > 1) o += ',';
      o += members;
    };
    add(defaults);
    add(settings_.options);
    add(overrides);
    add("\"max_chars\":" + std::to_string(share));
    if (!call_.arguments.empty()) add("\"arguments\":" + call_.arguments);
    if (settings_.focus && settings_.library.focus) add("\"focus\":\"auto\"");
    std::vector<std::string> protect = settings_.protect;
    protect.insert(protect.end(), extra_protect.begin(), extra_protect.end());
    if (!protect.empty()) {
      std::string list = "\"protect\":[";
      for (std::size_t i = 0; i < protect.size(); ++i) {
        if (i) list += ',';
        write_string(list, protect[i]);
      }
      add(list + "]");
    }
    o += '}';
    return o;
  }

  // Shrinks one text item to `share` characters; error results keep their closing lines.
  std::optional<Shrunk> text(std::string_view text, std::uint64_t share, bool is_error) const {
    if (is_error && share > 8 && !looks_like_json(text)) return with_tail(text, share);
    return document(text, share);
  }

  std::optional<Shrunk> document(std::string_view text, std::uint64_t share) const {
    std::string defaults;
    if (!settings_.has_indent && text.find('\n') == std::string::npos) defaults = "\"indent\":0";
    if (settings_.has_input_format) return read_envelope(call_library(text, options(share, defaults, "")));
    if (settings_.library.detect) {
      return read_envelope(call_library(text, options(share, defaults, "\"input_format\":\"detect\"")));
    }
    // JSON first; a library without a plain-text reader fits any other text as one string.
    std::size_t first = skip_space(text);
    if (first < text.size() && (text[first] == '{' || text[first] == '[')) {
      if (auto shrunk = read_envelope(call_library(text, options(share, defaults, "\"input_format\":\"json\""))))
        return shrunk;
    }
    std::string quoted;
    write_string(quoted, text);
    auto shrunk = read_envelope(call_library(
        quoted, options(share, "", "\"input_format\":\"json\",\"format\":\"json\",\"indent\":0")));
    if (!shrunk) return std::nullopt;
    auto value = parse(shrunk->text, root_only);
    if (!value || !value->is(Node::Kind::String)) return std::nullopt;
    shrunk->text = std::string(value->text);
    return shrunk;
  }

  // The last lines, up to two fifths of the share, are kept verbatim; the rest is shrunk.
  std::optional<Shrunk> with_tail(std::string_view text, std::uint64_t share) const {
    std::uint64_t tail_budget = share * 2 / 5;
    std::string_view body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
    std::size_t start = body.size();
    std::uint64_t tail_chars = char_count(std::string_view(text).substr(body.size()));
    while (start > 0) {
      // The line before `start` ends at its line feed (start - 1), except for the last line.
      std::size_t end = start == body.size() ? start : start - 1;
      std::size_t nl = end == 0 ? std::string_view::npos : body.rfind('\n', end - 1);
      std::size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
      std::uint64_t line_chars = char_count(body.substr(line_start, start - line_start));
      if (tail_chars + line_chars > tail_budget) break;
      tail_chars += line_chars;
      start = line_start;
    }
    if (start == body.size()) start = tail_start(text, tail_budget);  // no whole line fits
    if (start == 0) return document(text, share);
    std::string_view tail = std::string_view(text).substr(start);
    std::uint64_t kept = char_count(tail) + 1;
    auto head = document(text.substr(0, start), share > kept ? share - kept : 0);
    if (!head) return std::nullopt;
    if (!head->text.ends_with('\n')) head->text += '\n';
    head->text += tail;
    return head;
  }

 private:
  const Settings& settings_;
  const Call& call_;
};

std::string summary_counts(const std::vector<Part>& parts) {
  struct Count {
    const char* key;
    const char* label;
    std::uint64_t n = 0;
  };
  Count counts[] = {{"items_omitted", "items"}, {"keys_omitted", "keys"}, {"lines_omitted", "lines"}};
  std::uint64_t strings = 0;
  for (const Part& p : parts) {
    if (p.report.empty()) continue;
    auto report = parse(p.report, root_only);
    if (!report) continue;
    for (Count& c : counts) {
      if (const Node* n = report->get(c.key)) c.n += to_count(n->text);
    }
    if (const Node* n = report->get("strings_truncated")) strings += to_count(n->text);
  }
  std::string out;
  for (const Count& c : counts) {
    if (c.n == 0) continue;
    if (!out.empty()) out += ", ";
    out += std::to_string(c.n) + " " + c.label;
  }
  if (!out.empty()) out += " omitted";
  if (strings) out += (out.empty() ? "" : ", ") + std::to_string(strings) + " texts cut";
  return out;
}

std::string safe_name(std::string_view tool) {
  std::string s;
  for (char c : tool.substr(0, 40)) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    s += ok ? c : '_';
  }
  return s.empty() ? "result" : s;
}

// Writes the untouched original to a new private file; returns its path or nothing.
std::optional<std::string> spill(const std::string& dir, std::string_view tool, std::string_view data,
                                 bool json) {
  std::string path = dir + "/tavisk-" + safe_name(tool) + "-XXXXXX" + (json ? ".json" : ".txt");
  int fd = mkstemps(path.data(), json ? 5 : 4);  // mode 0600
  if (fd < 0) return std::nullopt;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == data.size() && ::close(fd) == 0;
  if (!ok) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return path;
}

bool empty_object(std::string_view raw) { return skip_space(raw, 1) == raw.size() - 1; }

}  // namespace

// ---- schemas ----

namespace {
void required_patterns(const rapidjson::Value* schema, const rapidjson::Document& root, const std::string& prefix,
                       int depth, std::vector<std::string>& out);
}  // namespace

struct Schemas::Entry {
  rapidjson::Document doc;
  std::unique_ptr<rapidjson::SchemaDocument> schema;
  std::vector<std::string> required;  // protect patterns for the required scalars, through arrays
};

Schemas::Schemas() = default;
Schemas::~Schemas() = default;

void Schemas::learn(const std::string& line, const Node& result) {
  const Node* tools = result.get("tools");
  if (!tools || !tools->is(Node::Kind::Array)) return;
  for (const Node& tool : tools->items) {
    const Node* name = tool.get("name");
    if (!name || !name->is(Node::Kind::String)) continue;
    const Node* schema = tool.get("outputSchema");
    auto it = by_tool_.find(name->text);
    if (!schema || !schema->is(Node::Kind::Object)) {
      if (it != by_tool_.end()) by_tool_.erase(it);
      continue;
    }
    auto entry = std::make_unique<Entry>();
    std::string_view raw = schema->span.of(line);
    // The schema tools recurse over the schema and the value; deep ones are not used.
    if (nesting_depth(raw) > max_recorded_depth) continue;
    entry->doc.Parse<rapidjson::kParseIterativeFlag>(raw.data(), raw.size());
    if (entry->doc.HasParseError() || !entry->doc.IsObject()) continue;
    entry->schema = std::make_unique<rapidjson::SchemaDocument>(entry->doc);
    required_patterns(&entry->doc, entry->doc, "", 0, entry->required);
    by_tool_[std::string(name->text)] = std::move(entry);
  }
}

const Schemas::Entry* Schemas::find(std::string_view tool) const {
  auto it = by_tool_.find(tool);
  return it == by_tool_.end() ? nullptr : it->second.get();
}

namespace {

using rapidjson::Value;

const Value* member(const Value* schema, const char* key) {
  if (!schema || !schema->IsObject()) return nullptr;
  auto it = schema->FindMember(key);
  return it == schema->MemberEnd() ? nullptr : &it->value;
}

// Follows local references ("#/...") a few steps.
const Value* resolve(const Value* schema, const rapidjson::Document& root) {
  for (int i = 0; i < 8 && schema; ++i) {
    const Value* ref = member(schema, "$ref");
    if (!ref || !ref->IsString() || ref->GetString()[0] != '#') break;
    rapidjson::Pointer pointer(ref->GetString() + 1, ref->GetStringLength() - 1);
    if (!pointer.IsValid()) return nullptr;
    schema = pointer.Get(root);
  }
  return schema;
}

bool allows(const Value* schema, std::string_view type) {
  const Value* t = member(schema, "type");
  if (!t) return true;
  auto same = [&type](const Value& v) {
    return v.IsString() && (std::string_view(v.GetString(), v.GetStringLength()) == type ||
                            (type == "integer" && std::string_view(v.GetString()) == "number"));
  };
  if (t->IsString()) return same(*t);
  if (t->IsArray()) return std::any_of(t->Begin(), t->End(), same);
  return true;
}

// Paths of the required properties that hold scalars (or arrays of scalars), following
// required objects and the items of required arrays. Protecting them keeps every kept object
// valid without keeping large containers whole.
void required_patterns(const Value* schema, const rapidjson::Document& root, const std::string& prefix, int depth,
                       std::vector<std::string>& out) {
  schema = resolve(schema, root);
  const Value* required = member(schema, "required");
  const Value* props = member(schema, "properties");
  if (depth > 8 || !required || !required->IsArray() || !props) return;
  for (const Value& r : required->GetArray()) {
    if (!r.IsString()) continue;
    std::string path = prefix + "/" + std::string(r.GetString(), r.GetStringLength());
    const Value* child = resolve(member(props, r.GetString()), root);
    if (!child) continue;
    const Value* items = resolve(member(child, "items"), root);
    if (!allows(child, "object") && !allows(child, "array")) {
      out.push_back(path);
    } else if (member(child, "properties")) {
      required_patterns(child, root, path, depth + 1, out);
    } else if (items && member(items, "properties")) {
      required_patterns(items, root, path + "/*", depth + 1, out);
    } else if (items && !allows(items, "object") && !allows(items, "array")) {
      out.push_back(path);
    }
  }
}

// Whether an object node lacks a property its schema requires.
bool misses_required(const Node& n, const Value* schema) {
  const Value* required = member(schema, "required");
  if (!n.is(Node::Kind::Object) || !n.expanded || !required || !required->IsArray()) return false;
  for (const Value& r : required->GetArray()) {
    if (r.IsString() && !n.get(std::string_view(r.GetString(), r.GetStringLength()))) return true;
  }
  return false;
}

bool wraps(std::string_view s, std::string_view head, std::string_view tail) {
  return s.size() >= head.size() + tail.size() && s.starts_with(head) && s.ends_with(tail);
}

bool is_placeholder(const Node& n) {
  return n.is(Node::Kind::String) && wraps(n.text, std::string(ellipsis) + "[+", " chars]");
}
bool is_gap_marker(const Node& n) {
  return n.is(Node::Kind::String) && wraps(n.text, std::string(ellipsis) + "[", " items omitted]");
}

void fit_node(std::string& out, const std::string& text, const Node& n, const Value* schema,
              const rapidjson::Document& root) {
  schema = resolve(schema, root);
  if (is_placeholder(n) && !allows(schema, "string")) {
    if (allows(schema, "object")) {
      out += "{}";
      return;
    }
    if (allows(schema, "array")) {
      out += "[]";
      return;
    }
  }
  if (n.is(Node::Kind::Object) && n.expanded) {
    const Value* props = member(schema, "properties");
    const Value* extra = member(schema, "additionalProperties");
    out += '{';
    bool first = true;
    for (const auto& [key, value] : n.members) {
      const Value* child = props ? member(props, key.c_str()) : nullptr;
      if (!child && extra && extra->IsObject()) child = extra;
      if (key == ellipsis && !child && extra) {
        bool allowed = extra->IsObject() ? allows(resolve(extra, root), "string") : !extra->IsFalse();
        if (!allowed) continue;
      }
      if (!first) out += ',';
      first = false;
      out += value.key.of(text);
      out += ':';
      fit_node(out, text, value, child, root);
    }
    out += '}';
    return;
  }
  if (n.is(Node::Kind::Array) && n.expanded) {
    const Value* items = resolve(member(schema, "items"), root);
    bool drop_gaps = items && items->IsObject() && !allows(items, "string");
    out += '[';
    bool first = true;
    for (const Node& item : n.items) {
      if (drop_gaps && is_gap_marker(item)) continue;
      // An item trimmed below what its schema requires is left out like an omitted one.
      if (misses_required(item, items)) continue;
      if (!first) out += ',';
      first = false;
      fit_node(out, text, item, items, root);
    }
    out += ']';
    return;
  }
  out += n.span.of(text);
}

std::string fit_value(const std::string& value, const rapidjson::Document& schema) {
  auto root = parse(value, expand_all);
  if (!root) return value;
  std::string out;
  fit_node(out, value, *root, &schema, schema);
  return out;
}

bool valid(const std::string& value, const rapidjson::SchemaDocument& schema) {
  if (nesting_depth(value) > max_recorded_depth) return false;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(value.data(), value.size());
  if (doc.HasParseError()) return false;
  rapidjson::SchemaValidator validator(schema);
  return doc.Accept(validator);
}

}  // namespace

std::string fit_to_schema(const std::string& value, const std::string& schema) {
  if (nesting_depth(schema) > max_recorded_depth) return value;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(schema.data(), schema.size());
  if (doc.HasParseError()) return value;
  return fit_value(value, doc);
}

// ---- budget ----

LibraryFeatures LibraryFeatures::probe() {
  auto accepts = [](std::string_view options) { return read_envelope(call_library("a", options)).has_value(); };
  LibraryFeatures f;
  f.detect = accepts("{\"input_format\":\"detect\"}");
  f.focus = accepts("{\"focus\":\"auto\"}");
  return f;
}

std::uint64_t Settings::budget_for(std::string_view tool) const {
  std::uint64_t budget = max_chars;
  for (const auto& [name, n] : tool_max_chars) {
    if (name == tool) budget = n;
  }
  return budget;
}

std::vector<std::uint64_t> share_budget(const std::vector<std::uint64_t>& sizes, std::uint64_t budget) {
  std::vector<std::size_t> order(sizes.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&sizes](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
  std::vector<std::uint64_t> shares(sizes.size());
  std::uint64_t left = budget;
  for (std::size_t k = 0; k < order.size(); ++k) {
    std::uint64_t fair = left / (order.size() - k);
    std::uint64_t share = std::min(sizes[order[k]], fair);
    shares[order[k]] = share;
    left -= share;
  }
  return shares;
}

// ---- results ----

bool result_text(const std::vector<std::string_view>& path, std::string_view key) {
  return key == "text" && path.size() == 3 && path[0] == "result" && path[1] == "content";
}

std::optional<std::string> shrink_result(std::string& line, const Node& message, const Call& call,
                                         const Settings& settings, const Schemas& schemas) {
  const Node* result = message.get("result");
  if (!result || !result->is(Node::Kind::Object) || !result->expanded) return std::nullopt;
  if (const Node* type = result->get("resultType"); type && !(type->is(Node::Kind::String) && type->text == "complete"))
    return std::nullopt;
  const Node* content = result->get("content");
  if (!content || !content->is(Node::Kind::Array) || !content->expanded) return std::nullopt;
  const Node* meta = result->get("_meta");
  if (meta && !meta->is(Node::Kind::Object)) return std::nullopt;

  std::vector<Part> parts;
  for (std::size_t i = 0; i < content->items.size(); ++i) {
    const Node& item = content->items[i];
    const Node* type = item.get("type");
    const Node* text = item.get("text");
    if (!type || type->text != "text" || !type->is(Node::Kind::String) || !text || !text->is(Node::Kind::String))
      continue;
    parts.push_back(text_part(i, *text, line));
  }
  const Node* structured = settings.structured ? result->get("structuredContent") : nullptr;
  if (structured && (structured->is(Node::Kind::Object) || structured->is(Node::Kind::Array))) {
    Part& p = parts.emplace_back();
    p.kind = Part::Kind::Structured;
    p.node = structured;
    p.chars = char_count(structured->span.of(line));
  }
  std::uint64_t total = 0;
  for (const Part& p : parts) total += p.chars;
  std::uint64_t budget = settings.budget_for(call.tool);
  if (total <= budget || parts.empty()) return std::nullopt;

  const Node* error_flag = result->get("isError");
  bool is_error = error_flag && error_flag->text == "true";
  // Room for the note line: its fixed words, the counts and a spill path.
  std::uint64_t reserve = settings.note ? std::min<std::uint64_t>(budget / 4, 140 + (settings.spill_dir.empty() ? 0 : 60 + char_count(settings.spill_dir))) : 0;
  std::vector<std::uint64_t> sizes;
  for (const Part& p : parts) sizes.push_back(p.chars);
  std::vector<std::uint64_t> shares = share_budget(sizes, budget - reserve);

  Shrinker shrinker(settings, call);
  const Schemas::Entry* schema = schemas.find(call.tool);
  bool changed = false;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    Part& p = parts[k];
    p.new_chars = p.chars;
    if (p.chars <= shares[k]) continue;
    if (p.kind == Part::Kind::Text) {
      std::string_view text = p.read_text(line);
      auto shrunk = shrinker.text(text, shares[k], is_error);
      if (!shrunk) {
        if (p.in_place) p.in_place->restore();  // the literal is forwarded as it was
        continue;
      }
      if (p.in_place) p.in_place->keep_decoded();  // replaced by the splice below
      p.new_chars = char_count(shrunk->text);
      std::string quoted;
      write_string(quoted, shrunk->text);
      p.replacement = std::move(quoted);
      p.report = std::move(shrunk->report);
      if (!settings.spill_dir.empty()) p.original = text;
    } else {
      std::string raw(p.node->span.of(line));
      const std::string compact = "\"indent\":0,\"format\":\"json\",\"input_format\":\"json\"";
      auto attempt = [&](const std::vector<std::string>& protect) -> std::optional<Shrunk> {
        auto shrunk = read_envelope(call_library(raw, shrinker.options(shares[k], "", compact, protect)));
        if (!shrunk || !schema) return shrunk;
        shrunk->text = fit_value(shrunk->text, schema->doc);
        if (!valid(shrunk->text, *schema->schema)) return std::nullopt;
        return shrunk;
      };
      auto shrunk = attempt({});
      // A trimmed object may lose a required key; protecting the required scalars is the
      // second try.
      if (!shrunk && schema && !schema->required.empty()) shrunk = attempt(schema->required);
      if (!shrunk) continue;  // left as it was: valid, if over budget
      p.new_chars = char_count(shrunk->text);
      p.replacement = std::move(shrunk->text);
      p.report = std::move(shrunk->report);
      p.original = raw;
    }
    changed = true;
  }
  if (!changed) return std::nullopt;

  // Literals decoded in the line and not replaced are spliced as they were written.
  for (const auto& t : message.in_line_texts) t->restore();
  struct Splice {
    std::size_t begin, end;
    std::string text;
  };
  std::vector<Splice> splices;
  std::string reports = "[";
  std::uint64_t new_total = 0;
  bool text_spilled = false;
  std::vector<std::string> spilled;
  for (Part& p : parts) {
    new_total += p.new_chars;
    if (!p.replacement) continue;
    splices.push_back({p.node->span.begin, p.node->span.end, std::move(*p.replacement)});
    if (reports.size() > 1) reports += ',';
    reports += "{\"path\":";
    write_string(reports, p.kind == Part::Kind::Text ? "/content/" + std::to_string(p.index) + "/text"
                                                     : std::string("/structuredContent"));
    reports += ",\"report\":" + p.report + "}";
    if (settings.spill_dir.empty()) continue;
    // The structured copy is spilled only when no text carried the payload.
    if (p.kind == Part::Kind::Structured && text_spilled) continue;
    if (auto path = spill(settings.spill_dir, call.tool, p.original,
                          p.kind == Part::Kind::Structured || looks_like_json(p.original))) {
      spilled.push_back(*path);
      text_spilled = text_spilled || p.kind == Part::Kind::Text;
    }
  }
  reports += ']';

  if (settings.note) {
    std::string counts = summary_counts(parts);
    std::string note = "[tavisk] result shrunk";
    std::string tail = counts.empty() ? "" : ": " + counts;
    tail += spilled.empty() ? "; ask for a narrower query to see more."
                            : "; the full result is in " + spilled.front() +
                                  (spilled.size() > 1 ? " (and " + std::to_string(spilled.size() - 1) + " more)" : "") +
                                  ".";
    // The note counts itself in the total it reports.
    std::string head;
    for (int i = 0; i < 3; ++i) {
      std::uint64_t with_note = new_total + char_count(head) + char_count(tail);
      head = "[tavisk] shrunk from " + std::to_string(total) + " to " + std::to_string(with_note) + " characters";
    }
    note = head + tail;
    std::string item = content->items.empty() ? "" : ",";
    item += "{\"type\":\"text\",\"text\":";
    write_string(item, note);
    item += '}';
    splices.push_back({content->span.end - 1, content->span.end - 1, std::move(item)});
  }
  if (meta) {
    std::string_view raw = meta->span.of(line);
    std::string add = empty_object(raw) ? "" : ",";
    splices.push_back({meta->span.end - 1, meta->span.end - 1, add + "\"tavisk/report\":" + reports});
  } else {
    splices.push_back({result->span.end - 1, result->span.end - 1, ",\"_meta\":{\"tavisk/report\":" + reports + "}"});
  }
  std::stable_sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) { return a.begin < b.begin; });
  std::string out;
  std::size_t at = 0;
  for (const Splice& s : splices) {
    out.append(line, at, s.begin - at);
    out += s.text;
    at = s.end;
  }
  out.append(line, at);
  return out;
}

}  // namespace mcp
