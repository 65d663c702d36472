// Helpers shared by the front-end tests: compact tree notation and trail
// summaries, so expectations read like the source they describe.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "quarn_compiler/veka/parse.h"

namespace quarn::compiler::testing {

inline std::string op_name(BinaryOperator op) { return render(op); }

// Compact notation: literals as written (strings quoted), names bare,
// BinOp(Add, a, b), Neg(x), Not(x), Call(f, [a, b]), Index(a, i), Field(a, f),
// Cast(x, Int), [a, b], {k: v}, Contract(7, [0: a]).
inline std::string sexpr(const Expr& e) {
  if (const auto* lit = e.as<Expr::Literal>()) {
    const Literal& l = lit->value;
    if (l.is<Literal::Null>()) return "null";
    if (const auto* b = l.as<Literal::Bool>()) return b->value ? "true" : "false";
    if (const auto* i = l.as<Literal::Int>()) return std::to_string(i->value);
    if (l.is<Literal::Float>()) {
      std::string r = render(l);  // Float(...)
      return r.substr(6, r.size() - 7) + "f";
    }
    if (const auto* s = l.as<Literal::String>()) return "\"" + s->value + "\"";
    return render(l);
  }
  if (const auto* id = e.as<Expr::Ident>()) return id->name;
  auto list = [](const std::vector<SpannedExpr>& v) {
    std::string r = "[";
    for (size_t i = 0; i < v.size(); ++i) r += (i ? ", " : "") + sexpr(v[i].node);
    return r + "]";
  };
  if (const auto* a = e.as<Expr::Array>()) return list(a->elements);
  if (const auto* o = e.as<Expr::Object>()) {
    std::string r = "{";
    for (size_t i = 0; i < o->entries.size(); ++i)
      r += (i ? ", " : "") + o->entries[i].key + ": " + sexpr(o->entries[i].value.node);
    return r + "}";
  }
  if (const auto* b = e.as<Expr::BinOp>())
    return "BinOp(" + op_name(b->op) + ", " + sexpr(b->lhs->node) + ", " + sexpr(b->rhs->node) + ")";
  if (const auto* u = e.as<Expr::UnaryOp>())
    return render(u->op) + "(" + sexpr(u->operand->node) + ")";
  if (const auto* c = e.as<Expr::Call>()) return "Call(" + sexpr(c->func->node) + ", " + list(c->args) + ")";
  if (const auto* x = e.as<Expr::Index>())
    return "Index(" + sexpr(x->object->node) + ", " + sexpr(x->index->node) + ")";
  if (const auto* f = e.as<Expr::Field>()) return "Field(" + sexpr(f->object->node) + ", " + f->field + ")";
  if (const auto* c = e.as<Expr::Cast>()) return "Cast(" + sexpr(c->expr->node) + ", " + render(c->target_type) + ")";
  if (const auto* k = e.as<Expr::Contract>()) {
    std::string r = "Contract(" + std::to_string(k->id) + ", [";
    for (size_t i = 0; i < k->fields.size(); ++i)
      r += (i ? ", " : "") + std::to_string(k->fields[i].index) + ": " + sexpr(k->fields[i].value.node);
    return r + "])";
  }
  return render(e);
}

// One line per trail entry: "'c'@pos", "label@pos" or "Kind@pos".
inline std::vector<std::string> trail_of(const ParseFailure& f) {
  std::vector<std::string> out;
  for (const TrailEntry& e : f.trail) {
    std::string what;
    switch (e.kind) {
      case TrailEntry::Kind::ExpectedChar: what = "'" + std::string(1, static_cast<char>(e.expected)) + "'"; break;
      case TrailEntry::Kind::Context: what = std::string(e.label); break;
      case TrailEntry::Kind::Primitive: what = std::string(primitive_name(e.primitive)); break;
    }
    out.push_back(what + "@" + std::to_string(e.position));
  }
  return out;
}

// Only the context labels of a trail, innermost first.
inline std::vector<std::string> labels_of(const ParseFailure& f) {
  std::vector<std::string> out;
  for (const TrailEntry& e : f.trail)
    if (e.kind == TrailEntry::Kind::Context) out.emplace_back(e.label);
  return out;
}

inline std::string repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * static_cast<size_t>(n > 0 ? n : 0));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Sanitizer builds use several times the stack per frame; the 1 MiB budget
// is about the optimised module running on a Python thread.
#if defined(__SANITIZE_ADDRESS__)
#define QUARN_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_TEST_ASAN 1
#endif
#endif
#ifdef QUARN_TEST_ASAN
inline constexpr size_t kSmallThreadStack = 16u << 20;
#else
inline constexpr size_t kSmallThreadStack = 1u << 20;
#endif

// Runs f on a thread with a small (1 MiB) stack and waits for it.
inline void run_on_small_stack(const std::function<void()>& f) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallThreadStack), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&f)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

inline std::string in_main(const std::string& body) {
  return "program p { fn main() { " + body + " } }";
}

// The statements of main in `program p { fn main() { <body> } }`.
inline std::vector<SpannedStmt> body_of(const std::string& body) {
  std::string src = in_main(body);
  ParseResult r = parse_source(src);
  EXPECT_TRUE(r.ok()) << src << "\n" << (r.ok() ? "" : render_parse_error(src, r.error()));
  if (!r.ok()) return {};
  return std::move(r.value().definitions.at(0).body);
}

// The value of `let v = <expr>;`, in compact notation.
inline std::string parse_expr(const std::string& expr) {
  std::vector<SpannedStmt> body = body_of("let v = " + expr + ";");
  if (body.size() != 1 || !body[0].node.is<Stmt::Let>()) return "<not a let>";
  return sexpr(body[0].node.as<Stmt::Let>()->value.node);
}

// The failure of parsing `src`; fails the test when it parses.
inline ParseFailure failure_of(const std::string& src) {
  ParseResult r = parse_source(src);
  EXPECT_FALSE(r.ok()) << src;
  if (r.ok()) return {};
  return std::move(r.error());
}

}  // namespace quarn::compiler::testing
