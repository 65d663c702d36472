// The canonical compact writer of audit JSON: keys in byte order at every
// depth, the last of repeated keys kept, numbers in their shortest form that
// reads back as the same kind.
#include "clinical/json.h"

#include "quarn_core/text.h"

#include <algorithm>
#include <bit>
#include <deque>
#include <vector>

namespace quarn::clinical {
namespace {

struct ByteTable {
  bool v[256];
};

// Bytes a string literal writes escaped: controls, '"' and '\\'.
constexpr ByteTable make_escape_table() {
  ByteTable t{};
  for (int b = 0; b < 0x20; ++b) t.v[b] = true;
  t.v[static_cast<unsigned char>('"')] = true;
  t.v[static_cast<unsigned char>('\\')] = true;
  return t;
}
constexpr ByteTable kEscape = make_escape_table();

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
      case JsonKind::Signed: core::append_decimal(out_, static_cast<std::int64_t>(n.payload)); return;
      // Always with a point or an exponent, so that it reads back as a double.
      case JsonKind::Double: core::append_shortest_double(out_, std::bit_cast<double>(n.payload)); return;
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

void write_json_unsigned(std::uint64_t v, std::string& out) { core::append_decimal(out, v); }

}  // namespace quarn::clinical
