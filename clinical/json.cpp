#include "clinical/json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <charconv>
#include <deque>
#include <utility>

namespace quarn::clinical {
namespace {

using nlohmann::json;

// The writer recurses once per level, so the reader never builds deeper.
constexpr int kDepthCeiling = 256;

std::string depth_message(int max_depth) {
  return "nesting deeper than " + std::to_string(max_depth) + " levels";
}

// What every handler shares: the nesting limit and the error text. nlohmann's
// parser keeps its own state in a vector, not on the machine stack, so only
// the limit bounds the depth.
struct SaxBase {
  explicit SaxBase(int limit) : max_depth(std::min(limit, kDepthCeiling)) {}
  int depth = 0;
  int max_depth;
  std::string error;

  bool enter() {
    if (++depth > max_depth) {
      error = depth_message(max_depth);
      return false;
    }
    return true;
  }
  bool leave() {
    --depth;
    return true;
  }
  bool binary(json::binary_t&) { return false; }  // not produced by the text format
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error = e.what();
    return false;
  }
};

// Builds the tape: every value appended in document order; containers get
// their member count and their end index when they close.
class TapeBuilder : public SaxBase {
 public:
  explicit TapeBuilder(int limit) : SaxBase(limit) {}

  bool null() { return scalar(JsonKind::Null, 0); }
  bool boolean(bool v) { return scalar(v ? JsonKind::True : JsonKind::False, 0); }
  bool number_unsigned(std::uint64_t v) { return scalar(JsonKind::Unsigned, v); }
  bool number_integer(std::int64_t v) {
    return scalar(JsonKind::Signed, static_cast<std::uint64_t>(v));
  }
  bool number_float(double v, const std::string&) {
    return scalar(JsonKind::Double, std::bit_cast<std::uint64_t>(v));
  }
  bool string(std::string& s) {
    count_element();
    push(JsonKind::String, s.size(), doc.strings.size());
    doc.strings += s;
    return true;
  }
  bool key(std::string& s) {
    doc.nodes[open_.back().index].head += 1 << 8;  // member count, above the kind byte
    push(JsonKind::Key, s.size(), doc.strings.size());
    doc.strings += s;
    return true;
  }
  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  JsonDocument doc;

 private:
  struct Open {
    std::size_t index;
    bool object;
  };

  void push(JsonKind k, std::uint64_t size, std::uint64_t payload) {
    doc.nodes.push_back({static_cast<std::uint64_t>(k) | (size << 8), payload});
  }
  void count_element() {
    if (!open_.empty() && !open_.back().object) doc.nodes[open_.back().index].head += 1 << 8;
  }
  bool scalar(JsonKind k, std::uint64_t payload) {
    count_element();
    push(k, 0, payload);
    return true;
  }
  bool open(bool object) {
    count_element();
    if (!enter()) return false;
    open_.push_back({doc.nodes.size(), object});
    push(object ? JsonKind::Object : JsonKind::Array, 0, 0);
    return true;
  }
  bool close() {
    doc.nodes[open_.back().index].payload = doc.nodes.size();
    open_.pop_back();
    return leave();
  }

  std::vector<Open> open_;
};

// Follows only the top level, remembering the last value of one key.
class FieldFinder : public SaxBase {
 public:
  FieldFinder(std::string_view key, int limit) : SaxBase(limit), key_(key) {}

  bool null() { return other(); }
  bool boolean(bool) { return other(); }
  bool number_unsigned(std::uint64_t) { return other(); }
  bool number_integer(std::int64_t) { return other(); }
  bool number_float(double, const std::string&) { return other(); }
  bool string(std::string& s) {
    if (is_field_value()) found = std::move(s);
    return true;
  }
  bool key(std::string& s) {
    if (depth == 1) at_key_ = s == key_;
    return true;
  }
  bool start_object(std::size_t) {
    if (depth == 0) top_is_object_ = true;
    other();
    return enter();
  }
  bool start_array(std::size_t) {
    other();
    return enter();
  }
  bool end_object() { return leave(); }
  bool end_array() { return leave(); }

  std::optional<std::string> found;

 private:
  // The value now starting belongs to the key being looked for.
  bool is_field_value() {
    bool mine = depth == 1 && top_is_object_ && at_key_;
    if (mine) at_key_ = false;
    return mine;
  }
  bool other() {
    if (is_field_value()) found.reset();
    return true;
  }

  std::string_view key_;
  bool top_is_object_ = false;
  bool at_key_ = false;
};

// nlohmann skips a UTF-8 byte-order mark before the value and takes a NUL
// byte for the end of the text; strict JSON allows neither (a NUL can be in
// no valid text, not even inside a string), so both are refused here first.
template <class Sax>
bool run_parser(std::string_view text, Sax& sax) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    sax.error = "byte-order mark before the value";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    sax.error = "NUL byte in the text";
    return false;
  }
  return json::sax_parse(text.data(), text.data() + text.size(), &sax, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false);
}

struct EscapeTable {
  bool v[256];
};
constexpr EscapeTable make_escape_table() {
  EscapeTable t{};
  for (int b = 0; b < 0x20; ++b) t.v[b] = true;
  t.v[static_cast<unsigned char>('"')] = true;
  t.v[static_cast<unsigned char>('\\')] = true;
  return t;
}
constexpr EscapeTable kEscape = make_escape_table();

class Writer {
 public:
  Writer(const JsonDocument& doc, std::string& out) : doc_(doc), out_(out) {}

  // Recursion depth is bounded by the reader's nesting limit.
  void value(std::size_t i, std::size_t depth) {
    const JsonNode& n = doc_.nodes[i];
    switch (n.kind()) {
      case JsonKind::Null: out_ += "null"; return;
      case JsonKind::False: out_ += "false"; return;
      case JsonKind::True: out_ += "true"; return;
      case JsonKind::Unsigned: write_json_unsigned(n.payload, out_); return;
      case JsonKind::Signed: number(static_cast<std::int64_t>(n.payload)); return;
      case JsonKind::Double: number(std::bit_cast<double>(n.payload)); return;
      case JsonKind::String:
      case JsonKind::Key: write_json_string(doc_.text(n), out_); return;
      case JsonKind::Array: array(i, depth); return;
      case JsonKind::Object: object(i, depth); return;
    }
  }

 private:
  std::size_t next(std::size_t i) const {
    JsonKind k = doc_.nodes[i].kind();
    return k == JsonKind::Array || k == JsonKind::Object ? doc_.nodes[i].payload : i + 1;
  }

  template <class T>
  void number(T v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);  // shortest round-trip form for doubles
    out_.append(buf, r.ptr);
  }

  void array(std::size_t i, std::size_t depth) {
    out_ += '[';
    const std::size_t end = doc_.nodes[i].payload;
    for (std::size_t c = i + 1; c < end; c = next(c)) {
      if (c != i + 1) out_ += ',';
      value(c, depth + 1);
    }
    out_ += ']';
  }

  // Members in ascending byte order of their keys; of repeated keys the last
  // one in the text.
  void object(std::size_t i, std::size_t depth) {
    if (scratch_.size() <= depth) scratch_.resize(depth + 1);
    std::vector<std::size_t>& keys = scratch_[depth];
    keys.clear();
    const std::size_t end = doc_.nodes[i].payload;
    for (std::size_t c = i + 1; c < end; c = next(c + 1)) keys.push_back(c);
    auto before = [this](std::size_t a, std::size_t b) {
      int cmp = key(a).compare(key(b));
      return cmp < 0 || (cmp == 0 && a < b);
    };
    if (!std::is_sorted(keys.begin(), keys.end(), before)) std::sort(keys.begin(), keys.end(), before);
    out_ += '{';
    bool first = true;
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (k + 1 < keys.size() && key(keys[k]) == key(keys[k + 1])) continue;
      if (!first) out_ += ',';
      first = false;
      write_json_string(key(keys[k]), out_);
      out_ += ':';
      value(keys[k] + 1, depth + 1);
    }
    out_ += '}';
  }

  std::string_view key(std::size_t i) const { return doc_.text(doc_.nodes[i]); }

  const JsonDocument& doc_;
  std::string& out_;
  // One key list per depth, reused; a deque, so growing it for a deeper
  // level leaves the lists of the levels being written where they are.
  std::deque<std::vector<std::size_t>> scratch_;
};

}  // namespace

core::Result<JsonDocument, JsonError> parse_json(std::string_view text, int max_depth) {
  TapeBuilder builder(max_depth);
  if (!run_parser(text, builder)) return JsonError{std::move(builder.error)};
  return std::move(builder.doc);
}

core::Result<std::optional<std::string>, JsonError> top_level_string(std::string_view text,
                                                                    std::string_view key,
                                                                    int max_depth) {
  FieldFinder finder(key, max_depth);
  if (!run_parser(text, finder)) return JsonError{std::move(finder.error)};
  return std::move(finder.found);
}

void write_json(const JsonDocument& doc, std::string& out) {
  if (doc.nodes.empty()) return;
  Writer(doc, out).value(0, 0);
}

void write_json_string(std::string_view s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    const char* run = p;
    while (p < end && !kEscape.v[static_cast<unsigned char>(*p)]) ++p;
    out.append(run, p);
    if (p == end) break;
    auto c = static_cast<unsigned char>(*p++);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(u, 6);
      }
    }
  }
  out += '"';
}

void write_json_unsigned(std::uint64_t v, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace quarn::clinical
