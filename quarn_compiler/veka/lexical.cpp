// Character-level rules: whitespace and comments, identifiers and reserved
// words, literals, type annotations, spans, and the token matchers that the
// statement and item rules are built from. There is no tokenizer; every rule
// reads the source text directly.

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include "quarn_compiler/veka/parser.h"
#include "quarn_core/text.h"

namespace quarn::compiler::detail {
namespace {

constexpr size_t kBlock = 64;

bool is_lead_byte(unsigned char b) { return (b & 0xC0) != 0x80; }

// Characters (UTF-8 lead bytes) among n bytes, eight at a time: a
// continuation byte has bit 7 set and bit 6 clear.
size_t count_chars(const char* p, size_t n) {
  size_t continuations = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    continuations += static_cast<size_t>(
        __builtin_popcountll(w & ~(w << 1) & 0x8080808080808080ull));
  }
  for (; i < n; ++i) continuations += !is_lead_byte(static_cast<unsigned char>(p[i]));
  return n - continuations;
}

// Decodes the character at s[i]. Malformed bytes decode as one byte that is
// neither alphabetic nor numeric.
struct Decoded {
  char32_t c;
  size_t len;
  bool valid;
};

Decoded decode(std::string_view s, size_t i) {
  core::Utf8Char c = core::decode_utf8(s, i);
  if (c.len == 0) return {0xFFFD, 1, false};
  return {c.cp, c.len, true};
}

bool is_alphabetic(const Decoded& d) {
  if (d.c < 0x80) return (d.c >= 'a' && d.c <= 'z') || (d.c >= 'A' && d.c <= 'Z');
  return d.valid && u_hasBinaryProperty(static_cast<UChar32>(d.c), UCHAR_ALPHABETIC);
}

bool is_numeric(const Decoded& d) {
  if (d.c < 0x80) return d.c >= '0' && d.c <= '9';
  if (!d.valid) return false;
  int8_t t = u_charType(static_cast<UChar32>(d.c));
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

bool is_ident_start(const Decoded& d) { return d.c == '_' || is_alphabetic(d); }
bool is_ident_continue(const Decoded& d) {
  return d.c == '_' || is_alphabetic(d) || is_numeric(d);
}

constexpr std::array<std::string_view, 23> kReserved = {
    "if",     "fn",     "or",     "let",    "and",    "not",     "else",     "loop",
    "null",   "true",   "enum",   "from",   "block",  "false",   "break",    "const",
    "return", "module", "struct", "import", "export", "program", "continue"};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool is_reserved_word(std::string_view word) {
  // Reserved words are 2 to 8 letters long and start with a lower-case letter.
  if (word.size() < 2 || word.size() > 8 || word[0] < 'a' || word[0] > 'z') return false;
  return std::find(kReserved.begin(), kReserved.end(), word) != kReserved.end();
}

// ---- positions ---------------------------------------------------------------

LineIndex::LineIndex(std::string_view src) : src_(src) {
  line_starts_.push_back(0);
  const char* data = src.data();
  const char* end = data + src.size();
  for (const char* p = data; p < end;) {
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (!lf) break;
    p = static_cast<const char*>(lf) + 1;
    line_starts_.push_back(static_cast<size_t>(p - data));
  }
  for (unsigned char c : src) {
    if (c >= 0x80) {
      ascii_ = false;
      break;
    }
  }
  if (ascii_) return;
  block_chars_.resize(src.size() / kBlock + 1);
  size_t chars = 0;
  for (size_t k = 0; k + 1 < block_chars_.size(); ++k) {
    block_chars_[k] = chars;
    chars += count_chars(data + k * kBlock, kBlock);
  }
  block_chars_.back() = chars;
}

size_t LineIndex::char_index(size_t pos) const {
  size_t k = pos / kBlock;
  return block_chars_[k] + count_chars(src_.data() + k * kBlock, pos - k * kBlock);
}

Span LineIndex::span(size_t start, size_t end) const {
  // line_starts_[k] begins line k + 1.
  size_t k = last_line_;
  auto holds = [&](size_t line) {
    return line_starts_[line] <= start && (line + 1 == line_starts_.size() || start < line_starts_[line + 1]);
  };
  if (!holds(k)) {
    // Mostly a few lines further on (the next token), else anywhere.
    size_t ahead = k;
    while (ahead + 1 < line_starts_.size() && ahead < k + 4 && line_starts_[ahead + 1] <= start) ++ahead;
    if (ahead != k && holds(ahead)) {
      k = ahead;
    } else {
      k = static_cast<size_t>(std::upper_bound(line_starts_.begin(), line_starts_.end(), start) -
                              line_starts_.begin()) - 1;
    }
    last_line_ = k;
  }
  size_t line_start = line_starts_[k];
  size_t col = ascii_ ? start - line_start + 1 : char_index(start) - char_index(line_start) + 1;
  return Span{start, end, static_cast<std::uint32_t>(k + 1), static_cast<std::uint32_t>(col)};
}

Parser::Parser(std::string_view src, ProgramSink* sink) : src_(src), lines_(src), sink_(sink) {}

// ---- whitespace and comments -------------------------------------------------

// ws: (" " | "\t" | "\n" | "\r")+ | "//" ...up to and including "\n"
size_t Parser::skip_ws(size_t p) {
  // Most calls stand at a token already.
  if (p < src_.size() && static_cast<unsigned char>(src_[p]) > ' ' && src_[p] != '/') return p;
  if (p == ws_from_) return ws_to_;
  size_t q = p;
  const size_t n = src_.size();
  while (q < n) {
    char c = src_[q];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++q;
    } else if (c == '/' && q + 1 < n && src_[q + 1] == '/') {
      const void* lf = std::memchr(src_.data() + q, '\n', n - q);
      q = lf ? static_cast<size_t>(static_cast<const char*>(lf) - src_.data()) + 1 : n;
    } else {
      break;
    }
  }
  ws_from_ = p;
  ws_to_ = q;
  return q;
}

// ---- identifiers -------------------------------------------------------------

// identifier: (alphabetic | "_") (alphabetic | numeric | "_")*, not reserved
size_t identifier_end(std::string_view src, size_t p) {
  size_t q = p;
  if (q >= src.size()) return p;
  Decoded d = decode(src, q);
  if (!is_ident_start(d)) return p;
  q += d.len;
  while (q < src.size()) {
    unsigned char b = static_cast<unsigned char>(src[q]);
    if (b < 0x80) {
      if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_') {
        ++q;
        continue;
      }
      break;
    }
    d = decode(src, q);
    if (!is_ident_continue(d)) break;
    q += d.len;
  }
  return q;
}

St Parser::parse_identifier(size_t& p, std::string& out) {
  const size_t q = identifier_end(src_, p);
  if (q == p) return fail_kind(q, PrimitiveKind::TakeWhile1);
  std::string_view word = src_.substr(p, q - p);
  if (is_reserved_word(word)) return add_label(St::Soft, q, "keyword");
  out.assign(word);
  p = q;
  return St::Ok;
}

St Parser::parse_identifier_span(size_t& p, std::string& out, Span& sp) {
  size_t q = skip_ws(p);
  size_t start = q;
  St st = parse_identifier(q, out);
  if (failed(st)) return st;
  sp = span(start, q);
  p = q;
  return St::Ok;
}

St Parser::hard_name(size_t& p, std::string_view label, std::string& out, Span* sp) {
  Span s;
  St st = parse_identifier_span(p, out, s);
  if (failed(st)) return cut(st, p, label);
  if (sp) *sp = s;
  return St::Ok;
}

// ---- literals ----------------------------------------------------------------

bool Parser::parse_small_number(size_t& p, std::uint64_t max, std::uint64_t& out) const {
  core::DecimalRun run = core::scan_decimal(src_.substr(p), max);
  if (run.digits == 0) return false;
  out = run.overflow ? max + 1 : run.value;
  p += run.digits;
  return true;
}

// "0x" hex+ | "-"? digit+ "." digit+ | "-"? digit+ at q.
NumberScan scan_number(std::string_view src, size_t q, Literal& out, size_t& end) {
  const size_t n = src.size();
  if (src.substr(q, 2) == "0x") {
    size_t r = q + 2;
    std::uint64_t v = 0;
    bool overflow = false;
    for (int h; r < n && (h = hex_value(src[r])) >= 0; ++r) {
      if (v > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) >> 4))
        overflow = true;
      v = (v << 4) | static_cast<std::uint64_t>(h);
      if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) overflow = true;
    }
    if (r > q + 2) {
      if (overflow) return NumberScan::OutOfRange;
      out.v = Literal::Int{static_cast<std::int64_t>(v)};
      end = r;
      return NumberScan::Read;
    }
    // No digits after "0x": the decimal rules below read the 0.
  }
  size_t r = q;
  bool negative = r < n && src[r] == '-';
  if (negative) ++r;
  size_t digits = r;
  while (r < n && core::is_decimal_digit(src[r])) ++r;
  if (r > digits) {
    size_t int_end = r;
    // Floating point: digits on both sides of the point.
    if (r + 1 < n && src[r] == '.' && core::is_decimal_digit(src[r + 1])) {
      r += 1;
      while (r < n && core::is_decimal_digit(src[r])) ++r;
      double value = 0;
      auto res = std::from_chars(src.data() + q, src.data() + r, value);
      if (res.ec == std::errc::result_out_of_range) {
        // Too large (some integer digit is not 0) or too small to represent.
        bool big = src.find_first_not_of('0', digits) < int_end;
        value = big ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) value = -value;
      }
      out.v = Literal::Float{value};
      end = r;
      return NumberScan::Read;
    }
    // Integer: the magnitude may reach 2^63 only with a minus sign.
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    core::DecimalRun run = core::scan_decimal(src.substr(digits, int_end - digits), limit);
    if (run.overflow) return NumberScan::OutOfRange;
    const std::uint64_t v = run.value;
    std::int64_t value = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    out.v = Literal::Int{value};
    end = int_end;
    return NumberScan::Read;
  }
  return NumberScan::None;
}

// literal: "null" | "true" | "false" | "0x" hex+ | "-"? digit+ "." digit+
//        | "-"? digit+ | string
St Parser::parse_literal(size_t& p, Literal& out) {
  const size_t q = p;
  if (starts_with(q, "null")) {
    out.v = Literal::Null{};
    p = q + 4;
    return St::Ok;
  }
  if (starts_with(q, "true")) {
    out.v = Literal::Bool{true};
    p = q + 4;
    return St::Ok;
  }
  if (starts_with(q, "false")) {
    out.v = Literal::Bool{false};
    p = q + 5;
    return St::Ok;
  }
  switch (scan_number(src_, q, out, p)) {
    case NumberScan::Read: return St::Ok;
    case NumberScan::OutOfRange: return hard(q, kIntegerOutOfRangeLabel);
    case NumberScan::None: break;
  }
  std::string text;
  size_t s = q;
  St st = parse_string_literal(s, text);
  if (st == St::Ok) {
    out.v = Literal::String{std::move(text)};
    p = s;
    return St::Ok;
  }
  return fail_kind(q, PrimitiveKind::Alt);
}

// string: '"' (char - '"' - '\\' | '\\' escape)* '"'
StringScan scan_string(std::string_view src, size_t p, std::string& out) {
  size_t q = p;
  if (q >= src.size() || src[q] != '"') return {StringScan::NoQuote, q};
  ++q;
  std::string text;
  const size_t n = src.size();
  while (true) {
    size_t run = q;
    while (q < n && src[q] != '"' && src[q] != '\\') ++q;
    text.append(src, run, q - run);
    if (q >= n) return {StringScan::NoQuote, q};
    if (src[q] == '"') break;
    // Backslash escape.
    ++q;
    if (q >= n) return {StringScan::BadEscape, q};
    char c;
    switch (src[q]) {
      case '"': c = '"'; break;
      case '\\': c = '\\'; break;
      case '/': c = '/'; break;
      case 'b': c = '\b'; break;
      case 'f': c = '\f'; break;
      case 'n': c = '\n'; break;
      case 'r': c = '\r'; break;
      case 't': c = '\t'; break;
      default: return {StringScan::BadEscape, q};
    }
    text.push_back(c);
    ++q;
  }
  out = std::move(text);
  return {StringScan::Read, q + 1};
}

St Parser::parse_string_literal(size_t& p, std::string& out) {
  StringScan r = scan_string(src_, p, out);
  switch (r.end) {
    case StringScan::Read: p = r.at; return St::Ok;
    case StringScan::NoQuote: return fail_char(r.at, '"');
    case StringScan::BadEscape: return fail_kind(r.at, PrimitiveKind::OneOf);
  }
  return St::Soft;
}

// ---- type annotations --------------------------------------------------------

size_t builtin_type(std::string_view src, size_t q, Type& out) {
  struct Builtin {
    std::string_view upper, lower;
    int kind;
  };
  static constexpr Builtin kBuiltins[] = {
      {"Int", "int", 0}, {"Float", "float", 1}, {"String", "string", 2}, {"Bool", "bool", 3}};
  const std::string_view rest = src.substr(q);
  for (const Builtin& b : kBuiltins) {
    size_t len = 0;
    if (rest.starts_with(b.upper)) {
      len = b.upper.size();
    } else if (rest.starts_with(b.lower)) {
      len = b.lower.size();
    } else {
      continue;
    }
    switch (b.kind) {
      case 0: out.v = Type::Int{}; break;
      case 1: out.v = Type::Float{}; break;
      case 2: out.v = Type::String{}; break;
      default: out.v = Type::Bool{}; break;
    }
    return len;
  }
  return 0;
}

// type: "*" ("const" | "mut")? type | "[" type "]" | "Array" "<" type ">"
//     | "Int" | "int" | "Float" | "float" | "String" | "string" | "Bool"
//     | "bool" | identifier
// A `*`, `[` or `Array<` opens one nesting level around the type inside.
St Parser::parse_type(size_t& p, Type& out) {
  const size_t q = p;
  if (at(q, '*')) {
    NestingGuard guard(*this);
    if (guard.exceeded()) return too_deep(q);
    size_t r = skip_ws(q + 1);
    if (starts_with(r, "const")) {
      r += 5;
    } else if (starts_with(r, "mut")) {
      r += 3;
    }
    r = skip_ws(r);
    Type inner;
    St st = parse_type(r, inner);
    if (st == St::Hard) return st;
    if (st == St::Ok) {
      out.v = Type::Pointer{Box<Type>::in_arena(std::move(inner))};
      p = r;
      return St::Ok;
    }
    drop();
  }
  if (at(q, '[')) {
    NestingGuard guard(*this);
    if (guard.exceeded()) return too_deep(q);
    size_t r = skip_ws(q + 1);
    Type inner;
    St st = parse_type(r, inner);
    if (st == St::Hard) return st;
    if (st == St::Ok) {
      r = skip_ws(r);
      if (at(r, ']')) {
        out.v = Type::Array{Box<Type>::in_arena(std::move(inner))};
        p = r + 1;
        return St::Ok;
      }
    }
    drop();
  }
  if (starts_with(q, "Array")) {
    // Committed: a name starting with "Array" cannot be a named type.
    NestingGuard guard(*this);
    if (guard.exceeded()) return too_deep(q);
    size_t r = skip_ws(q + 5);
    if (!at(r, '<')) return fail_char(r, '<');
    r = skip_ws(r + 1);
    Type inner;
    St st = parse_type(r, inner);
    if (failed(st)) return st;
    r = skip_ws(r);
    if (!at(r, '>')) return fail_char(r, '>');
    out.v = Type::Array{Box<Type>::in_arena(std::move(inner))};
    p = r + 1;
    return St::Ok;
  }
  if (const size_t len = builtin_type(src_, q, out)) {
    p = q + len;
    return St::Ok;
  }
  size_t r = q;
  std::string name;
  St st = parse_identifier(r, name);
  if (failed(st)) return st;
  out.v = Type::Named{std::move(name)};
  p = r;
  return St::Ok;
}

St Parser::parse_type_span(size_t& p, Type& out, Span& sp) {
  size_t q = skip_ws(p);
  size_t start = q;
  St st = parse_type(q, out);
  if (failed(st)) return st;
  sp = span(start, q);
  p = q;
  return St::Ok;
}

// ---- token matchers ----------------------------------------------------------

St Parser::parse_keyword(size_t& p, std::string_view word, Span& sp) {
  size_t q = skip_ws(p);
  if (!starts_with(q, word)) return fail_kind(q, PrimitiveKind::Tag);
  sp = span(q, q + word.size());
  p = q + word.size();
  return St::Ok;
}

St Parser::expect_symbol(size_t& p, std::string_view label, char ch) {
  size_t q = skip_ws(p);
  if (!at(q, ch)) {
    fail_char(q, static_cast<unsigned char>(ch));
    return hard(p, label);
  }
  p = q + 1;
  return St::Ok;
}

St Parser::labelled_tag(size_t& p, std::string_view label, std::string_view text) {
  size_t q = skip_ws(p);
  if (!starts_with(q, text)) {
    fail_kind(q, PrimitiveKind::Tag);
    return add_label(St::Soft, p, label);
  }
  p = q + text.size();
  return St::Ok;
}

St Parser::plain_char(size_t& p, char ch) {
  size_t q = skip_ws(p);
  if (!at(q, ch)) return fail_char(q, static_cast<unsigned char>(ch));
  p = q + 1;
  return St::Ok;
}

}  // namespace quarn::compiler::detail
