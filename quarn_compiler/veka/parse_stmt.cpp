// Statements. parse_statement tries the eleven forms in a fixed order; every
// form appends its label where it began when it fails, and a hard failure
// ends the choice at once.

#include <algorithm>

#include "quarn_compiler/veka/parser.h"

namespace quarn::compiler::detail {

namespace {

using Form = St (Parser::*)(size_t&, Stmt&);

}  // namespace

St Parser::parse_statement(size_t& p, Stmt& out) {
  struct Alternative {
    Form form;
    std::string_view label;
    std::string_view keyword;  // the form's first word, when it has one
  };
  static constexpr Alternative kForms[] = {
      {&Parser::parse_let, "let statement", "let"},
      {&Parser::parse_return, "return statement", "return"},
      {&Parser::parse_if, "if statement", "if"},
      {&Parser::parse_loop, "loop statement", "loop"},
      {&Parser::parse_break, "break statement", "break"},
      {&Parser::parse_continue, "continue statement", "continue"},
      {&Parser::parse_barrier, "barrier statement", "barrier"},
      {&Parser::parse_switch, "switch statement", "switch"},
      {&Parser::parse_assignment, "assignment", ""},
      {&Parser::parse_asm, "asm statement", "asm"},
      {&Parser::parse_expression_statement, "expression statement", ""},
  };
  const size_t first = skip_ws(p);
  postfix_memo_.reset();
  for (const Alternative& alt : kForms) {
    // A form whose keyword is absent fails softly at once, and the trail of
    // a soft failure that is not the last alternative's is dropped: skip it.
    if (!alt.keyword.empty() && !starts_with(first, alt.keyword)) continue;
    drop();
    size_t q = p;
    St st = (this->*alt.form)(q, out);
    if (st == St::Ok) {
      p = q;
      return St::Ok;
    }
    add_label(st, p, alt.label);
    if (st == St::Hard) return st;
  }
  return fail_kind(p, PrimitiveKind::Alt);
}

// stmts: (ws statement)*   -- each statement's span starts after the ws
St Parser::parse_statement_list(size_t& p, std::vector<SpannedStmt>& out) {
  size_t q = p;
  while (true) {
    size_t start = skip_ws(q);
    // No statement starts with '}' or at the end of the text: every form
    // fails softly there, and the failure is dropped as the list ends.
    if (start == src_.size() || src_[start] == '}') {
      drop();
      break;
    }
    size_t s = q;
    // The statement is built in its place in the list and taken back out
    // when it fails.
    SpannedStmt& slot = out.emplace_back();
    St st = parse_statement(s, slot.node);
    if (st != St::Ok) out.pop_back();
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      break;
    }
    if (s == q) {
      out.pop_back();
      return fail_kind(q, PrimitiveKind::Many0);
    }
    slot.span = span(start, s);
    q = s;
  }
  p = q;
  return St::Ok;
}

// "{" was read: the statements of a block one level deeper than the
// statement it belongs to.
St Parser::parse_nested_statements(size_t& p, std::vector<SpannedStmt>& out) {
  NestingGuard guard(*this);
  if (guard.exceeded()) return too_deep(p);
  return parse_statement_list(p, out);
}

St Parser::required_expression(size_t& p, std::string_view label, SpannedExpr& out) {
  size_t q = p;
  St st = parse_entered_expression(q, out);
  if (failed(st)) return cut(st, p, label);
  p = q;
  return St::Ok;
}

// let: "let" name (":" type)? "=" expr ";"
St Parser::parse_let(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "let", ks);
  if (failed(st)) return st;
  Stmt::Let& let = out.v.emplace<Stmt::Let>();
  let.keyword_span = ks;
  Span ns;
  if (failed(st = hard_name(q, "variable name", let.name, &ns))) return st;
  let.name_span = ns;
  size_t r = skip_ws(q);
  if (at(r, ':')) {
    size_t t = r + 1;
    Type type;
    Span ts;
    st = parse_type_span(t, type, ts);
    if (st == St::Hard) return st;
    if (st == St::Ok) {
      let.type_annotation = std::move(type);
      let.type_span = ts;
      q = t;
    } else {
      drop();
    }
  }
  if (failed(st = expect_symbol(q, "'=' after variable name", '='))) return st;
  if (failed(st = required_expression(q, "expression", let.value))) return st;
  if (failed(st = expect_symbol(q, "';' after let statement", ';'))) return st;
  p = q;
  return St::Ok;
}

// return: "return" expr ";"
St Parser::parse_return(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "return", ks);
  if (failed(st)) return st;
  Stmt::Return& ret = out.v.emplace<Stmt::Return>();
  ret.keyword_span = ks;
  if (failed(st = required_expression(q, "expression", ret.value))) return st;
  if (failed(st = expect_symbol(q, "';' after return", ';'))) return st;
  p = q;
  return St::Ok;
}

// if: "if" condition "{" stmts "}" ("else" ("if" condition ... | "{" stmts "}"))?
St Parser::parse_if(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "if", ks);
  if (failed(st)) return st;
  if (failed(st = parse_if_rest(q, ks, out))) return st;
  p = q;
  return St::Ok;
}

// condition: "(" expr ")" | expr   -- the first form wins when it parses
St Parser::parse_condition(size_t& p, SpannedExpr& out) {
  size_t r = skip_ws(p);
  if (at(r, '(')) {
    NestingGuard guard(*this);
    if (guard.exceeded()) return too_deep(r);
    size_t s = r + 1;
    St st = parse_entered_expression(s, out);
    if (st == St::Hard) return cut(st, p, "condition");
    if (st == St::Ok) {
      s = skip_ws(s);
      if (at(s, ')')) {
        p = s + 1;
        return St::Ok;
      }
    }
    drop();
  }
  return required_expression(p, "condition", out);
}

// Everything of an if form after its "if" keyword; also the form of "else if".
// Its blocks are one level deeper than the statement; an `else if` is
// counted as a block nested in the `else`, which is what its tree holds.
St Parser::parse_if_rest(size_t& p, Span if_span, Stmt& out) {
  size_t q = p;
  Stmt::If& node = out.v.emplace<Stmt::If>();
  node.if_keyword_span = if_span;
  St st = parse_condition(q, node.condition);
  if (failed(st)) return st;
  if (failed(st = expect_symbol(q, "'{' after if condition", '{'))) return st;
  if (failed(st = parse_nested_statements(q, node.then_branch))) return st;
  if (failed(st = expect_symbol(q, "'}' to close if block", '}'))) return st;

  // The else part is all or nothing: when it does not fit, the statement
  // ends before "else".
  size_t before_else = q;
  Span es;
  if (parse_keyword(q, "else", es) == St::Ok) {
    std::vector<SpannedStmt> branch;
    size_t r = q;
    Span is;
    bool fits = false;
    if (parse_keyword(r, "if", is) == St::Ok) {
      NestingGuard guard(*this);
      if (guard.exceeded()) return too_deep(is.start);
      Stmt nested;
      st = parse_if_rest(r, is, nested);
      if (st == St::Hard) return st;
      if (st == St::Ok) {
        branch.push_back(SpannedStmt{std::move(nested), span(is.start, r)});
        fits = true;
      }
    } else {
      drop();
      r = q;
      if (plain_char(r, '{') == St::Ok) {
        st = parse_nested_statements(r, branch);
        if (st == St::Hard) return st;
        fits = st == St::Ok && plain_char(r, '}') == St::Ok;
      }
    }
    if (fits) {
      node.else_keyword_span = es;
      node.else_branch = std::move(branch);
      q = r;
    } else {
      drop();
      q = before_else;
    }
  } else {
    drop();
    q = before_else;
  }
  p = q;
  return St::Ok;
}

// loop: "loop" "(" expr "," (digits | "DEFAULT_MAX_ITER()") ")" "{" stmts "}"
St Parser::parse_loop(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "loop", ks);
  if (failed(st)) return st;
  Stmt::While& loop = out.v.emplace<Stmt::While>();
  loop.loop_keyword_span = ks;
  if (failed(st = expect_symbol(q, "'(' after loop", '('))) return st;
  {
    NestingGuard guard(*this);  // the condition, inside the header's parentheses
    if (guard.exceeded()) return too_deep(q - 1);
    if (failed(st = required_expression(q, "loop condition", loop.condition))) return st;
  }
  if (failed(st = expect_symbol(q, "',' after condition", ','))) return st;
  size_t r = skip_ws(q);
  std::uint64_t limit = 0;
  if (parse_small_number(r, 0xFFFFFFFFull, limit)) {
    if (limit > 0xFFFFFFFFull) return hard(skip_ws(q), kIterationLimitOutOfRangeLabel);
  } else if (starts_with(r, "DEFAULT_MAX_ITER()")) {
    limit = 1000000;
    r += 18;
  } else {
    fail_kind(r, PrimitiveKind::Tag);
    return fail_kind(r, PrimitiveKind::Alt);
  }
  loop.max_iter = static_cast<std::uint32_t>(limit);
  q = r;
  if (failed(st = expect_symbol(q, "')' after max iterations", ')'))) return st;
  if (failed(st = expect_symbol(q, "'{' after loop header", '{'))) return st;
  if (failed(st = parse_nested_statements(q, loop.body))) return st;
  if (failed(st = expect_symbol(q, "'}' to close loop", '}'))) return st;
  p = q;
  return St::Ok;
}

// break: "break" ";"
St Parser::parse_break(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "break", ks);
  if (failed(st)) return st;
  if (failed(st = expect_symbol(q, "';' after break", ';'))) return st;
  out = Stmt{Stmt::Break{}};
  p = q;
  return St::Ok;
}

// continue: "continue" ";"
St Parser::parse_continue(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "continue", ks);
  if (failed(st)) return st;
  if (failed(st = expect_symbol(q, "';' after continue", ';'))) return st;
  out = Stmt{Stmt::Continue{}};
  p = q;
  return St::Ok;
}

// barrier: "barrier" ("(" string ")")? ";"
St Parser::parse_barrier(size_t& p, Stmt& out) {
  size_t q = p;
  Stmt::Barrier barrier;
  Span ks;
  St st = parse_keyword(q, "barrier", ks);
  if (failed(st)) return st;
  barrier.keyword_span = ks;
  size_t r = q;
  if (plain_char(r, '(') == St::Ok) {
    r = skip_ws(r);
    std::string name;
    if (parse_string_literal(r, name) == St::Ok) {
      if (failed(st = expect_symbol(r, "')' after barrier name", ')'))) return st;
      barrier.name = std::move(name);
      q = r;
    } else {
      drop();
    }
  } else {
    drop();
  }
  if (failed(st = expect_symbol(q, "';' after barrier", ';'))) return st;
  out = Stmt{std::move(barrier)};
  p = q;
  return St::Ok;
}

// switch: "switch" expr "{" arm* "}"
St Parser::parse_switch(size_t& p, Stmt& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "switch", ks);
  if (failed(st)) return st;
  Stmt::Switch& sw = out.v.emplace<Stmt::Switch>();
  sw.keyword_span = ks;
  if (failed(st = required_expression(q, "switch expression", sw.expr))) return st;
  if (failed(st = expect_symbol(q, "'{' after switch expression", '{'))) return st;
  NestingGuard guard(*this);  // the arms, inside the switch's braces
  if (guard.exceeded()) return too_deep(q - 1);
  while (true) {
    size_t s = q;
    SwitchArm arm;
    st = parse_switch_arm(s, arm);
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      break;
    }
    if (s == q) return fail_kind(q, PrimitiveKind::Many0);
    sw.arms.push_back(std::move(arm));
    q = s;
  }
  if (failed(st = expect_symbol(q, "'}' to close switch", '}'))) return st;
  p = q;
  return St::Ok;
}

// arm: pattern ("|" pattern)* "=>" "{" stmts "}" ","?
// Patterns are and-level expressions, so "|" always separates them.
St Parser::parse_switch_arm(size_t& p, SwitchArm& out) {
  size_t q = p;
  size_t start = skip_ws(p);
  Expr pattern;
  St st = parse_and_level(q, pattern);
  if (failed(st)) return st;
  out.patterns.push_back(SpannedExpr{std::move(pattern), span(start, q)});
  while (true) {
    size_t r = skip_ws(q);
    if (!at(r, '|')) break;
    size_t t = r + 1;
    start = skip_ws(t);
    st = parse_and_level(t, pattern);
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      break;
    }
    out.patterns.push_back(SpannedExpr{std::move(pattern), span(start, t)});
    q = t;
  }
  if (failed(st = labelled_tag(q, "'=>' after pattern", "=>"))) return st;
  if (failed(st = plain_char(q, '{'))) return st;
  if (failed(st = parse_nested_statements(q, out.body))) return st;
  if (failed(st = expect_symbol(q, "'}' to close arm", '}'))) return st;
  size_t r = skip_ws(q);
  if (at(r, ',')) q = r + 1;
  p = q;
  return St::Ok;
}

// assignment: postfix ("+=" | "-=" | "*=" | "/=" | "%=" | "=") expr ";"
// `x op= e` is stored as `x = x op e`, with its own copy of the target.
St Parser::parse_assignment(size_t& p, Stmt& out) {
  size_t q = skip_ws(p);
  size_t start = q;
  Stmt::Assign& node = out.v.emplace<Stmt::Assign>();
  St st = parse_postfix(q, node.lhs.node);
  if (failed(st)) return st;
  node.lhs.span = span(start, q);

  size_t r = skip_ws(q);
  static constexpr std::pair<std::string_view, BinaryOperator> kCompound[] = {
      {"+=", BinaryOperator::Add}, {"-=", BinaryOperator::Sub}, {"*=", BinaryOperator::Mul},
      {"/=", BinaryOperator::Div}, {"%=", BinaryOperator::Mod}};
  std::optional<BinaryOperator> compound;
  for (const auto& [text, op] : kCompound) {
    if (starts_with(r, text)) {
      compound = op;
      break;
    }
  }
  if (compound) {
    q = r + 2;
  } else if (at(r, '=')) {
    q = r + 1;
  } else {
    // Not an assignment: the expression statement tried next reads the same
    // target first, so it is kept for that one reading.
    postfix_memo_.emplace(PostfixMemo{start, q, nesting_, std::move(node.lhs.node)});
    return fail_kind(r, PrimitiveKind::Tag);
  }

  if (failed(st = required_expression(q, "expression", node.value))) return st;
  if (failed(st = expect_symbol(q, "';' after assignment", ';'))) return st;

  if (compound) {
    Span whole = span(start, node.value.span.end);
    Box<SpannedExpr> rhs = Box<SpannedExpr>::in_arena(std::move(node.value));
    node.value.node.v.emplace<Expr::BinOp>(
        Expr::BinOp{*compound, Box<SpannedExpr>::in_arena(node.lhs), std::move(rhs)});
    node.value.span = whole;
  }
  p = q;
  return St::Ok;
}

// asm: "asm" "(" string (":" outputs (":" inputs (":" clobbers)?)?)? ")" ";"
//   outputs:  (string "(" identifier ")") separated by ","
//   inputs:   (string "(" expr ")") separated by ","
//   clobbers: string separated by ","
St Parser::parse_asm(size_t& p, Stmt& out) {
  size_t q = skip_ws(p);
  if (!starts_with(q, "asm")) return fail_kind(q, PrimitiveKind::Tag);
  q += 3;
  Stmt::Asm node;
  St st;
  if (failed(st = expect_symbol(q, "'(' after asm", '('))) return st;
  // Input expressions sit inside the asm's parentheses and their operand's.
  NestingGuard guard(*this, 2);
  if (guard.exceeded()) return too_deep(q - 1);
  {
    size_t s = skip_ws(q);
    st = parse_string_literal(s, node.template_);
    if (failed(st)) return cut(st, q, "asm template string");
    q = s;
  }

  // One operand list: items separated by commas; a soft failure of an item
  // ends the list before its comma.
  auto separated = [&](size_t& s, auto&& item) -> St {
    size_t t = s;
    St r = item(t);
    if (r == St::Hard) return r;
    if (r == St::Soft) {
      drop();
      return St::Ok;
    }
    s = t;
    while (true) {
      size_t c = skip_ws(s);
      if (!at(c, ',')) return St::Ok;
      t = c + 1;
      r = item(t);
      if (r == St::Hard) return r;
      if (r == St::Soft) {
        drop();
        return St::Ok;
      }
      s = t;
    }
  };
  auto output = [&](size_t& s) -> St {
    size_t t = skip_ws(s);
    std::string constraint, name;
    St r = parse_string_literal(t, constraint);
    if (failed(r) || failed(r = plain_char(t, '('))) return r;
    t = skip_ws(t);
    if (failed(r = parse_identifier(t, name)) || failed(r = plain_char(t, ')'))) return r;
    node.outputs.emplace_back(std::move(constraint), std::move(name));
    s = t;
    return St::Ok;
  };
  auto input = [&](size_t& s) -> St {
    size_t t = skip_ws(s);
    std::string constraint;
    St r = parse_string_literal(t, constraint);
    if (failed(r) || failed(r = plain_char(t, '('))) return r;
    SpannedExpr value;
    if (failed(r = parse_entered_expression(t, value)) || failed(r = plain_char(t, ')')))
      return r;
    node.inputs.push_back(AsmInput{std::move(constraint), std::move(value)});
    s = t;
    return St::Ok;
  };
  auto clobber = [&](size_t& s) -> St {
    size_t t = skip_ws(s);
    std::string text;
    St r = parse_string_literal(t, text);
    if (failed(r)) return r;
    node.clobbers.push_back(std::move(text));
    s = t;
    return St::Ok;
  };

  size_t r = skip_ws(q);
  if (at(r, ':')) {
    q = r + 1;
    if (failed(st = separated(q, output))) return st;
    r = skip_ws(q);
    if (at(r, ':')) {
      q = r + 1;
      if (failed(st = separated(q, input))) return st;
      r = skip_ws(q);
      if (at(r, ':')) {
        q = r + 1;
        if (failed(st = separated(q, clobber))) return st;
      }
    }
  }
  if (failed(st = expect_symbol(q, "')' after asm", ')'))) return st;
  if (failed(st = expect_symbol(q, "';' after asm", ';'))) return st;
  out = Stmt{std::move(node)};
  p = q;
  return St::Ok;
}

// expression statement: expr ";"
St Parser::parse_expression_statement(size_t& p, Stmt& out) {
  size_t q = p;
  Stmt::Expr& node = out.v.emplace<Stmt::Expr>();
  St st = parse_entered_expression(q, node.expr);
  if (failed(st)) return st;
  if (failed(st = expect_symbol(q, "';' after expression", ';'))) return st;
  p = q;
  return St::Ok;
}

}  // namespace quarn::compiler::detail
