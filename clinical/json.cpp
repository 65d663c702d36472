// The strict reader of audit JSON (and the nlohmann-driven reference it is
// checked against); the writer is in json_writer.cpp.
#include "clinical/json.h"

#include "quarn_core/text.h"

#include <nlohmann/json.hpp>

#include <locale.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quarn::clinical {
namespace {

using nlohmann::json;

// The writer recurses once per level, so the reader never builds deeper.
constexpr int kDepthCeiling = 256;

std::string depth_message(int max_depth) {
  return "nesting deeper than " + core::decimal(max_depth) + " levels";
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
  bool string(std::string_view s) {
    count_element();
    push(JsonKind::String, s.size(), doc.strings.size());
    doc.strings += s;
    return true;
  }
  bool key(std::string_view s) {
    doc.nodes[open_.back().index].head += 1 << 8;  // member count, above the kind byte
    push(JsonKind::Key, s.size(), doc.strings.size());
    doc.strings += s;
    return true;
  }
  bool string(std::string& s) { return string(std::string_view(s)); }
  bool key(std::string& s) { return key(std::string_view(s)); }
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
  bool string(std::string_view s) {
    if (is_field_value()) found = std::string(s);
    return true;
  }
  bool key(std::string_view s) {
    if (depth == 1) at_key_ = s == key_;
    return true;
  }
  bool string(std::string& s) { return string(std::string_view(s)); }
  bool key(std::string& s) { return key(std::string_view(s)); }
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
bool run_nlohmann(std::string_view text, Sax& sax) {
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

struct ByteTable {
  bool v[256];
};
// String bytes that need no attention: printable ASCII but '"' and '\\'.
constexpr ByteTable make_plain_table() {
  ByteTable t{};
  for (int b = 0x20; b < 0x80; ++b) t.v[b] = b != '"' && b != '\\';
  return t;
}
constexpr ByteTable kPlain = make_plain_table();

// A number too large for a double is refused; one too small becomes zero.
// from_chars reports both as out of range, so the C library (in the "C"
// locale, whatever the process's locale) tells them apart.
bool finite_double(std::string_view text, double& out) {
  auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  if (r.ec == std::errc()) return true;
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  std::string copy(text);
  out = c_locale != nullptr ? strtod_l(copy.c_str(), nullptr, c_locale) : std::strtod(copy.c_str(), nullptr);
  return std::isfinite(out);
}

// The reader the system uses: strict JSON in one forward pass, with an
// explicit stack of open containers (never deeper than the handler allows),
// sending the same events as nlohmann's SAX parser to the same handlers. It
// accepts exactly what nlohmann's strict parser accepts (checked against it
// by the tests and the fuzz target) at several times its speed.
class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(reinterpret_cast<const unsigned char*>(text.data())),
        p_(begin_),
        end_(begin_ + text.size()) {}

  template <class H>
  bool run(H& h) {
    bool open[kDepthCeiling + 1];  // true: an object
    int depth = 0;
    skip_space();
    for (;;) {
      // value -> object | array | string | number | "true" | "false" | "null"
      if (p_ == end_) return fail(h, "unexpected end of input");
      unsigned char c = *p_;
      if (c == '{' || c == '[') {
        bool object = c == '{';
        ++p_;
        if (!(object ? h.start_object(std::size_t(-1)) : h.start_array(std::size_t(-1)))) return false;
        if (depth == kDepthCeiling) return fail(h, "nesting too deep");
        open[depth++] = object;
        skip_space();
        if (p_ < end_ && *p_ == (object ? '}' : ']')) {
          ++p_;
          --depth;
          if (!(object ? h.end_object() : h.end_array())) return false;
        } else {
          if (object && !member_key(h)) return false;
          continue;
        }
      } else if (c == '"') {
        std::string_view s;
        if (!string_token(s)) return fail(h, "invalid string");
        if (!h.string(s)) return false;
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        if (!number(h)) return false;
      } else if (!literal(h)) {
        return false;
      }
      // After a value: "," and the next one, or the end of containers.
      for (;;) {
        skip_space();
        if (depth == 0) return p_ == end_ || fail(h, "text after the value");
        if (p_ == end_) return fail(h, "unexpected end of input");
        bool object = open[depth - 1];
        c = *p_++;
        if (c == ',') {
          skip_space();
          if (object && !member_key(h)) return false;
          break;
        }
        if (c != (object ? '}' : ']')) return fail(h, object ? "expected ',' or '}'" : "expected ',' or ']'");
        --depth;
        if (!(object ? h.end_object() : h.end_array())) return false;
      }
    }
  }

 private:
  template <class H>
  bool fail(H& h, const char* what) {
    h.error = std::string(what) + " at byte " + core::decimal(p_ - begin_);
    return false;
  }

  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  // member -> string ":" value (the value follows in the main loop)
  template <class H>
  bool member_key(H& h) {
    std::string_view k;
    if (p_ == end_ || *p_ != '"' || !string_token(k)) return fail(h, "expected a string key");
    if (!h.key(k)) return false;
    skip_space();
    if (p_ == end_ || *p_ != ':') return fail(h, "expected ':'");
    ++p_;
    skip_space();
    return true;
  }

  bool hex4(std::uint32_t& out) {
    if (end_ - p_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      unsigned char c = *p_++;
      std::uint32_t d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      out = out << 4 | d;
    }
    return true;
  }

  // string -> '"' chars '"'. The view points into the text when the string
  // has no escapes, else into buf_ (valid until the next string).
  bool string_token(std::string_view& out) {
    ++p_;  // '"'
    const unsigned char* run = p_;
    bool escaped = false;
    for (;;) {
      while (p_ < end_ && kPlain.v[*p_]) ++p_;
      if (p_ == end_) return false;
      unsigned char c = *p_;
      if (c == '"') {
        if (escaped) {
          buf_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
          out = buf_;
        } else {
          out = std::string_view(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
        }
        ++p_;
        return true;
      }
      if (c >= 0x80) {
        std::size_t n = core::utf8_length(p_, end_);
        if (n == 0) return false;
        p_ += n;
        continue;
      }
      if (c != '\\') return false;  // a control character
      if (!escaped) buf_.clear();
      escaped = true;
      buf_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
      if (++p_ == end_) return false;
      switch (*p_++) {
        case '"': buf_ += '"'; break;
        case '\\': buf_ += '\\'; break;
        case '/': buf_ += '/'; break;
        case 'b': buf_ += '\b'; break;
        case 'f': buf_ += '\f'; break;
        case 'n': buf_ += '\n'; break;
        case 'r': buf_ += '\r'; break;
        case 't': buf_ += '\t'; break;
        case 'u': {
          std::uint32_t cp;
          if (!hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low surrogate first
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          core::append_utf8(buf_, cp);
          break;
        }
        default: return false;
      }
      run = p_;
    }
  }

  static bool digit(unsigned char c) { return core::is_decimal_digit(static_cast<char>(c)); }

  // number -> "-"? ("0" | [1-9][0-9]*) ("." [0-9]+)? ([eE] [+-]? [0-9]+)?
  // Integers within 64 bits stay integers; every other number is a double.
  template <class H>
  bool number(H& h) {
    const unsigned char* start = p_;
    bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !digit(*p_)) return fail(h, "invalid number");
    if (*p_++ != '0') {
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
      integral = false;
      if (++p_ == end_ || !digit(*p_)) return fail(h, "invalid number");
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      if (++p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !digit(*p_)) return fail(h, "invalid number");
      while (p_ < end_ && digit(*p_)) ++p_;
    }
    const char* first = reinterpret_cast<const char*>(start);
    const char* last = reinterpret_cast<const char*>(p_);
    if (integral) {
      if (negative) {
        std::int64_t v;
        if (std::from_chars(first, last, v).ec == std::errc()) return h.number_integer(v);
      } else {
        std::uint64_t v;
        if (std::from_chars(first, last, v).ec == std::errc()) return h.number_unsigned(v);
      }
    }
    double d;
    if (!finite_double(std::string_view(first, static_cast<std::size_t>(last - first)), d)) {
      return fail(h, "number overflow");
    }
    return h.number_float(d, std::string());
  }

  template <class H>
  bool literal(H& h) {
    auto rest = static_cast<std::size_t>(end_ - p_);
    auto is = [&](std::string_view word) {
      return rest >= word.size() && std::memcmp(p_, word.data(), word.size()) == 0;
    };
    if (is("true")) {
      p_ += 4;
      return h.boolean(true);
    }
    if (is("false")) {
      p_ += 5;
      return h.boolean(false);
    }
    if (is("null")) {
      p_ += 4;
      return h.null();
    }
    return fail(h, "invalid literal");
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  std::string buf_;
};

template <class Sax>
bool run_reader(std::string_view text, Sax& sax) {
  return Reader(text).run(sax);
}

}  // namespace

core::Result<JsonDocument, JsonError> parse_json(std::string_view text, int max_depth) {
  TapeBuilder builder(max_depth);
  if (!run_reader(text, builder)) return JsonError{std::move(builder.error)};
  return std::move(builder.doc);
}

core::Result<JsonDocument, JsonError> parse_json_reference(std::string_view text, int max_depth) {
  TapeBuilder builder(max_depth);
  if (!run_nlohmann(text, builder)) return JsonError{std::move(builder.error)};
  return std::move(builder.doc);
}

core::Result<std::optional<std::string>, JsonError> top_level_string(std::string_view text,
                                                                    std::string_view key,
                                                                    int max_depth) {
  FieldFinder finder(key, max_depth);
  if (!run_reader(text, finder)) return JsonError{std::move(finder.error)};
  return std::move(finder.found);
}

}  // namespace quarn::clinical
