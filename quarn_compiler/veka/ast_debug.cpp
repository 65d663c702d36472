// One-line debug text of syntax-tree nodes. The lowering quotes it in its
// messages ("Unsupported expression type: ...") and substrate inference keys
// its memo on the renderings of types, so every character here is observable.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "quarn_compiler/veka/ast.h"
#include "quarn_core/text.h"

namespace quarn::compiler {
namespace {

class Printer {
 public:
  std::string out;
  // The first span written that has a place in the source (line 0 is a
  // node the parser made up), when asked for.
  std::optional<Span> first_placed;
  bool note_placed = false;

  void raw(std::string_view s) { out.append(s); }

  void u64(std::uint64_t v) { core::append_decimal(out, v); }
  void i64(std::int64_t v) { core::append_decimal(out, v); }

  // Shortest digits that read back to the same value; exponent form outside
  // [1e-4, 1e16), plain decimal with at least one fractional digit inside.
  void f64(double v) {
    if (std::isnan(v)) return raw("NaN");
    if (std::isinf(v)) return raw(v < 0 ? "-inf" : "inf");
    double mag = std::fabs(v);
    char buf[64];
    if (mag >= 1e16 || (mag < 1e-4 && mag != 0.0)) {
      auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
      std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
      size_t e = s.find('e');
      out.append(s.substr(0, e));
      out.push_back('e');
      std::string_view exp = s.substr(e + 1);
      if (!exp.empty() && exp[0] == '-') {
        out.push_back('-');
        exp.remove_prefix(1);
      } else if (!exp.empty() && exp[0] == '+') {
        exp.remove_prefix(1);
      }
      while (exp.size() > 1 && exp[0] == '0') exp.remove_prefix(1);
      out.append(exp);
      return;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
    out.append(s);
    if (s.find('.') == std::string_view::npos) out.append(".0");
  }

  void boolean(bool b) { raw(b ? "true" : "false"); }

  // Double-quoted, with backslash escapes for quote, backslash and control
  // characters.
  void text(std::string_view s) {
    out.push_back('"');
    for (size_t i = 0; i < s.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      switch (c) {
        case '"': raw("\\\""); continue;
        case '\\': raw("\\\\"); continue;
        case '\n': raw("\\n"); continue;
        case '\r': raw("\\r"); continue;
        case '\t': raw("\\t"); continue;
        case '\0': raw("\\0"); continue;
        default: break;
      }
      if (c < 0x20 || c == 0x7F) {
        hex_escape(c);
        continue;
      }
      // C1 controls U+0080..U+009F are encoded C2 80..C2 9F.
      if (c == 0xC2 && i + 1 < s.size()) {
        unsigned char d = static_cast<unsigned char>(s[i + 1]);
        if (d >= 0x80 && d <= 0x9F) {
          hex_escape(d);
          ++i;
          continue;
        }
      }
      out.push_back(static_cast<char>(c));
    }
    out.push_back('"');
  }

  void span(const Span& s) {
    if (note_placed && !first_placed && s.has_position()) first_placed = s;
    raw("Span { start: ");
    u64(s.start);
    raw(", end: ");
    u64(s.end);
    raw(", line: ");
    u64(s.line);
    raw(", col: ");
    u64(s.col);
    raw(" }");
  }

  void opt_span(const std::optional<Span>& s) {
    if (!s) return raw("None");
    raw("Some(");
    span(*s);
    raw(")");
  }

  void spanned(const SpannedExpr& e) {
    raw("Spanned { node: ");
    expr(e.node);
    raw(", span: ");
    span(e.span);
    raw(" }");
  }

  void spanned(const SpannedStmt& s) {
    raw("Spanned { node: ");
    stmt(s.node);
    raw(", span: ");
    span(s.span);
    raw(" }");
  }

  template <class T, class F>
  void list(const std::vector<T>& items, F each) {
    raw("[");
    for (size_t i = 0; i < items.size(); ++i) {
      if (i) raw(", ");
      each(items[i]);
    }
    raw("]");
  }

  void exprs(const std::vector<SpannedExpr>& v) {
    list(v, [&](const SpannedExpr& e) { spanned(e); });
  }
  void stmts(const std::vector<SpannedStmt>& v) {
    list(v, [&](const SpannedStmt& s) { spanned(s); });
  }
  void entries(const std::vector<ObjectEntry>& v) {
    list(v, [&](const ObjectEntry& e) {
      raw("(");
      text(e.key);
      raw(", ");
      spanned(e.value);
      raw(")");
    });
  }

  void binop(BinaryOperator op) {
    static constexpr std::string_view kNames[] = {
        "Add", "Sub", "Mul", "Div", "Mod", "Eq", "Ne", "Lt", "Le",
        "Gt", "Ge", "And", "Or", "BitAnd", "BitOr", "BitXor", "Shl", "Shr"};
    raw(kNames[static_cast<size_t>(op)]);
  }

  void unop(UnaryOperator op) { raw(op == UnaryOperator::Neg ? "Neg" : "Not"); }

  void type(const Type& t) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Type::Int>) raw("Int");
          else if constexpr (std::is_same_v<T, Type::Float>) raw("Float");
          else if constexpr (std::is_same_v<T, Type::String>) raw("String");
          else if constexpr (std::is_same_v<T, Type::Bool>) raw("Bool");
          else if constexpr (std::is_same_v<T, Type::Array>) {
            raw("Array(");
            type(*n.element);
            raw(")");
          } else if constexpr (std::is_same_v<T, Type::Pointer>) {
            raw("Pointer(");
            type(*n.target);
            raw(")");
          } else {
            raw("Named(");
            text(n.name);
            raw(")");
          }
        },
        t.v);
  }

  void literal(const Literal& l) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Literal::Null>) raw("Null");
          else if constexpr (std::is_same_v<T, Literal::Bool>) {
            raw("Bool(");
            boolean(n.value);
            raw(")");
          } else if constexpr (std::is_same_v<T, Literal::Int>) {
            raw("Int(");
            i64(n.value);
            raw(")");
          } else if constexpr (std::is_same_v<T, Literal::Float>) {
            raw("Float(");
            f64(n.value);
            raw(")");
          } else if constexpr (std::is_same_v<T, Literal::String>) {
            raw("String(");
            text(n.value);
            raw(")");
          } else if constexpr (std::is_same_v<T, Literal::Array>) {
            raw("Array(");
            exprs(n.elements);
            raw(")");
          } else {
            raw("Object(");
            entries(n.entries);
            raw(")");
          }
        },
        l.v);
  }

  // A chain renders as the openings of its nodes from the outermost down,
  // the innermost node, then the closings back up: no recursion along the
  // spine (ast.h), only into the other children.
  void expr(const Expr& e) {
    const Expr* cur = &e;
    std::vector<const Expr*> spine;
    while (const SpannedExpr* child = spine_child(*cur)) {
      spine.push_back(cur);
      open_node(*cur);
      raw("Spanned { node: ");
      cur = &child->node;
    }
    node(*cur);
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
      raw(", span: ");
      span(spine_child(**it)->span);
      raw(" }");
      close_node(**it);
    }
  }

  // A node with a spine child, up to where that child goes.
  void open_node(const Expr& e) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Expr::BinOp>) {
            raw("BinOp { op: ");
            binop(n.op);
            raw(", lhs: ");
          } else if constexpr (std::is_same_v<T, Expr::UnaryOp>) {
            raw("UnaryOp { op: ");
            unop(n.op);
            raw(", operand: ");
          } else if constexpr (std::is_same_v<T, Expr::Call>) {
            raw("Call { func: ");
          } else if constexpr (std::is_same_v<T, Expr::Index>) {
            raw("Index { object: ");
          } else if constexpr (std::is_same_v<T, Expr::Field>) {
            raw("Field { object: ");
          } else if constexpr (std::is_same_v<T, Expr::Cast>) {
            raw("Cast { expr: ");
          } else if constexpr (std::is_same_v<T, Expr::Pipe>) {
            raw("Pipe { value: ");
          } else if constexpr (std::is_same_v<T, Expr::Collapse>) {
            raw("Collapse { table: ");
            text(n.names->table);
            raw(", namespace: ");
            text(n.names->namespace_);
            raw(", value: ");
          } else if constexpr (std::is_same_v<T, Expr::Resolve>) {
            raw("Resolve { target: ");
          }
        },
        e.v);
  }

  // The rest of a node with a spine child, after that child.
  void close_node(const Expr& e) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Expr::BinOp>) {
            raw(", rhs: ");
            spanned(*n.rhs);
          } else if constexpr (std::is_same_v<T, Expr::Call>) {
            raw(", args: ");
            exprs(n.args);
          } else if constexpr (std::is_same_v<T, Expr::Index>) {
            raw(", index: ");
            spanned(*n.index);
          } else if constexpr (std::is_same_v<T, Expr::Field>) {
            raw(", field: ");
            text(n.field);
          } else if constexpr (std::is_same_v<T, Expr::Cast>) {
            raw(", target_type: ");
            type(n.target_type);
          } else if constexpr (std::is_same_v<T, Expr::Pipe>) {
            raw(", func: ");
            spanned(*n.func);
          }
        },
        e.v);
    raw(" }");
  }

  // A node without a spine child.
  void node(const Expr& e) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Expr::Literal>) {
            raw("Literal(");
            literal(n.value);
            raw(")");
          } else if constexpr (std::is_same_v<T, Expr::Ident>) {
            raw("Ident(");
            text(n.name);
            raw(")");
          } else if constexpr (std::is_same_v<T, Expr::Array>) {
            raw("Array(");
            exprs(n.elements);
            raw(")");
          } else if constexpr (std::is_same_v<T, Expr::Object>) {
            raw("Object(");
            entries(n.entries);
            raw(")");
          } else if constexpr (std::is_same_v<T, Expr::Snapshot>) {
            raw("Snapshot");
          } else if constexpr (std::is_same_v<T, Expr::Transaction>) {
            raw("Transaction { body: ");
            stmts(n.body);
            raw(" }");
          } else if constexpr (std::is_same_v<T, Expr::Handle>) {
            raw("Handle(");
            text(n.name);
            raw(")");
          } else if constexpr (std::is_same_v<T, Expr::Contract>) {
            raw("Contract { id: ");
            u64(n.id);
            raw(", fields: ");
            list(n.fields, [&](const ContractField& f) {
              raw("(");
              u64(f.index);
              raw(", ");
              spanned(f.value);
              raw(")");
            });
            raw(" }");
          }
          // Nodes with a spine child never get here.
        },
        e.v);
  }

  void arm(const SwitchArm& a) {
    raw("SwitchArm { patterns: ");
    exprs(a.patterns);
    raw(", body: ");
    stmts(a.body);
    raw(" }");
  }

  void stmt(const Stmt& s) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Stmt::Let>) {
            raw("Let { keyword_span: ");
            opt_span(n.keyword_span);
            raw(", name: ");
            text(n.name);
            raw(", name_span: ");
            opt_span(n.name_span);
            raw(", type_annotation: ");
            if (n.type_annotation) {
              raw("Some(");
              type(*n.type_annotation);
              raw(")");
            } else {
              raw("None");
            }
            raw(", type_span: ");
            opt_span(n.type_span);
            raw(", value: ");
            spanned(n.value);
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::Local>) {
            raw("Local { keyword_span: ");
            opt_span(n.keyword_span);
            raw(", name: ");
            text(n.name);
            raw(", name_span: ");
            opt_span(n.name_span);
            raw(", value: ");
            spanned(n.value);
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::Assign>) {
            raw("Assign { lhs: ");
            spanned(n.lhs);
            raw(", value: ");
            spanned(n.value);
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::Return>) {
            raw("Return { keyword_span: ");
            opt_span(n.keyword_span);
            raw(", value: ");
            spanned(n.value);
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::If>) {
            raw("If { if_keyword_span: ");
            opt_span(n.if_keyword_span);
            raw(", condition: ");
            spanned(n.condition);
            raw(", then_branch: ");
            stmts(n.then_branch);
            raw(", else_keyword_span: ");
            opt_span(n.else_keyword_span);
            raw(", else_branch: ");
            if (n.else_branch) {
              raw("Some(");
              stmts(*n.else_branch);
              raw(")");
            } else {
              raw("None");
            }
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::While>) {
            raw("While { loop_keyword_span: ");
            opt_span(n.loop_keyword_span);
            raw(", condition: ");
            spanned(n.condition);
            raw(", body: ");
            stmts(n.body);
            raw(", max_iter: ");
            u64(n.max_iter);
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::Break>) {
            raw("Break");
          } else if constexpr (std::is_same_v<T, Stmt::Continue>) {
            raw("Continue");
          } else if constexpr (std::is_same_v<T, Stmt::Expr>) {
            raw("Expr(");
            spanned(n.expr);
            raw(")");
          } else if constexpr (std::is_same_v<T, Stmt::Asm>) {
            raw("Asm { template: ");
            text(n.template_);
            raw(", outputs: ");
            list(n.outputs, [&](const std::pair<std::string, std::string>& o) {
              raw("(");
              text(o.first);
              raw(", ");
              text(o.second);
              raw(")");
            });
            raw(", inputs: ");
            list(n.inputs, [&](const AsmInput& in) {
              raw("(");
              text(in.constraint);
              raw(", ");
              spanned(in.value);
              raw(")");
            });
            raw(", clobbers: ");
            list(n.clobbers, [&](const std::string& c) { text(c); });
            raw(" }");
          } else if constexpr (std::is_same_v<T, Stmt::Barrier>) {
            raw("Barrier { name: ");
            if (n.name) {
              raw("Some(");
              text(*n.name);
              raw(")");
            } else {
              raw("None");
            }
            raw(", keyword_span: ");
            opt_span(n.keyword_span);
            raw(" }");
          } else {
            static_assert(std::is_same_v<T, Stmt::Switch>);
            raw("Switch { keyword_span: ");
            opt_span(n.keyword_span);
            raw(", expr: ");
            spanned(n.expr);
            raw(", arms: ");
            list(n.arms, [&](const SwitchArm& a) { arm(a); });
            raw(" }");
          }
        },
        s.v);
  }

 private:
  void hex_escape(unsigned c) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "\\u{%x}", c);
    out.append(buf, static_cast<size_t>(n));
  }
};

}  // namespace

std::string render(const Span& span) {
  Printer p;
  p.span(span);
  return std::move(p.out);
}

std::string render(const Spanned<Expr>& e) {
  Printer p;
  p.spanned(e);
  return std::move(p.out);
}

std::string render(const Spanned<Stmt>& s) {
  Printer p;
  p.spanned(s);
  return std::move(p.out);
}

std::string render(const Expr& e) {
  Printer p;
  p.expr(e);
  return std::move(p.out);
}

std::optional<Span> render_noting_position(std::string& out, const Expr& e) {
  Printer p;
  p.out = std::move(out);
  p.note_placed = true;
  p.expr(e);
  out = std::move(p.out);
  return p.first_placed;
}

void render_to(std::string& out, const Spanned<Stmt>& s) {
  Printer p;
  p.out = std::move(out);
  p.spanned(s);
  out = std::move(p.out);
}

void render_to(std::string& out, const Type& t) {
  Printer p;
  p.out = std::move(out);
  p.type(t);
  out = std::move(p.out);
}

std::string render(const Literal& l) {
  Printer p;
  p.literal(l);
  return std::move(p.out);
}

std::string render(BinaryOperator op) {
  Printer p;
  p.binop(op);
  return std::move(p.out);
}

std::string render(UnaryOperator op) {
  Printer p;
  p.unop(op);
  return std::move(p.out);
}

std::string render(const Type& t) {
  Printer p;
  p.type(t);
  return std::move(p.out);
}

std::string render(const Stmt& s) {
  Printer p;
  p.stmt(s);
  return std::move(p.out);
}

std::string render(const SwitchArm& arm) {
  Printer p;
  p.arm(arm);
  return std::move(p.out);
}

}  // namespace quarn::compiler
