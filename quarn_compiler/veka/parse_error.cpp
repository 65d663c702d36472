// Text of a parse failure: one block per trail entry, innermost first,
//   "{i}: at line {n}, in {label}:\n{line}\n{caret}\n\n"
// with the source line trimmed of trailing white space and the caret placed
// at the entry's byte column.

#include <algorithm>
#include <string>
#include <vector>

#include "quarn_compiler/veka/parse.h"
#include "quarn_core/core_error.h"
#include "quarn_core/text.h"

namespace quarn::compiler {
namespace {

constexpr std::string_view kIncomplete = "Incomplete input (streaming parser error)";

// A line longer than this is shown as a window around the entry's position:
// every entry repeats its line and a caret line as long as its column, and a
// one-line text of megabytes times hundreds of entries would exhaust memory.
constexpr size_t kMaxShownLine = 16 * 1024;
constexpr size_t kWindowHalf = 4 * 1024;
constexpr std::string_view kElision = "...";

void append_number(std::string& out, std::uint64_t v) { core::append_decimal(out, v); }

void append_utf8(std::string& out, char32_t c) { core::append_utf8(out, c); }

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Byte length of the UTF-8 sequence starting at s[i] (1 for a stray byte).
size_t char_length(std::string_view s, size_t i) {
  size_t len = core::decode_utf8(s, i).len;
  return len == 0 ? 1 : len;
}

// Length of `line` without its trailing Unicode White_Space characters.
size_t trimmed_length(std::string_view line) { return core::trim_white_space_end(line).size(); }

class Renderer {
 public:
  explicit Renderer(std::string_view source) : s_(source) {
    for (size_t i = 0; i < s_.size(); ++i)
      if (s_[i] == '\n') line_feeds_.push_back(i);
  }

  void block(std::string& out, size_t index, const TrailEntry& e) {
    append_number(out, index);
    if (s_.empty()) {
      switch (e.kind) {
        case TrailEntry::Kind::ExpectedChar:
          out.append(": expected '");
          append_utf8(out, e.expected);
          out.append("', got empty input\n\n");
          break;
        case TrailEntry::Kind::Context:
          out.append(": in ");
          out.append(e.label);
          out.append(", got empty input\n\n");
          break;
        case TrailEntry::Kind::Primitive:
          out.append(": in ");
          out.append(primitive_name(e.primitive));
          out.append(", got empty input\n\n");
          break;
      }
      return;
    }

    size_t p = static_cast<size_t>(std::min<std::uint64_t>(e.position, s_.size()));
    // Line feeds strictly before p.
    size_t before = static_cast<size_t>(
        std::lower_bound(line_feeds_.begin(), line_feeds_.end(), p) - line_feeds_.begin());
    size_t line_number = before + 1;
    size_t line_begin = before == 0 ? 0 : line_feeds_[before - 1] + 1;
    size_t line_end = before < line_feeds_.size() ? line_feeds_[before] : s_.size();
    std::string_view line = s_.substr(line_begin, line_end - line_begin);
    if (line_end < s_.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = line.substr(0, trimmed_length(line));
    size_t column = p - line_begin + 1;

    out.append(": at line ");
    append_number(out, line_number);
    if (e.kind == TrailEntry::Kind::Context) {
      out.append(", in ");
      out.append(e.label);
    } else if (e.kind == TrailEntry::Kind::Primitive) {
      out.append(", in ");
      out.append(primitive_name(e.primitive));
    }
    out.append(":\n");
    append_line_and_caret(out, line, column - 1);
    if (e.kind == TrailEntry::Kind::ExpectedChar) {
      out.append("\nexpected '");
      append_utf8(out, e.expected);
      if (p < s_.size()) {
        out.append("', found ");
        out.append(s_.substr(p, char_length(s_, p)));
        out.append("\n\n");
      } else {
        out.append("', got end of input\n\n");
      }
    } else {
      out.append("\n\n");
    }
  }

 private:
  // The line, a line feed, then `offset` blanks and a caret. Over-long lines
  // are cut to a window around the offset, marked with "..." on cut sides.
  void append_line_and_caret(std::string& out, std::string_view line, size_t offset) {
    if (line.size() <= kMaxShownLine && offset <= kMaxShownLine) {
      out.append(line);
      out.push_back('\n');
      out.append(offset, ' ');
      out.push_back('^');
      return;
    }
    size_t from = offset > kWindowHalf ? offset - kWindowHalf : 0;
    if (from > line.size()) from = line.size();
    while (from > 0 && from < line.size() &&
           is_continuation(static_cast<unsigned char>(line[from])))
      --from;
    size_t to = std::min(line.size(), offset + kWindowHalf);
    while (to < line.size() && is_continuation(static_cast<unsigned char>(line[to]))) ++to;
    if (to < from) to = from;
    size_t shift = 0;
    if (from > 0) {
      out.append(kElision);
      shift = kElision.size();
    }
    out.append(line.substr(from, to - from));
    if (to < line.size()) out.append(kElision);
    out.push_back('\n');
    size_t caret = offset - from + shift;
    out.append(std::min(caret, 2 * kWindowHalf + shift), ' ');
    out.push_back('^');
  }

  std::string_view s_;
  std::vector<size_t> line_feeds_;
};

}  // namespace

std::string_view primitive_name(PrimitiveKind kind) {
  switch (kind) {
    case PrimitiveKind::Tag: return "Tag";
    case PrimitiveKind::Char: return "Char";
    case PrimitiveKind::Alt: return "Alt";
    case PrimitiveKind::Digit: return "Digit";
    case PrimitiveKind::OneOf: return "OneOf";
    case PrimitiveKind::TakeWhile1: return "TakeWhile1";
    case PrimitiveKind::MultiSpace: return "MultiSpace";
    case PrimitiveKind::Many0: return "Many0";
    case PrimitiveKind::SeparatedList: return "SeparatedList";
  }
  return "Tag";
}

std::string render_parse_error(std::string_view source, const ParseFailure& failure) {
  if (failure.kind == FailureKind::Incomplete) return std::string(kIncomplete);
  Renderer r(source);
  std::string out;
  for (size_t i = 0; i < failure.trail.size(); ++i) r.block(out, i, failure.trail[i]);
  return out;
}

}  // namespace quarn::compiler
