// The predictive route (fast_parse.h). Each rule mirrors the backtracking
// rule of the same name on its success path and returns false wherever that
// rule would fail, try another alternative or drop a failure that matters;
// false ends the whole route. So whatever this file accepts, the
// backtracking parser accepts with the same tree, and anything else is left
// to it.
//
// Positions: the backtracking parser asks a line index for the line and
// column of a span's start. Here the parser only moves forward, so a cursor
// counts lines and characters up to each start as the parser reaches it
// (mark()), and a span is made later from that mark. A start reached out of
// order ends the route.

#include "quarn_compiler/veka/fast_parse.h"

#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quarn_compiler/veka/parser.h"
#include "quarn_core/text.h"

namespace quarn::compiler::detail {
namespace {

bool is_name_start(unsigned char c) { return c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }
bool is_name_char(unsigned char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

// Bytes that may begin a binary operator (match_binary_operator's cases).
// Most operands are followed by something else, ";", ")", "," or "{",
// which is answered here without the call.
bool may_begin_operator(unsigned char c) {
  switch (c) {
    case '*': case '/': case '%': case '+': case '-': case '^': case '<': case '>':
    case '=': case '!': case '&': case 'a': case '|': case 'o':
      return true;
    default:
      return false;
  }
}

// Converts to what `make` returns, built where the conversion's result goes:
// handed to an in-place constructor, the value is made in its final place
// instead of being moved there from a temporary.
template <class F>
struct Built {
  F make;
  operator decltype(std::declval<F&>()())() { return make(); }  // NOLINT: converts implicitly by design
};
template <class F>
Built(F) -> Built<F>;

// Makes `e` hold a T built from `args`. An Expr as it was default-constructed
// (a null literal) owns nothing, so T is built over it without the
// variant's reset, a call through a table, which is all an emplace adds
// there (an object's storage may be reused without running its destructor
// when nothing depends on what that would do). Anything else is dropped
// first.
template <class T, class... Args>
T& become(Expr& e, Args&&... args) {
  const Expr::Literal* lit = std::get_if<Expr::Literal>(&e.v);
  if (lit != nullptr && lit->value.is<Literal::Null>()) {
    std::construct_at(&e.v, std::in_place_type<T>, std::forward<Args>(args)...);
    return *std::get_if<T>(&e.v);
  }
  return e.v.template emplace<T>(std::forward<Args>(args)...);
}

// Appends a statement of form X to `list`, built in its place: the
// conversion hands emplace_back a value it constructs in the vector's own
// storage, so the statement is neither made as another form first nor
// moved.
template <class X>
X& append_statement(std::vector<SpannedStmt>& list) {
  struct InPlace {
    operator SpannedStmt() const {  // NOLINT: converts implicitly by design
      return SpannedStmt{Stmt{decltype(Stmt::v)(std::in_place_type<X>)}, Span{}};
    }
  };
  return *std::get_if<X>(&list.emplace_back(InPlace{}).node.v);
}

class FastParser {
 public:
  FastParser(std::string_view src, ProgramSink* sink)
      : src_(src), s_(src.data()), n_(src.size()), sink_(sink) {}

  FastOutcome run(Program& out);

 private:
  // A position with its line and column, taken when the parser reached it.
  struct Mark {
    size_t at;
    std::uint32_t line, col;
  };

  // Counts one more level for as long as it lives; too deep ends the route.
  class Deeper {
   public:
    explicit Deeper(FastParser& f) : f_(f) { ++f_.depth_; }
    ~Deeper() { --f_.depth_; }
    bool too_deep() const { return f_.depth_ > kFastMaxDepth; }
    Deeper(const Deeper&) = delete;
    Deeper& operator=(const Deeper&) = delete;

   private:
    FastParser& f_;
  };

  // The left operand is boxed with its span as soon as its operator is read:
  // neither changes until the operator is combined. Built in place by
  // emplace_back from scalars: a braced temporary was written to the stack
  // piecewise and read back whole, a store-forwarding stall per operator.
  struct PendingOperator {
    PendingOperator(Box<SpannedExpr>&& left, Mark left_start, BinaryOperator o, int lvl, Mark right_start)
        : lhs(std::move(left)), lhs_start(left_start), op(o), level(lvl), rhs_start(right_start) {}
    Box<SpannedExpr> lhs;
    Mark lhs_start;
    BinaryOperator op;
    int level;
    Mark rhs_start;
  };

  // ---- nodes ----
  Box<SpannedExpr> boxed(Expr&& e, Span sp) { return Box<SpannedExpr>::in_arena_of(nodes_, std::move(e), sp); }
  Box<Type> boxed(Type&& t) { return Box<Type>::in_arena_of(nodes_, std::move(t)); }

  // ---- characters ----
  char ch(size_t p) const { return p < n_ ? s_[p] : '\0'; }
  bool at(size_t p, char c) const { return p < n_ && s_[p] == c; }
  bool starts_with(size_t p, std::string_view w) const {
    return n_ - p >= w.size() && std::memcmp(s_ + p, w.data(), w.size()) == 0;
  }
  // Most calls stand at a token already, most others at the one blank
  // between two tokens.
  [[gnu::always_inline]] size_t ws(size_t p) const {
    if (is_token_byte(p)) return p;
    if (p < n_ && s_[p] == ' ' && is_token_byte(p + 1)) return p + 1;
    return skip_ws(p);
  }
  bool is_token_byte(size_t p) const {
    return p < n_ && static_cast<unsigned char>(s_[p]) > ' ' && s_[p] != '/';
  }
  size_t skip_ws(size_t p) const;
  // Marks are a few bytes apart: those bytes are counted here, longer runs
  // by count_to.
  // The counts are kept in locals while bytes are passed: stores to members
  // may alias the text, which would keep them in memory, a store and a
  // reload per byte.
  Mark mark(size_t pos) {
    if (pos < cursor_ || pos - cursor_ > 16) return count_to(pos);
    std::uint32_t line = line_;
    size_t chars = line_chars_;
    for (size_t i = cursor_; i < pos; ++i) count(static_cast<unsigned char>(s_[i]), line, chars);
    cursor_ = pos;
    line_ = line;
    line_chars_ = chars;
    return Mark{pos, line, static_cast<std::uint32_t>(chars + 1)};
  }
  Mark count_to(size_t pos);
  // One byte passed by the cursor. Columns count characters: the bytes of a
  // line that do not continue a UTF-8 sequence, as the line index does.
  static void count(unsigned char c, std::uint32_t& line, size_t& chars) {
    if (c == '\n') {
      ++line;
      chars = 0;
    } else {
      chars += (c & 0xC0) != 0x80;
    }
  }
  static Span span(const Mark& m, size_t end) { return Span{m.at, end, m.line, m.col}; }
  // ws, then c: p moves past it.
  bool symbol(size_t& p, char c) {
    size_t q = ws(p);
    if (!at(q, c)) return false;
    p = q + 1;
    return true;
  }

  // ---- lexical ----
  bool identifier(size_t& p, std::string& out);
  size_t name_end(size_t p) const;
  bool name_span(size_t& p, std::string& out, Span& sp);
  bool string_literal(size_t& p, std::string& out);
  bool type(size_t& p, Type& out);
  bool type_span(size_t& p, Type& out, Span& sp);

  // ---- expressions ----
  bool binary(size_t& p, int min_level, Expr& out, Mark entry);
  bool binary_rest(size_t& q, int min_level, Expr& cur, Mark cur_start);
  bool unary(size_t& p, Expr& out);
  bool postfix(size_t& p, Expr& out);
  bool primary(size_t& p, Expr& out);
  bool spanned_expression(size_t& p, SpannedExpr& out);
  bool entered_expression(size_t& p, SpannedExpr& out);
  bool call_args(size_t& p, std::vector<SpannedExpr>& out);
  bool bracket_list(size_t& p, Expr& out);
  bool brace_map(size_t& p, Expr& out);
  bool contract(size_t& p, Expr& out);

  // ---- statements ----
  bool statements(size_t& p, std::vector<SpannedStmt>& out);
  bool nested_statements(size_t& p, std::vector<SpannedStmt>& out);
  // Each statement form appends its statement to `list`, built in place
  // with its own alternative, and fills it there; the caller sets its span.
  using StmtList = std::vector<SpannedStmt>;
  bool statement(size_t& p, StmtList& list, Mark before, Mark first);
  bool let(size_t& p, StmtList& list, Mark first);
  bool if_rest(size_t& p, Span if_span, StmtList& list);
  bool condition(size_t& p, SpannedExpr& out);
  bool loop(size_t& p, StmtList& list, Mark first);
  bool barrier(size_t& p, StmtList& list, Mark first);
  bool switch_statement(size_t& p, StmtList& list, Mark first);
  bool switch_arm(size_t& p, SwitchArm& out);
  bool assignment_or_expression(size_t& p, StmtList& list, Mark before, Mark first);
  bool asm_statement(size_t& p, StmtList& list, Mark first);

  // ---- items ----
  bool import(size_t& p, Import& out);
  bool definition(size_t& p, FunctionDef& out, bool& exported);
  bool module(size_t& p, Module& out);
  bool capabilities(size_t& p, std::optional<std::vector<std::string>>& out);
  bool constant(size_t& p, ConstDecl& out);
  bool structure(size_t& p, StructDecl& out);
  bool enumeration(size_t& p, EnumDecl& out);
  bool attributes(size_t& p, std::vector<std::string>& out);
  bool function(size_t& p, FunctionDef& out);
  bool block(size_t& p, FunctionDef& out);
  bool param(size_t& p, Param& out);
  bool body(size_t& p, std::vector<SpannedStmt>& out);

  // Statement, argument, element, parameter, arm and pattern lists are
  // read straight into their own vector, reserved for as many items as the last list of its kind
  // read at the same nesting level held (up to kCap): neighbouring lists of
  // a level tend to be alike (function bodies, branches, call arguments),
  // so most are read without the vector moving every item at each doubling,
  // and without a second move out of a scratch list. A wrong guess costs
  // what a plain vector costs: growth, or a little room never written.
  class ListHints {
   public:
    size_t at(std::uint32_t depth) const { return hints_[depth]; }
    void note(std::uint32_t depth, size_t size) {
      hints_[depth] = static_cast<std::uint32_t>(size < kCap ? size : kCap);
    }

   private:
    static constexpr size_t kCap = 64;
    std::uint32_t hints_[kFastMaxDepth + 2] = {};
  };

  std::string_view src_;
  const char* s_;
  size_t n_;
  ProgramSink* sink_;
  node_arena::Filler& nodes_ = node_arena::this_thread();  // the parse runs on one thread
  std::uint32_t depth_ = 0;
  ListHints statement_hints_;
  ListHints expression_hints_;
  ListHints param_hints_, arm_hints_, pattern_hints_;
  std::vector<PendingOperator> pending_;
  // The line cursor: every byte before cursor_ is counted.
  size_t cursor_ = 0;
  size_t line_chars_ = 0;  // characters from the start of the line to cursor_
  std::uint32_t line_ = 1;
  bool lost_ = false;  // a mark was taken behind the cursor
};

// ws: (" " | "\t" | "\n" | "\r")+ | "//" ...up to and including "\n"
size_t FastParser::skip_ws(size_t p) const {
  while (p < n_) {
    // Runs of blanks (indentation) are passed a word at a time: the loop
    // would otherwise leave at a different byte on every line.
    if constexpr (std::endian::native == std::endian::little) {
      if (n_ - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, s_ + p, 8);
        const std::uint64_t not_blank = w ^ 0x2020202020202020ull;  // zero bytes are blanks
        if (not_blank == 0) {
          p += 8;
          continue;
        }
        p += static_cast<size_t>(std::countr_zero(not_blank)) / 8;
      }
    }
    const char c = s_[p];
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      ++p;
    } else if (c == '/' && p + 1 < n_ && s_[p + 1] == '/') {
      const void* lf = std::memchr(s_ + p, '\n', n_ - p);
      p = lf ? static_cast<size_t>(static_cast<const char*>(lf) - s_) + 1 : n_;
    } else {
      break;
    }
  }
  return p;
}

FastParser::Mark FastParser::count_to(size_t pos) {
  if (pos < cursor_) {
    lost_ = true;
    return Mark{pos, 0, 0};
  }
  size_t i = cursor_;
  std::uint32_t line = line_;
  size_t chars = line_chars_;
  // Eight bytes at a time while they hold no line feed and no byte above
  // 0x7F: eight characters.
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  while (i < pos) {
    if (i + 8 <= pos) {
      std::uint64_t w;
      std::memcpy(&w, s_ + i, 8);
      const std::uint64_t lf = w ^ (kOnes * '\n');
      if (((((lf - kOnes) & ~lf) | w) & kHighs) == 0) {
        i += 8;
        chars += 8;
        continue;
      }
    }
    count(static_cast<unsigned char>(s_[i]), line, chars);
    ++i;
  }
  cursor_ = pos;
  line_ = line;
  line_chars_ = chars;
  return Mark{pos, line, static_cast<std::uint32_t>(chars + 1)};
}

// ---- lexical -------------------------------------------------------------------

// identifier: (alphabetic | "_") (alphabetic | numeric | "_")*, not reserved
// Names beyond ASCII are read by the backtracking parser's rule.
bool FastParser::identifier(size_t& p, std::string& out) {
  const size_t q = name_end(p);
  if (q == p) return false;
  out = std::string(s_ + p, q - p);  // cheaper than assign() for the short names most are
  p = q;
  return true;
}

// The end of the identifier at p, or p when there is none.
size_t FastParser::name_end(size_t p) const {
  size_t q = p;
  if (q < n_ && is_name_start(static_cast<unsigned char>(s_[q]))) {
    ++q;
    while (q < n_ && is_name_char(static_cast<unsigned char>(s_[q]))) ++q;
    if (q < n_ && static_cast<unsigned char>(s_[q]) >= 0x80) q = identifier_end(src_, p);
  } else if (q < n_ && static_cast<unsigned char>(s_[q]) >= 0x80) {
    q = identifier_end(src_, p);
  }
  if (q == p || is_reserved_word(std::string_view(s_ + p, q - p))) return p;
  return q;
}

// ws identifier, with its span
bool FastParser::name_span(size_t& p, std::string& out, Span& sp) {
  size_t q = ws(p);
  const Mark m = mark(q);
  if (!identifier(q, out)) return false;
  sp = span(m, q);
  p = q;
  return true;
}

bool FastParser::string_literal(size_t& p, std::string& out) {
  const StringScan r = scan_string(src_, p, out);
  if (r.end != StringScan::Read) return false;
  p = r.at;
  return true;
}

// type: "*" ("const" | "mut")? type | "[" type "]" | "Array" "<" type ">"
//     | "Int" | "int" | ... | identifier
bool FastParser::type(size_t& p, Type& out) {
  const size_t q = p;
  const char c = ch(q);
  if (c == '*') {
    Deeper level(*this);
    if (level.too_deep()) return false;
    size_t r = ws(q + 1);
    if (starts_with(r, "const")) {
      r += 5;
    } else if (starts_with(r, "mut")) {
      r += 3;
    }
    r = ws(r);
    Type inner;
    if (!type(r, inner)) return false;
    out.v = Type::Pointer{boxed(std::move(inner))};
    p = r;
    return true;
  }
  if (c == '[') {
    Deeper level(*this);
    if (level.too_deep()) return false;
    size_t r = ws(q + 1);
    Type inner;
    if (!type(r, inner)) return false;
    r = ws(r);
    if (!at(r, ']')) return false;
    out.v = Type::Array{boxed(std::move(inner))};
    p = r + 1;
    return true;
  }
  if (starts_with(q, "Array")) {
    Deeper level(*this);
    if (level.too_deep()) return false;
    size_t r = ws(q + 5);
    if (!at(r, '<')) return false;
    r = ws(r + 1);
    Type inner;
    if (!type(r, inner)) return false;
    r = ws(r);
    if (!at(r, '>')) return false;
    out.v = Type::Array{boxed(std::move(inner))};
    p = r + 1;
    return true;
  }
  if (const size_t len = builtin_type(src_, q, out)) {
    p = q + len;
    return true;
  }
  size_t r = q;
  std::string name;
  if (!identifier(r, name)) return false;
  out.v = Type::Named{std::move(name)};
  p = r;
  return true;
}

bool FastParser::type_span(size_t& p, Type& out, Span& sp) {
  size_t q = ws(p);
  const Mark m = mark(q);
  if (!type(q, out)) return false;
  sp = span(m, q);
  p = q;
  return true;
}

// ---- expressions ---------------------------------------------------------------

// Binary levels min_level..8 from p; `entry` is mark(p), taken by the caller
// when it needs marks of its own between p and the first operand.
bool FastParser::binary(size_t& p, int min_level, Expr& out, Mark entry) {
  size_t q = p;
  if (!unary(q, out)) return false;
  if (!binary_rest(q, min_level, out, entry)) return false;
  p = q;
  return true;
}

// The operator loop of parse_binary, with `cur` (from cur_start to q) read.
bool FastParser::binary_rest(size_t& q, int min_level, Expr& cur, Mark cur_start) {
  const size_t base = pending_.size();
  auto reduce = [&] {
    PendingOperator& top = pending_.back();
    Box<SpannedExpr> rhs = boxed(std::move(cur), span(top.rhs_start, q));
    cur.v.emplace<Expr::BinOp>(Expr::BinOp{top.op, std::move(top.lhs), std::move(rhs)});
    cur_start = top.lhs_start;
    pending_.pop_back();
  };
  while (true) {
    const size_t r = ws(q);
    OperatorToken tok;
    if (r == n_ || !may_begin_operator(static_cast<unsigned char>(s_[r])) ||
        !match_binary_operator(src_, r, tok) || tok.level < min_level)
      break;
    while (pending_.size() > base && pending_.back().level >= tok.level) reduce();
    const size_t rhs = r + tok.length;
    const Mark rhs_mark = mark(rhs);
    pending_.emplace_back(boxed(std::move(cur), span(cur_start, q)), cur_start, tok.op, tok.level, rhs_mark);
    q = rhs;
    cur_start = rhs_mark;
    if (!unary(q, cur)) return false;  // pending_ is cleared when the route ends
  }
  while (pending_.size() > base) reduce();
  return true;
}

// prefix: "-" postfix | ("not" | "!") postfix | postfix
// An operand that does not read ends the route: the backtracking parser
// would try the next choice.
bool FastParser::unary(size_t& p, Expr& out) {
  const size_t r = ws(p);
  size_t len = 0;
  UnaryOperator op = UnaryOperator::Neg;
  const char c = ch(r);
  if (c == '-') {
    len = 1;
  } else if (c == '!') {
    op = UnaryOperator::Not;
    len = 1;
  } else if (c == 'n' && starts_with(r, "not")) {
    op = UnaryOperator::Not;
    len = 3;
  }
  if (len == 0) return postfix(p, out);
  size_t q = ws(r + len);
  const Mark m = mark(q);
  Expr operand;
  if (!postfix(q, operand)) return false;
  Box<SpannedExpr> boxed_operand = boxed(std::move(operand), span(m, q));
  become<Expr::UnaryOp>(out, Expr::UnaryOp{op, std::move(boxed_operand)});
  p = q;
  return true;
}

// postfix: primary ( "[" expr "]" | "." ("@" digits | identifier)
//                  | "(" args ")" | "as" type )*
bool FastParser::postfix(size_t& p, Expr& cur) {
  size_t q = p;
  if (!primary(q, cur)) return false;
  while (true) {
    const size_t r = ws(q);
    const char c = ch(r);
    if (c == '[') {
      Deeper level(*this);
      if (level.too_deep()) return false;
      size_t s = r + 1;
      Expr index;
      if (!binary(s, 1, index, mark(s))) return false;
      s = ws(s);
      if (!at(s, ']')) return false;
      Box<SpannedExpr> object = boxed(std::move(cur), Parser::kNoSpan);
      cur.v.emplace<Expr::Index>(Expr::Index{std::move(object), boxed(std::move(index), Parser::kNoSpan)});
      q = s + 1;
    } else if (c == '.') {
      size_t s = r + 1;
      std::string name;
      if (at(s, '@')) {
        ++s;
        const core::DecimalRun run = core::scan_decimal(src_.substr(s), 255);
        if (run.digits == 0 || run.overflow) return false;
        name = std::to_string(run.value);
        s += run.digits;
      } else if (!identifier(s, name)) {
        return false;
      }
      Box<SpannedExpr> object = boxed(std::move(cur), Parser::kNoSpan);
      cur.v.emplace<Expr::Field>(Expr::Field{std::move(object), std::move(name)});
      q = s;
    } else if (c == '(') {
      Deeper level(*this);
      if (level.too_deep()) return false;
      size_t s = r + 1;
      std::vector<SpannedExpr> args;
      if (!call_args(s, args)) return false;
      Box<SpannedExpr> func = boxed(std::move(cur), Parser::kNoSpan);
      cur.v.emplace<Expr::Call>(Expr::Call{std::move(func), std::move(args)});
      q = s;
    } else if (c == 'a' && starts_with(r, "as")) {
      size_t s = ws(r + 2);
      Type t;
      if (!type(s, t)) return false;
      Box<SpannedExpr> value = boxed(std::move(cur), Parser::kNoSpan);
      cur.v.emplace<Expr::Cast>(Expr::Cast{std::move(value), std::move(t)});
      q = s;
    } else {
      break;
    }
  }
  p = q;
  return true;
}

// args: (ws expr ("," ws expr)*)? ws ")"   -- p is just after "("
// REQUIRES: out is empty
bool FastParser::call_args(size_t& p, std::vector<SpannedExpr>& out) {
  size_t q = p;
  if (!at(ws(q), ')')) {
    if (const size_t hint = expression_hints_.at(depth_)) out.reserve(hint);
    while (true) {
      if (!spanned_expression(q, out.emplace_back())) return false;
      // As in every comma-separated run but lists: no white space before ','.
      if (!at(q, ',')) break;
      ++q;
    }
    expression_hints_.note(depth_, out.size());
  }
  q = ws(q);
  if (!at(q, ')')) return false;
  p = q + 1;
  return true;
}

// primary: literal | "[" list "]" | contract | "{" map "}" | identifier
//        | "(" expr ")"
bool FastParser::primary(size_t& p, Expr& out) {
  const size_t r = ws(p);
  const unsigned char c = static_cast<unsigned char>(ch(r));
  if (is_name_start(c) || c >= 0x80) {
    // null, true and false are read as literals first, even as the start
    // of a longer name.
    if (c == 'n' || c == 't' || c == 'f') {
      size_t len = 0;
      Literal::Bool value{false};
      if (starts_with(r, "null")) {
        len = 4;
      } else if (starts_with(r, "true")) {
        value.value = true;
        len = 4;
      } else if (starts_with(r, "false")) {
        len = 5;
      }
      if (len != 0) {
        const bool null = len == 4 && c == 'n';
        become<Expr::Literal>(out, Built{[&] { return Expr::Literal{null ? Literal{} : Literal{value}}; }});
        p = r + len;
        return true;
      }
    }
    // The name is built in its node, not assigned to the node's empty one.
    const size_t q = name_end(r);
    if (q == r) return false;
    become<Expr::Ident>(out, Built{[&] { return Expr::Ident{std::string(s_ + r, q - r)}; }});
    p = q;
    return true;
  }
  if (c >= '1' && c <= '9') {
    // A decimal integer of up to 18 digits, the common number, read here;
    // longer ones, floats and hex go to scan_number.
    std::uint64_t v = 0;
    size_t e = r;
    while (e < n_ && e - r < 19 && s_[e] >= '0' && s_[e] <= '9') v = v * 10 + static_cast<unsigned>(s_[e++] - '0');
    if (e - r < 19 && (e == n_ || (s_[e] != '.' && !is_name_char(static_cast<unsigned char>(s_[e]))))) {
      const auto value = static_cast<std::int64_t>(v);
      become<Expr::Literal>(out, Built{[&] { return Expr::Literal{Literal{Literal::Int{value}}}; }});
      p = e;
      return true;
    }
  }
  // A '-' reaches here only as the operand of a prefix operator, where the
  // backtracking parser reads a negative number.
  if ((c >= '0' && c <= '9') || c == '-') {
    size_t end = 0;
    if (scan_number(src_, r, become<Expr::Literal>(out).value, end) != NumberScan::Read) return false;
    // "0x" without hex digits reads as 0 followed by a name: left alone.
    if (end < n_ && is_name_char(static_cast<unsigned char>(s_[end]))) return false;
    p = end;
    return true;
  }
  if (c == '"') {
    Literal& lit = become<Expr::Literal>(out).value;
    size_t q = r;
    if (!string_literal(q, lit.v.emplace<Literal::String>().value)) return false;
    p = q;
    return true;
  }
  if (c == '[') {
    size_t q = r;
    if (!bracket_list(q, out)) return false;
    p = q;
    return true;
  }
  if (c == '{') {
    // A digit after the brace begins a contract, or nothing that parses.
    const char next = ch(ws(r + 1));
    size_t q = r;
    if (next >= '0' && next <= '9' ? !contract(q, out) : !brace_map(q, out)) return false;
    p = q;
    return true;
  }
  if (c == '(') {
    Deeper level(*this);
    if (level.too_deep()) return false;
    size_t q = r + 1;
    if (!binary(q, 1, out, mark(q))) return false;
    q = ws(q);
    if (!at(q, ')')) return false;
    p = q + 1;
    return true;
  }
  return false;
}

bool FastParser::spanned_expression(size_t& p, SpannedExpr& out) {
  size_t q = ws(p);
  const Mark m = mark(q);
  if (!binary(q, 1, out.node, m)) return false;
  out.span = span(m, q);
  p = q;
  return true;
}

// A full expression entered at p: its operands' spans start at p, its own
// after the white space.
bool FastParser::entered_expression(size_t& p, SpannedExpr& out) {
  const size_t start = ws(p);
  const Mark entry = mark(p);
  const Mark m = mark(start);
  size_t q = p;
  if (!binary(q, 1, out.node, entry)) return false;
  out.span = span(m, q);
  p = q;
  return true;
}

// list: "[" (ws expr (ws "," ws expr)*)? ws "]"
bool FastParser::bracket_list(size_t& p, Expr& out) {
  Deeper level(*this);
  if (level.too_deep()) return false;
  size_t q = p + 1;
  std::vector<SpannedExpr> elements;
  if (!at(ws(q), ']')) {
    if (const size_t hint = expression_hints_.at(depth_)) elements.reserve(hint);
    while (true) {
      if (!spanned_expression(q, elements.emplace_back())) return false;
      const size_t s = ws(q);
      if (!at(s, ',')) break;
      q = s + 1;
    }
    expression_hints_.note(depth_, elements.size());
  }
  q = ws(q);
  if (!at(q, ']')) return false;
  become<Expr::Array>(out, Expr::Array{std::move(elements)});
  p = q + 1;
  return true;
}

// contract: "{" ws u16 ws ":" ws "{" (field ("," field)*)? ws "}" ws "}"
// field:    ws "@" u8 ws ":" ws expr
bool FastParser::contract(size_t& p, Expr& out) {
  size_t q = ws(p + 1);
  const core::DecimalRun id = core::scan_decimal(src_.substr(q), 65535);
  if (id.digits == 0 || id.overflow) return false;
  q = ws(q + id.digits);
  if (!at(q, ':')) return false;
  q = ws(q + 1);
  if (!at(q, '{')) return false;
  Deeper outer(*this), inner(*this);  // two braces
  if (inner.too_deep()) return false;
  ++q;
  std::vector<ContractField> fields;
  if (at(ws(q), '@')) {
    while (true) {
      size_t t = ws(q) + 1;
      const core::DecimalRun index = core::scan_decimal(src_.substr(t), 255);
      if (index.digits == 0 || index.overflow) return false;
      t = ws(t + index.digits);
      if (!at(t, ':')) return false;
      ++t;
      ContractField& field = fields.emplace_back();
      field.index = static_cast<std::uint8_t>(index.value);
      if (!spanned_expression(t, field.value)) return false;
      q = t;
      if (!at(q, ',')) break;
      ++q;
      if (!at(ws(q), '@')) return false;
    }
  }
  if (!symbol(q, '}') || !symbol(q, '}')) return false;
  become<Expr::Contract>(out, Expr::Contract{static_cast<std::uint16_t>(id.value), std::move(fields)});
  p = q;
  return true;
}

// map:   "{" (entry ("," entry)*)? ws "}"
// entry: ws key ws ":" ws expr;  key: '"' raw '"' | "'" raw "'" | identifier
bool FastParser::brace_map(size_t& p, Expr& out) {
  Deeper level(*this);
  if (level.too_deep()) return false;
  size_t q = p + 1;
  std::vector<ObjectEntry> entries;
  if (!at(ws(q), '}')) {
    while (true) {
      size_t t = ws(q);
      ObjectEntry& entry = entries.emplace_back();
      if (at(t, '"') || at(t, '\'')) {
        const size_t close = src_.find(s_[t], t + 1);
        if (close == std::string_view::npos) return false;
        entry.key.assign(s_ + t + 1, close - t - 1);
        t = close + 1;
      } else if (!identifier(t, entry.key)) {
        return false;
      }
      t = ws(t);
      if (!at(t, ':')) return false;
      ++t;
      if (!spanned_expression(t, entry.value)) return false;
      q = t;
      if (!at(q, ',')) break;
      ++q;
    }
  }
  q = ws(q);
  if (!at(q, '}')) return false;
  become<Expr::Object>(out, Expr::Object{std::move(entries)});
  p = q + 1;
  return true;
}

// ---- statements ----------------------------------------------------------------

// stmts: (ws statement)*   -- up to a "}" or the end of the text
// REQUIRES: out is empty
bool FastParser::statements(size_t& p, std::vector<SpannedStmt>& out) {
  size_t q = p;
  if (const size_t hint = statement_hints_.at(depth_)) out.reserve(hint);
  while (true) {
    const size_t start = ws(q);
    if (start == n_ || s_[start] == '}') break;
    const Mark before = mark(q);
    const Mark first = mark(start);
    size_t s = q;
    if (!statement(s, out, before, first)) return false;
    out.back().span = span(first, s);
    q = s;
  }
  statement_hints_.note(depth_, out.size());
  p = q;
  return true;
}

bool FastParser::nested_statements(size_t& p, std::vector<SpannedStmt>& out) {
  Deeper level(*this);
  if (level.too_deep()) return false;
  return statements(p, out);
}

// The forms are tried in the backtracking parser's order; a keyword form is
// chosen by its word alone (as a prefix, as there), and every failure after
// the word is hard there, so nothing else could apply.
bool FastParser::statement(size_t& p, StmtList& list, Mark before, Mark first) {
  const size_t f = first.at;
  switch (s_[f]) {
    case 'l':
      if (starts_with(f, "let")) return let(p, list, first);
      if (starts_with(f, "loop")) return loop(p, list, first);
      break;
    case 'r':
      if (starts_with(f, "return")) {
        Stmt::Return& ret = append_statement<Stmt::Return>(list);
        ret.keyword_span = span(first, f + 6);
        size_t q = f + 6;
        if (!entered_expression(q, ret.value) || !symbol(q, ';')) return false;
        p = q;
        return true;
      }
      break;
    case 'i':
      if (starts_with(f, "if")) {
        size_t q = f + 2;
        if (!if_rest(q, span(first, q), list)) return false;
        p = q;
        return true;
      }
      break;
    case 'b':
      if (starts_with(f, "break")) {
        size_t q = f + 5;
        if (!symbol(q, ';')) return false;
        append_statement<Stmt::Break>(list);
        p = q;
        return true;
      }
      if (starts_with(f, "barrier")) return barrier(p, list, first);
      break;
    case 'c':
      if (starts_with(f, "continue")) {
        size_t q = f + 8;
        if (!symbol(q, ';')) return false;
        append_statement<Stmt::Continue>(list);
        p = q;
        return true;
      }
      break;
    case 's':
      if (starts_with(f, "switch")) return switch_statement(p, list, first);
      break;
    case 'a':
      if (starts_with(f, "asm")) return asm_statement(p, list, first);
      break;
    case '-':
    case '!':
      // The assignment reads a negative literal here, the expression a prefix.
      return false;
    case 'n':
      if (starts_with(f, "not")) return false;
      break;
    default:
      break;
  }
  return assignment_or_expression(p, list, before, first);
}

// let: "let" name (":" type)? "=" expr ";"
bool FastParser::let(size_t& p, StmtList& list, Mark first) {
  size_t q = first.at + 3;
  Stmt::Let& let = append_statement<Stmt::Let>(list);
  let.keyword_span = span(first, q);
  Span ns;
  if (!name_span(q, let.name, ns)) return false;
  let.name_span = ns;
  const size_t r = ws(q);
  if (at(r, ':')) {
    q = r + 1;
    Span ts;
    Type t;
    if (!type_span(q, t, ts)) return false;
    let.type_annotation = std::move(t);
    let.type_span = ts;
  }
  if (!symbol(q, '=') || !entered_expression(q, let.value) || !symbol(q, ';')) return false;
  p = q;
  return true;
}

// Everything of an if form after its "if": condition "{" stmts "}" else-part.
// The else part is read only when it fits; one that does not is left to the
// backtracking parser (the statement would end before "else" there).
bool FastParser::if_rest(size_t& p, Span if_span, StmtList& list) {
  size_t q = p;
  Stmt::If& node = append_statement<Stmt::If>(list);
  node.if_keyword_span = if_span;
  if (!condition(q, node.condition) || !symbol(q, '{') || !nested_statements(q, node.then_branch) ||
      !symbol(q, '}'))
    return false;
  const size_t e = ws(q);
  if (starts_with(e, "else")) {
    node.else_keyword_span = span(mark(e), e + 4);
    std::vector<SpannedStmt>& branch = node.else_branch.emplace();
    size_t r = ws(e + 4);
    if (starts_with(r, "if")) {
      const Span is = span(mark(r), r + 2);
      Deeper level(*this);
      if (level.too_deep()) return false;
      size_t t = r + 2;
      if (!if_rest(t, is, branch)) return false;
      branch.back().span = Span{is.start, t, is.line, is.col};
      r = t;
    } else {
      if (!at(r, '{')) return false;
      ++r;
      if (!nested_statements(r, branch) || !symbol(r, '}')) return false;
    }
    q = r;
  }
  p = q;
  return true;
}

// condition: "(" expr ")" | expr   -- the first form wins when it parses
bool FastParser::condition(size_t& p, SpannedExpr& out) {
  const size_t r = ws(p);
  if (at(r, '(')) {
    Deeper level(*this);
    if (level.too_deep()) return false;
    size_t s = r + 1;
    if (!entered_expression(s, out)) return false;
    s = ws(s);
    if (!at(s, ')')) return false;
    p = s + 1;
    return true;
  }
  return entered_expression(p, out);
}

// loop: "loop" "(" expr "," (digits | "DEFAULT_MAX_ITER()") ")" "{" stmts "}"
bool FastParser::loop(size_t& p, StmtList& list, Mark first) {
  size_t q = first.at + 4;
  Stmt::While& node = append_statement<Stmt::While>(list);
  node.loop_keyword_span = span(first, q);
  if (!symbol(q, '(')) return false;
  {
    Deeper level(*this);
    if (level.too_deep() || !entered_expression(q, node.condition)) return false;
  }
  if (!symbol(q, ',')) return false;
  size_t r = ws(q);
  const core::DecimalRun run = core::scan_decimal(src_.substr(r), 0xFFFFFFFFull);
  if (run.digits != 0) {
    if (run.overflow) return false;
    node.max_iter = static_cast<std::uint32_t>(run.value);
    r += run.digits;
  } else if (starts_with(r, "DEFAULT_MAX_ITER()")) {
    node.max_iter = 1000000;
    r += 18;
  } else {
    return false;
  }
  q = r;
  if (!symbol(q, ')') || !symbol(q, '{') || !nested_statements(q, node.body) || !symbol(q, '}'))
    return false;
  p = q;
  return true;
}

// barrier: "barrier" ("(" string ")")? ";"
bool FastParser::barrier(size_t& p, StmtList& list, Mark first) {
  size_t q = first.at + 7;
  Stmt::Barrier& node = append_statement<Stmt::Barrier>(list);
  node.keyword_span = span(first, q);
  const size_t r = ws(q);
  if (at(r, '(')) {
    size_t t = ws(r + 1);
    std::string name;
    if (!string_literal(t, name) || !symbol(t, ')')) return false;
    node.name = std::move(name);
    q = t;
  }
  if (!symbol(q, ';')) return false;
  p = q;
  return true;
}

// switch: "switch" expr "{" arm* "}"
bool FastParser::switch_statement(size_t& p, StmtList& list, Mark first) {
  size_t q = first.at + 6;
  Stmt::Switch& sw = append_statement<Stmt::Switch>(list);
  sw.keyword_span = span(first, q);
  if (!entered_expression(q, sw.expr) || !symbol(q, '{')) return false;
  Deeper level(*this);
  if (level.too_deep()) return false;
  if (const size_t hint = arm_hints_.at(depth_)) sw.arms.reserve(hint);
  while (!at(ws(q), '}')) {
    if (!switch_arm(q, sw.arms.emplace_back())) return false;
  }
  arm_hints_.note(depth_, sw.arms.size());
  q = ws(q) + 1;
  p = q;
  return true;
}

// arm: pattern ("|" pattern)* "=>" "{" stmts "}" ","?
bool FastParser::switch_arm(size_t& p, SwitchArm& out) {
  size_t q = p;
  if (const size_t hint = pattern_hints_.at(depth_)) out.patterns.reserve(hint);
  while (true) {
    const size_t start = ws(q);
    const Mark entry = mark(q);
    const Mark m = mark(start);
    SpannedExpr& pattern = out.patterns.emplace_back();
    if (!binary(q, 2, pattern.node, entry)) return false;
    pattern.span = span(m, q);
    const size_t r = ws(q);
    if (!at(r, '|')) break;
    q = r + 1;
  }
  pattern_hints_.note(depth_, out.patterns.size());
  q = ws(q);
  if (!starts_with(q, "=>")) return false;
  q += 2;
  if (!symbol(q, '{') || !nested_statements(q, out.body) || !symbol(q, '}')) return false;
  const size_t r = ws(q);
  if (at(r, ',')) q = r + 1;
  p = q;
  return true;
}

// assignment: postfix ("+=" | "-=" | "*=" | "/=" | "%=" | "=") expr ";"
// expression statement: expr ";"
// The target is read once; without an assignment operator after it, it is
// the first operand of the expression statement.
bool FastParser::assignment_or_expression(size_t& p, StmtList& list, Mark before, Mark first) {
  size_t q = first.at;
  Expr target;
  if (!postfix(q, target)) return false;
  const size_t r = ws(q);
  const char c = ch(r);
  BinaryOperator op = BinaryOperator::Add;
  bool compound = false;
  if (ch(r + 1) == '=') {
    compound = true;
    switch (c) {
      case '+': op = BinaryOperator::Add; break;
      case '-': op = BinaryOperator::Sub; break;
      case '*': op = BinaryOperator::Mul; break;
      case '/': op = BinaryOperator::Div; break;
      case '%': op = BinaryOperator::Mod; break;
      default: compound = false; break;
    }
  }
  if (!compound && c != '=') {
    Stmt::Expr& node = append_statement<Stmt::Expr>(list);
    node.expr.node = std::move(target);
    if (!binary_rest(q, 1, node.expr.node, before)) return false;
    node.expr.span = span(first, q);
    if (!symbol(q, ';')) return false;
    p = q;
    return true;
  }
  Stmt::Assign& node = append_statement<Stmt::Assign>(list);
  node.lhs.node = std::move(target);
  node.lhs.span = span(first, q);
  q = r + (compound ? 2 : 1);
  if (!entered_expression(q, node.value) || !symbol(q, ';')) return false;
  if (compound) {
    // `x op= e` is stored as `x = x op e`, with its own copy of the target.
    const Span whole = span(first, node.value.span.end);
    Box<SpannedExpr> rhs = Box<SpannedExpr>::in_arena_of(nodes_, std::move(node.value));
    node.value.node.v.emplace<Expr::BinOp>(
        Expr::BinOp{op, Box<SpannedExpr>::in_arena_of(nodes_, node.lhs), std::move(rhs)});
    node.value.span = whole;
  }
  p = q;
  return true;
}

// asm: "asm" "(" string (":" outputs (":" inputs (":" clobbers)?)?)? ")" ";"
//   outputs:  (string "(" identifier ")") separated by ","
//   inputs:   (string "(" expr ")") separated by ","
//   clobbers: string separated by ","
// The assignment is tried first there, and `asm("t")` alone is a call it
// may go on from: only the forms where that certainly fails are read, a
// ":" after the template or `asm("t");`.
bool FastParser::asm_statement(size_t& p, StmtList& list, Mark first) {
  size_t q = ws(first.at + 3);
  if (!at(q, '(')) return false;
  ++q;
  Deeper outer(*this), inner(*this);  // the asm's parentheses and the operand's
  if (inner.too_deep()) return false;
  Stmt::Asm& node = append_statement<Stmt::Asm>(list);
  q = ws(q);
  if (!string_literal(q, node.template_)) return false;
  const size_t after = ws(q);
  if (at(after, ')')) {
    if (!at(ws(after + 1), ';')) return false;
  } else if (!at(after, ':')) {
    return false;
  }
  // One operand list: items separated by commas, each starting with its
  // string; `item(s)` reads one from s.
  auto separated = [&](size_t& s, auto&& item) {
    if (!at(ws(s), '"')) return true;
    while (true) {
      if (!item(s)) return false;
      const size_t c = ws(s);
      if (!at(c, ',')) return true;
      s = c + 1;
      if (!at(ws(s), '"')) return false;
    }
  };
  auto output = [&](size_t& s) {
    size_t t = ws(s);
    std::string constraint, name;
    if (!string_literal(t, constraint) || !symbol(t, '(')) return false;
    t = ws(t);
    if (!identifier(t, name) || !symbol(t, ')')) return false;
    node.outputs.emplace_back(std::move(constraint), std::move(name));
    s = t;
    return true;
  };
  auto input = [&](size_t& s) {
    size_t t = ws(s);
    std::string constraint;
    if (!string_literal(t, constraint) || !symbol(t, '(')) return false;
    SpannedExpr value;
    if (!entered_expression(t, value) || !symbol(t, ')')) return false;
    node.inputs.push_back(AsmInput{std::move(constraint), std::move(value)});
    s = t;
    return true;
  };
  auto clobber = [&](size_t& s) {
    size_t t = ws(s);
    std::string text;
    if (!string_literal(t, text)) return false;
    node.clobbers.push_back(std::move(text));
    s = t;
    return true;
  };
  size_t r = ws(q);
  if (at(r, ':')) {
    q = r + 1;
    if (!separated(q, output)) return false;
    r = ws(q);
    if (at(r, ':')) {
      q = r + 1;
      if (!separated(q, input)) return false;
      r = ws(q);
      if (at(r, ':')) {
        q = r + 1;
        if (!separated(q, clobber)) return false;
      }
    }
  }
  if (!symbol(q, ')') || !symbol(q, ';')) return false;
  p = q;
  return true;
}

// ---- items ---------------------------------------------------------------------

// import: "import" "{" (identifier ("," identifier)*)? "}" "from" string ";"
bool FastParser::import(size_t& p, Import& out) {
  const size_t start = ws(p);
  const Mark m = mark(start);
  size_t q = start + 6;
  if (!symbol(q, '{')) return false;
  size_t s = ws(q);
  if (!at(s, '}')) {
    while (true) {
      std::string name;
      if (!identifier(s, name)) return false;
      out.names.push_back(ImportName{std::move(name), std::nullopt});
      q = s;
      const size_t c = ws(q);
      if (!at(c, ',')) break;
      s = ws(c + 1);
    }
  }
  if (!symbol(q, '}')) return false;
  q = ws(q);
  if (!starts_with(q, "from")) return false;
  q = ws(q + 4);
  if (!string_literal(q, out.path) || !symbol(q, ';')) return false;
  out.span = span(m, q);
  p = q;
  return true;
}

// definition: "export"? attribute* (function | block)   -- p after white space
bool FastParser::definition(size_t& p, FunctionDef& out, bool& exported) {
  size_t q = p;
  exported = starts_with(q, "export");
  if (exported) q += 6;
  std::vector<std::string> attrs;
  if (!attributes(q, attrs)) return false;
  const size_t k = ws(q);
  if (starts_with(k, "fn")) {
    if (!function(q, out)) return false;
  } else if (starts_with(k, "block")) {
    if (!block(q, out)) return false;
  } else {
    return false;
  }
  out.attributes = std::move(attrs);
  p = q;
  return true;
}

// attribute*: "@" identifier "(" raw ")" | "#" "[" identifier ("(" raw ")")? "]"
bool FastParser::attributes(size_t& p, std::vector<std::string>& out) {
  size_t q = p;
  // "(" raw ")" appended to text; s is before the white space and "(".
  auto arguments = [&](size_t& s, std::string& text) {
    const size_t open = ws(s);
    if (!at(open, '(')) return false;
    const size_t close = src_.find(')', open + 1);
    if (close == std::string_view::npos) return false;
    text.push_back('(');
    text.append(s_ + open + 1, close - open - 1);
    text.push_back(')');
    s = close + 1;
    return true;
  };
  while (true) {
    const size_t t = ws(q);
    std::string text;
    if (at(t, '@')) {
      size_t s = ws(t + 1);
      if (!identifier(s, text) || !arguments(s, text)) return false;
      q = s;
    } else if (at(t, '#')) {
      size_t s = t + 1;
      if (!symbol(s, '[')) return false;
      s = ws(s);
      if (!identifier(s, text)) return false;
      if (at(ws(s), '(') && !arguments(s, text)) return false;
      if (!symbol(s, ']')) return false;
      q = s;
    } else {
      break;
    }
    out.push_back(std::move(text));
  }
  p = q;
  return true;
}

// function: "fn" name "(" (param ("," param)*)? ")" ("->" type)? "{" stmts "}"
bool FastParser::function(size_t& p, FunctionDef& out) {
  size_t q = ws(p) + 2;
  Span ns;
  if (!name_span(q, out.name, ns)) return false;
  out.name_span = ns;
  if (!symbol(q, '(')) return false;
  if (!at(ws(q), ')')) {
    if (const size_t hint = param_hints_.at(depth_)) out.params.reserve(hint);
    while (true) {
      if (!param(q, out.params.emplace_back())) return false;
      const size_t c = ws(q);
      if (!at(c, ',')) break;
      q = c + 1;
    }
    param_hints_.note(depth_, out.params.size());
  }
  if (!symbol(q, ')')) return false;
  const size_t r = ws(q);
  if (starts_with(r, "->")) {
    q = r + 2;
    Type t;
    Span ts;
    if (!type_span(q, t, ts)) return false;
    out.return_type = std::move(t);
    out.return_type_span = ts;
  }
  if (!body(q, out.body)) return false;
  p = q;
  return true;
}

// block: "block" name "(" ")" "{" stmts "}"
bool FastParser::block(size_t& p, FunctionDef& out) {
  size_t q = ws(p) + 5;
  q = ws(q);
  if (!identifier(q, out.name)) return false;
  if (!symbol(q, '(') || !symbol(q, ')') || !body(q, out.body)) return false;
  p = q;
  return true;
}

// param: identifier ":" type
bool FastParser::param(size_t& p, Param& out) {
  size_t q = p;
  if (!name_span(q, out.name, out.name_span) || !symbol(q, ':') ||
      !type_span(q, out.type, out.type_span))
    return false;
  p = q;
  return true;
}

// "{" stmts "}"
bool FastParser::body(size_t& p, std::vector<SpannedStmt>& out) {
  size_t q = p;
  if (!symbol(q, '{') || !statements(q, out) || !symbol(q, '}')) return false;
  p = q;
  return true;
}

// module: "module" name "{" capabilities? item* "}"   -- p at "module"
// item: const | struct | enum | definition, in any order; sorted by kind.
bool FastParser::module(size_t& p, Module& out) {
  size_t q = ws(p + 6);
  if (!identifier(q, out.name) || !symbol(q, '{') || !capabilities(q, out.capabilities)) return false;
  while (true) {
    const size_t s = ws(q);
    if (at(s, '}')) break;
    size_t e = s;
    if (starts_with(s, "const")) {
      if (!constant(e, out.constants.emplace_back())) return false;
    } else if (starts_with(s, "struct")) {
      if (!structure(e, out.structs.emplace_back())) return false;
    } else if (starts_with(s, "enum")) {
      if (!enumeration(e, out.enums.emplace_back())) return false;
    } else {
      FunctionDef def;
      bool exported = false;
      if (!definition(e, def, exported)) return false;
      if (exported) out.exports.push_back(def.name);
      out.functions.push_back(std::move(def));
    }
    q = e;
  }
  p = ws(q) + 1;
  return true;
}

// capabilities: "capability" ":" identifier ("," identifier)*
bool FastParser::capabilities(size_t& p, std::optional<std::vector<std::string>>& out) {
  size_t q = ws(p);
  if (!starts_with(q, "capability")) return true;
  q += 10;
  if (!symbol(q, ':')) return false;
  std::vector<std::string>& names = out.emplace();
  while (true) {
    q = ws(q);
    if (!identifier(q, names.emplace_back())) return false;
    const size_t c = ws(q);
    if (!at(c, ',')) break;
    q = c + 1;
  }
  p = q;
  return true;
}

// const: "const" name ":" type "=" expr ";"   -- p at "const"
bool FastParser::constant(size_t& p, ConstDecl& out) {
  size_t q = ws(p + 5);
  if (!identifier(q, out.name) || !symbol(q, ':')) return false;
  q = ws(q);
  if (!type(q, out.type) || !symbol(q, '=')) return false;
  if (!binary(q, 1, out.value, mark(q)) || !symbol(q, ';')) return false;
  p = q;
  return true;
}

// struct: "struct" name "{" (identifier ":" type ","?)* "}"   -- p at "struct"
bool FastParser::structure(size_t& p, StructDecl& out) {
  size_t q = ws(p + 6);
  if (!identifier(q, out.name) || !symbol(q, '{')) return false;
  while (true) {
    size_t s = ws(q);
    if (at(s, '}')) break;
    auto& [name, field_type] = out.fields.emplace_back();
    if (!identifier(s, name) || !symbol(s, ':')) return false;
    s = ws(s);
    if (!type(s, field_type)) return false;
    const size_t c = ws(s);
    if (at(c, ',')) s = c + 1;
    q = s;
  }
  p = ws(q) + 1;
  return true;
}

// enum: "enum" name "{" (identifier ","?)* "}"   -- p at "enum"
bool FastParser::enumeration(size_t& p, EnumDecl& out) {
  size_t q = ws(p + 4);
  if (!identifier(q, out.name) || !symbol(q, '{')) return false;
  while (true) {
    size_t s = ws(q);
    if (at(s, '}')) break;
    if (!identifier(s, out.variants.emplace_back())) return false;
    const size_t c = ws(s);
    if (at(c, ',')) s = c + 1;
    q = s;
  }
  p = ws(q) + 1;
  return true;
}

// source: import* (module | program)
FastOutcome FastParser::run(Program& out) {
  const FastOutcome early{FastEnd::StoppedEarly, 0};
  size_t q = 0;
  while (starts_with(ws(q), "import")) {
    Import imp;
    if (!import(q, imp) || lost_) return early;
    out.imports.push_back(std::move(imp));
  }
  size_t r = ws(q);
  if (starts_with(r, "module")) {
    // A bare module: never handed to the sink.
    Module m;
    if (!module(r, m) || lost_) return early;
    out.name = m.name;
    out.modules.push_back(std::move(m));
    return FastOutcome{FastEnd::Parsed, 0};
  }
  if (!starts_with(r, "program")) return early;
  q = r + 7;
  q = ws(q);
  if (!identifier(q, out.name) || !symbol(q, '{') || lost_) return early;
  while (starts_with(ws(q), "module")) {
    size_t s = ws(q);
    Module m;
    if (!module(s, m) || lost_) return early;
    out.modules.push_back(std::move(m));
    q = s;
  }
  if (sink_ != nullptr) sink_->modules_parsed(out);
  while (true) {
    const size_t s = ws(q);
    if (at(s, '}')) break;
    FunctionDef def;
    bool exported = false;  // accepted and dropped at program level
    size_t e = s;
    if (!definition(e, def, exported) || lost_) {
      return FastOutcome{FastEnd::StoppedInDefinitions, q};
    }
    if (sink_ != nullptr) {
      sink_->definition_parsed(std::move(def));
    } else {
      out.definitions.push_back(std::move(def));
    }
    q = e;
  }
  return FastOutcome{FastEnd::Parsed, 0};
}

}  // namespace

FastOutcome fast_parse(std::string_view source, ProgramSink* sink, Program& out) {
  FastParser parser(source, sink);
  return parser.run(out);
}

std::string outcome_text(std::string_view source, const ParseResult& result) {
  if (result.ok()) return "ok\n" + render(result.value());
  return std::string(result.error().kind == FailureKind::Hard ? "hard\n" : "soft\n") +
         render_parse_error(source, result.error());
}

}  // namespace quarn::compiler::detail
