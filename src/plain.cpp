#include "plain.h"

#include <unordered_set>
#include <vector>

#include "json.h"

namespace tavisk::plain {

namespace {

std::string_view trim_start(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

std::string_view trim_end(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) --n;
  return s.substr(0, n);
}

// Calls f with every line of s (without its line feed).
template <class F>
void each_line(std::string_view s, F&& f) {
  std::size_t pos = 0;
  while (pos <= s.size()) {
    std::size_t lf = s.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? s.size() : lf;
    if (!f(s.substr(pos, end - pos))) return;
    if (lf == std::string_view::npos) return;
    pos = lf + 1;
  }
}

// A comment line with something besides '#' and blanks in it.
bool content_comment(std::string_view line) {
  line = trim_start(line);
  if (line.empty() || line[0] != '#') return false;
  std::size_t i = 0;
  while (i < line.size() && line[i] == '#') ++i;
  return !trim_start(trim_end(line.substr(i))).empty();
}

// The lines of the document's multi-line texts, trimmed like comment lines.
void block_lines(const Value& v, std::unordered_set<std::string_view>& out) {
  std::vector<const Value*> stack{&v};
  while (!stack.empty()) {
    const Value* x = stack.back();
    stack.pop_back();
    if (x->is_string() && x->text().find('\n') != std::string_view::npos) {
      each_line(x->text(), [&](std::string_view l) {
        out.insert(trim_end(trim_start(l)));
        return true;
      });
    } else if (x->is_array()) {
      for (const Value& item : x->items()) stack.push_back(&item);
    } else if (x->is_object()) {
      for (const Member& m : x->members()) stack.push_back(&m.value);
    }
  }
}

}  // namespace

std::string_view without_bom(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

Value text_value(std::string_view text) { return Value::borrowed(Kind::String, text); }

Result<Value> jsonl(std::string_view text) {
  Value::Array items;
  std::uint64_t line_no = 0;
  std::string error;
  each_line(without_bom(text), [&](std::string_view line) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return true;
    auto v = json::parse(line);
    if (!v) {
      json::ParseError e = v.error();
      e.line = line_no;
      error = e.text();
      return false;
    }
    items.push_back(std::move(v).value());
    return true;
  });
  if (!error.empty()) return fail(std::move(error));
  return Value::array(std::move(items));
}

bool yaml_lost_content(std::string_view text, const Value& doc) {
  std::unordered_set<std::string_view> blocks;
  bool blocks_read = false, lost = false;
  each_line(text, [&](std::string_view line) {
    if (!content_comment(line)) return true;
    if (!blocks_read) {
      block_lines(doc, blocks);
      blocks_read = true;
    }
    lost = !blocks.contains(trim_end(trim_start(line)));
    return !lost;
  });
  return lost;
}

}  // namespace tavisk::plain
