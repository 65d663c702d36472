// Expressions: eight left-associative binary levels, the prefix level, and
// primary expressions with their postfix forms.
//
// The binary levels are parsed by one loop with a small stack of pending
// operators instead of one recursive function per level: the result is the
// same tree (operators are looked for from the tightest level outwards, and a
// pending operator is combined as soon as an operator of the same or a looser
// level follows), but a chain `1 + 1 + ... + 1` costs no recursion. Nor does
// a postfix chain: its forms are applied in a loop.
//
// Nesting levels (kMaxNestingDepth) are counted where the writer opens a
// parenthesis, bracket or brace: parenthesised expressions, bracket lists,
// brace maps, contract literals (two braces), index brackets and call
// parentheses. Every recursion of these rules passes through one of them.

#include <algorithm>
#include <string>

#include "quarn_compiler/veka/parser.h"

namespace quarn::compiler::detail {

// The operator at p, tried level by level from the tightest, and within a
// level in the order `||` before `or` before `|`, `<=` before `<`, ...
// Keywords `and` / `or` are plain prefixes: `a order` reads `a or der`.
bool match_binary_operator(std::string_view s, size_t p, OperatorToken& out) {
  if (p >= s.size()) return false;
  auto next = [&](size_t k) { return p + k < s.size() ? s[p + k] : '\0'; };
  switch (s[p]) {
    case '*': out = {BinaryOperator::Mul, 8, 1}; return true;
    case '/': out = {BinaryOperator::Div, 8, 1}; return true;
    case '%': out = {BinaryOperator::Mod, 8, 1}; return true;
    case '+': out = {BinaryOperator::Add, 7, 1}; return true;
    case '-': out = {BinaryOperator::Sub, 7, 1}; return true;
    case '^': out = {BinaryOperator::BitXor, 6, 1}; return true;
    case '<':
      if (next(1) == '<') out = {BinaryOperator::Shl, 5, 2};
      else if (next(1) == '=') out = {BinaryOperator::Le, 4, 2};
      else out = {BinaryOperator::Lt, 4, 1};
      return true;
    case '>':
      if (next(1) == '>') out = {BinaryOperator::Shr, 5, 2};
      else if (next(1) == '=') out = {BinaryOperator::Ge, 4, 2};
      else out = {BinaryOperator::Gt, 4, 1};
      return true;
    case '=':
      if (next(1) != '=') return false;
      out = {BinaryOperator::Eq, 3, 2};
      return true;
    case '!':
      if (next(1) != '=') return false;
      out = {BinaryOperator::Ne, 3, 2};
      return true;
    case '&':
      if (next(1) == '&') out = {BinaryOperator::And, 2, 2};
      else out = {BinaryOperator::BitAnd, 2, 1};
      return true;
    case 'a':
      if (next(1) != 'n' || next(2) != 'd') return false;
      out = {BinaryOperator::And, 2, 3};
      return true;
    case '|':
      if (next(1) == '|') out = {BinaryOperator::Or, 1, 2};
      else out = {BinaryOperator::BitOr, 1, 1};
      return true;
    case 'o':
      if (next(1) != 'r') return false;
      out = {BinaryOperator::Or, 1, 2};
      return true;
    default:
      return false;
  }
}

namespace {

// A child node in the node arena, built straight from `e` (one move).
Box<SpannedExpr> boxed(Expr&& e, Span sp) { return Box<SpannedExpr>::in_arena(std::move(e), sp); }

}  // namespace

St Parser::parse_expression(size_t& p, Expr& out) {
  return parse_binary(p, 1, out);
}

St Parser::parse_and_level(size_t& p, Expr& out) {
  return parse_binary(p, 2, out);
}

St Parser::parse_spanned_expression(size_t& p, SpannedExpr& out) {
  size_t q = skip_ws(p);
  size_t start = q;
  St st = parse_expression(q, out.node);
  if (failed(st)) return st;
  out.span = span(start, q);
  p = q;
  return St::Ok;
}

St Parser::parse_entered_expression(size_t& p, SpannedExpr& out) {
  size_t q = p;
  size_t start = skip_ws(p);
  St st = parse_expression(q, out.node);
  if (failed(st)) return st;
  out.span = span(start, q);
  p = q;
  return St::Ok;
}

// Binary levels 1..8. Operand spans: the left operand from where its level
// began (before whitespace) to its end; the right operand from just after
// the operator (before whitespace) to its end.
St Parser::parse_binary(size_t& p, int min_level, Expr& out) {
  // This call's waiting operators sit above `base` (levels strictly increase:
  // at most 8); they are dropped on every way out.
  const size_t base = pending_.size();
  struct Unwind {
    std::vector<PendingOperator>& stack;
    size_t base;
    ~Unwind() { stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end()); }
  } unwind{pending_, base};

  // The operand being read is built in `out` itself: on failure the caller
  // ignores what it holds.
  Expr& cur = out;
  size_t q = p;
  size_t cur_start = q;
  St st = parse_unary(q, cur);
  if (failed(st)) return st;

  // Combines the top waiting operator with `cur` (which ends at q).
  auto reduce = [&] {
    PendingOperator& top = pending_.back();
    Box<SpannedExpr> lhs = boxed(std::move(top.lhs), span(top.lhs_start, top.lhs_end));
    Box<SpannedExpr> rhs = boxed(std::move(cur), span(top.rhs_start, q));
    cur.v.emplace<Expr::BinOp>(Expr::BinOp{top.op, std::move(lhs), std::move(rhs)});
    cur_start = top.lhs_start;
    pending_.pop_back();
  };

  while (true) {
    size_t r = skip_ws(q);
    OperatorToken tok;
    if (!match_binary_operator(src_, r, tok) || tok.level < min_level) break;
    while (pending_.size() > base && pending_.back().level >= tok.level) reduce();
    size_t rhs_start = r + tok.length;
    pending_.push_back(PendingOperator{std::move(cur), cur_start, q, tok.op, tok.level, rhs_start});
    q = rhs_start;
    cur_start = q;
    st = parse_unary(q, cur);
    if (failed(st)) return st;  // the operator is not given back
  }
  while (pending_.size() > base) reduce();
  p = q;
  return St::Ok;
}

// prefix: "-" postfix | ("not" | "!") postfix | postfix
// The operand of a prefix operator is never itself a prefix expression. When
// the operand fails softly, the next choice is tried on the text that begins
// with the operator.
St Parser::parse_unary(size_t& p, Expr& out) {
  size_t r = skip_ws(p);
  auto prefixed = [&](UnaryOperator op, size_t len) -> St {
    size_t q = skip_ws(r + len);
    size_t start = q;
    Expr operand;
    St st = parse_postfix(q, operand);
    if (failed(st)) return st;
    Box<SpannedExpr> boxed_operand = boxed(std::move(operand), span(start, q));
    out.v.emplace<Expr::UnaryOp>(Expr::UnaryOp{op, std::move(boxed_operand)});
    p = q;
    return St::Ok;
  };
  if (at(r, '-')) {
    St st = prefixed(UnaryOperator::Neg, 1);
    if (st != St::Soft) return st;
    drop();
  }
  size_t len = starts_with(r, "not") ? 3 : at(r, '!') ? 1 : 0;
  if (len) {
    St st = prefixed(UnaryOperator::Not, len);
    if (st != St::Soft) return st;
    drop();
  }
  return parse_postfix(p, out);
}

// postfix: primary ( "[" expr "]" | "." ("@" digits | identifier)
//                  | "(" args ")" | "as" type )*
// Children made here carry the all-zero span.
St Parser::parse_postfix(size_t& p, Expr& out) {
  size_t q = p;
  if (postfix_memo_ && postfix_memo_->nesting == nesting_ && skip_ws(q) == postfix_memo_->start) {
    // Read already, with the same outcome: success and an empty trail.
    out = std::move(postfix_memo_->expr);
    p = postfix_memo_->end;
    postfix_memo_.reset();
    drop();
    return St::Ok;
  }
  Expr& cur = out;  // on failure the caller ignores what it holds
  St st = parse_primary(q, cur);
  if (failed(st)) return st;
  while (true) {
    size_t end = 0;
    st = parse_postfix_form(skip_ws(q), cur, end);
    if (st == St::Hard) return st;
    if (st == St::Soft) break;
    q = end;
  }
  // The form that did not apply is forgotten; the input goes back to before
  // the whitespace in front of it.
  drop();
  p = q;
  return St::Ok;
}

// One postfix form at r applied to `cur`. Kept out of parse_postfix so that
// its temporaries do not sit in every frame of a nested expression.
// On Soft, `cur` is untouched.
[[gnu::noinline]] St Parser::parse_postfix_form(size_t r, Expr& cur, size_t& end) {
  if (r >= src_.size()) return St::Soft;
  const char c = src_[r];
  St st;
  if (c == '[') {
    NestingGuard guard(*this);
    if (guard.exceeded()) return too_deep(r);
    size_t s = r + 1;
    Expr index;
    st = parse_expression(s, index);
    if (failed(st)) return st;
    s = skip_ws(s);
    if (!at(s, ']')) return fail_char(s, ']');
    Box<SpannedExpr> object = boxed(std::move(cur), kNoSpan);
    cur.v.emplace<Expr::Index>(Expr::Index{std::move(object), boxed(std::move(index), kNoSpan)});
    end = s + 1;
    return St::Ok;
  }
  if (c == '.') {
    size_t s = r + 1;
    std::string name;
    if (at(s, '@')) {
      ++s;
      std::uint64_t v = 0;
      if (!parse_small_number(s, 255, v) || v > 255) return fail_kind(s, PrimitiveKind::Digit);
      name = std::to_string(v);
    } else if (failed(st = parse_identifier(s, name))) {
      return st;
    }
    Box<SpannedExpr> object = boxed(std::move(cur), kNoSpan);
    cur.v.emplace<Expr::Field>(Expr::Field{std::move(object), std::move(name)});
    end = s;
    return St::Ok;
  }
  if (c == '(') {
    NestingGuard guard(*this);
    if (guard.exceeded()) return too_deep(r);
    size_t s = r + 1;
    std::vector<SpannedExpr> args;
    if (failed(st = parse_call_args(s, args))) return st;
    Box<SpannedExpr> func = boxed(std::move(cur), kNoSpan);
    cur.v.emplace<Expr::Call>(Expr::Call{std::move(func), std::move(args)});
    end = s;
    return St::Ok;
  }
  if (c == 'a' && starts_with(r, "as")) {
    size_t s = skip_ws(r + 2);
    Type type;
    if (failed(st = parse_type(s, type))) return st;
    Box<SpannedExpr> value = boxed(std::move(cur), kNoSpan);
    cur.v.emplace<Expr::Cast>(Expr::Cast{std::move(value), std::move(type)});
    end = s;
    return St::Ok;
  }
  return St::Soft;
}

// args: (ws expr ("," ws expr)*)? ws ")"   -- p is just after "("
St Parser::parse_call_args(size_t& p, std::vector<SpannedExpr>& out) {
  size_t q = p;
  auto argument = [&](size_t& s) -> St {
    SpannedExpr arg;
    St st = parse_spanned_expression(s, arg);
    if (failed(st)) return st;
    out.push_back(std::move(arg));
    return St::Ok;
  };
  if (comma_separated(q, argument) == St::Hard) return St::Hard;
  q = skip_ws(q);
  if (!at(q, ')')) return fail_char(q, ')');
  p = q + 1;
  return St::Ok;
}

// primary: literal | "[" list "]" | contract | "{" map "}" | identifier
//        | "(" expr ")"
St Parser::parse_primary(size_t& p, Expr& out) {
  const size_t r = skip_ws(p);
  St st;
  // Alternatives that certainly fail softly at the first character are not
  // tried: their trails would be dropped anyway. A literal starts with a
  // digit, '-', '"' or the n, t, f of null, true, false; a name with a
  // letter or '_', never with a bracket, brace or parenthesis.
  const char c = r < src_.size() ? src_[r] : '\0';
  const bool opener = c == '[' || c == '{' || c == '(';
  const bool name_start =
      c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z' && c != 'n' && c != 't' && c != 'f');
  if (!opener && !name_start) {
    st = parse_leaf(r, false, p, out);
    if (st != St::Soft) return st;
    drop();
  }
  if (at(r, '[')) {
    size_t q = r;
    st = parse_bracket_list(q, out);
    if (st == St::Ok) p = q;
    if (st != St::Soft) return st;
    drop();
  }
  if (at(r, '{')) {
    size_t q = r;
    st = parse_contract(q, out);
    if (st == St::Ok) p = q;
    if (st != St::Soft) return st;
    drop();
    q = r;
    st = parse_brace_map(q, out);
    if (st == St::Ok) p = q;
    if (st != St::Soft) return st;
    drop();
  }
  if (!opener) {
    st = parse_leaf(r, true, p, out);
    if (st != St::Soft) return st;
    drop();
  }
  if (!at(r, '(')) {
    fail_char(r, '(');
    return fail_kind(p, PrimitiveKind::Alt);
  }
  NestingGuard guard(*this);
  if (guard.exceeded()) return too_deep(r);
  size_t q = r + 1;
  st = parse_expression(q, out);
  if (st == St::Hard) return st;
  if (st == St::Ok) {
    q = skip_ws(q);
    if (at(q, ')')) {
      p = q + 1;
      return St::Ok;
    }
    fail_char(q, ')');
  }
  return fail_kind(p, PrimitiveKind::Alt);
}

// A literal (identifier == false) or a name at r; on Ok, p moves past it.
// Out of line for the same reason as parse_postfix_form.
[[gnu::noinline]] St Parser::parse_leaf(size_t r, bool identifier, size_t& p, Expr& out) {
  size_t q = r;
  if (identifier) {
    std::string name;
    St st = parse_identifier(q, name);
    if (failed(st)) return st;
    out.v.emplace<Expr::Ident>(Expr::Ident{std::move(name)});
  } else {
    Literal lit;
    St st = parse_literal(q, lit);
    if (failed(st)) return st;
    out = Expr{Expr::Literal{std::move(lit)}};
  }
  p = q;
  return St::Ok;
}

// list: "[" (ws expr (ws "," ws expr)*)? ws "]"   -- no trailing comma
St Parser::parse_bracket_list(size_t& p, Expr& out) {
  NestingGuard guard(*this);
  if (guard.exceeded()) return too_deep(p);
  size_t q = p + 1;
  std::vector<SpannedExpr> elements;
  SpannedExpr e;
  St st = parse_spanned_expression(q, e);
  if (st == St::Hard) return st;
  if (st == St::Ok) {
    elements.push_back(std::move(e));
    while (true) {
      size_t s = skip_ws(q);
      if (!at(s, ',')) break;
      ++s;
      st = parse_spanned_expression(s, e);
      if (st == St::Hard) return st;
      if (st == St::Soft) {
        drop();
        break;
      }
      elements.push_back(std::move(e));
      q = s;
    }
  } else {
    drop();
  }
  q = skip_ws(q);
  if (!at(q, ']')) return fail_char(q, ']');
  out = Expr{Expr::Array{std::move(elements)}};
  p = q + 1;
  return St::Ok;
}

// contract: "{" ws u16 ws ":" ws "{" (field ("," field)*)? ws "}" ws "}"
// field:    ws "@" u8 ws ":" ws expr
St Parser::parse_contract(size_t& p, Expr& out) {
  size_t q = skip_ws(p + 1);
  std::uint64_t id = 0;
  if (!parse_small_number(q, 65535, id) || id > 65535) return fail_kind(q, PrimitiveKind::Digit);
  q = skip_ws(q);
  if (!at(q, ':')) return fail_char(q, ':');
  q = skip_ws(q + 1);
  if (!at(q, '{')) return fail_char(q, '{');
  // Only now is this a contract (a brace map is tried next otherwise).
  NestingGuard guard(*this, 2);  // two braces
  if (guard.exceeded()) return too_deep(p);
  ++q;
  std::vector<ContractField> fields;
  auto field = [&](size_t& s) -> St {
    size_t t = skip_ws(s);
    if (!at(t, '@')) return fail_char(t, '@');
    ++t;
    std::uint64_t index = 0;
    if (!parse_small_number(t, 255, index) || index > 255) return fail_kind(t, PrimitiveKind::Digit);
    t = skip_ws(t);
    if (!at(t, ':')) return fail_char(t, ':');
    ++t;
    SpannedExpr value;
    St st = parse_spanned_expression(t, value);
    if (failed(st)) return st;
    fields.push_back(ContractField{static_cast<std::uint8_t>(index), std::move(value)});
    s = t;
    return St::Ok;
  };
  if (comma_separated(q, field) == St::Hard) return St::Hard;
  q = skip_ws(q);
  if (!at(q, '}')) return fail_char(q, '}');
  q = skip_ws(q + 1);
  if (!at(q, '}')) return fail_char(q, '}');
  out = Expr{Expr::Contract{static_cast<std::uint16_t>(id), std::move(fields)}};
  p = q + 1;
  return St::Ok;
}

// key: '"' raw '"' | "'" raw "'" | identifier   (no escapes)
St Parser::parse_object_key(size_t& p, std::string& out) {
  if (at(p, '"') || at(p, '\'')) {
    char quote = src_[p];
    size_t close = src_.find(quote, p + 1);
    if (close == std::string_view::npos) return fail_char(src_.size(), static_cast<unsigned char>(quote));
    out.assign(src_.substr(p + 1, close - p - 1));
    p = close + 1;
    return St::Ok;
  }
  return parse_identifier(p, out);
}

// map:   "{" (entry ("," entry)*)? ws "}"
// entry: ws key ws ":" ws expr
St Parser::parse_brace_map(size_t& p, Expr& out) {
  NestingGuard guard(*this);
  if (guard.exceeded()) return too_deep(p);
  size_t q = p + 1;
  std::vector<ObjectEntry> entries;
  auto entry = [&](size_t& s) -> St {
    size_t t = skip_ws(s);
    std::string key;
    St st = parse_object_key(t, key);
    if (failed(st)) return st;
    t = skip_ws(t);
    if (!at(t, ':')) return fail_char(t, ':');
    ++t;
    SpannedExpr value;
    st = parse_spanned_expression(t, value);
    if (failed(st)) return st;
    entries.push_back(ObjectEntry{std::move(key), std::move(value)});
    s = t;
    return St::Ok;
  };
  if (comma_separated(q, entry) == St::Hard) return St::Hard;
  q = skip_ws(q);
  if (!at(q, '}')) return fail_char(q, '}');
  out = Expr{Expr::Object{std::move(entries)}};
  p = q + 1;
  return St::Ok;
}

}  // namespace quarn::compiler::detail
