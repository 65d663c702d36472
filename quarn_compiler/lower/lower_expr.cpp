// Expressions to instructions. Each rule appends the code that computes the
// expression and answers with the register holding its value; every
// instruction appended here carries an empty span entry.
#include "quarn_compiler/lower/builtins.h"
#include "quarn_compiler/lower/lower.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quarn::compiler {
namespace {

using core::CoreError;

// Element type of an array made while the `let` type hint is an array type.
std::optional<core::BytecodeType> hinted_element_type(const LoweringState& st) {
  if (st.type_hint == nullptr) return std::nullopt;
  const auto* array = st.type_hint->as<Type::Array>();
  if (array == nullptr) return std::nullopt;
  return map_type(*array->element);
}

Reg load_const(LoweringState& st, core::Value value) {
  const Reg dst = st.new_register();
  st.emit(core::LoadConst{dst, std::move(value)});
  return dst;
}

core::Instruction binary_instruction(BinaryOperator op, Reg dst, Reg lhs, Reg rhs) {
  using O = BinaryOperator;
  switch (op) {
    case O::Add: return core::Add{dst, lhs, rhs};
    case O::Sub: return core::Sub{dst, lhs, rhs};
    case O::Mul: return core::Mul{dst, lhs, rhs};
    case O::Div: return core::Div{dst, lhs, rhs};
    case O::Mod: return core::Mod{dst, lhs, rhs};
    case O::Eq: return core::Eq{dst, lhs, rhs};
    case O::Ne: return core::Ne{dst, lhs, rhs};
    case O::Lt: return core::Lt{dst, lhs, rhs};
    case O::Le: return core::Le{dst, lhs, rhs};
    case O::Gt: return core::Gt{dst, lhs, rhs};
    case O::Ge: return core::Ge{dst, lhs, rhs};
    case O::BitAnd: return core::BitAnd{dst, lhs, rhs};
    case O::BitOr: return core::BitOr{dst, lhs, rhs};
    case O::BitXor: return core::BitXor{dst, lhs, rhs};
    case O::Shl: return core::Shl{dst, lhs, rhs};
    case O::Shr: return core::Shr{dst, lhs, rhs};
    case O::And:
    case O::Or:
      break;
  }
  throw std::logic_error("internal error: entered unreachable code: AND/OR handled above");
}

struct ExprLowering {
  LoweringState& st;
  const Expr& whole;  // for the rendering in "Unsupported expression type"

  // Literal: LoadConst of the value. NaN and infinities are refused, and zero
  // is stored as positive zero so that -0.0 and 0.0 compile alike.
  LowerResult<Reg> operator()(const Expr::Literal& e) const {
    const Literal& lit = e.value;
    if (lit.is<Literal::Null>()) return load_const(st, core::Value::Null());
    if (const auto* b = lit.as<Literal::Bool>()) return load_const(st, core::Value::Bool(b->value));
    if (const auto* i = lit.as<Literal::Int>()) return load_const(st, core::Value::Int(i->value));
    if (const auto* f = lit.as<Literal::Float>()) {
      if (!std::isfinite(f->value)) return CoreError::float_special();
      return load_const(st, core::Value::Float(f->value == 0.0 ? 0.0 : f->value));
    }
    if (const auto* s = lit.as<Literal::String>()) return load_const(st, core::Value::String(s->value));
    return lowering_error("Unsupported literal");
  }

  // Ident: module constants shadow variables; no instruction either way.
  LowerResult<Reg> operator()(const Expr::Ident& e) const {
    if (!st.constants.empty()) {
      if (auto found = st.constants.find(e.name); found != st.constants.end()) return found->second;
    }
    if (auto reg = st.lookup_variable(e.name)) return *reg;
    return lowering_error("Undefined: " + e.name);
  }

  // "[" elements "]": ArrayCreate after the elements, typed by the hint.
  LowerResult<Reg> operator()(const Expr::Array& e) const {
    std::vector<Reg> elements;
    elements.reserve(e.elements.size());
    for (const SpannedExpr& element : e.elements) {
      QUARN_TRY(Reg r, lower_expr(st, element.node));
      elements.push_back(r);
    }
    const Reg dst = st.new_register();
    st.emit(core::ArrayCreate{dst, std::move(elements), hinted_element_type(st)});
    return dst;
  }

  // "{" key ":" value, ... "}": keys in source order, duplicates kept.
  LowerResult<Reg> operator()(const Expr::Object& e) const {
    std::vector<std::string> keys;
    std::vector<Reg> values;
    keys.reserve(e.entries.size());
    values.reserve(e.entries.size());
    for (const ObjectEntry& entry : e.entries) {
      QUARN_TRY(Reg r, lower_expr(st, entry.value.node));
      values.push_back(r);
      keys.push_back(entry.key);
    }
    const Reg dst = st.new_register();
    st.emit(core::ObjectCreate{dst, std::move(keys), std::move(values)});
    return dst;
  }

  // callee "(" args ")": arguments first, then the callee must be a name,
  // which is a builtin or a user function.
  LowerResult<Reg> operator()(const Expr::Call& e) const {
    std::vector<Reg> args;
    args.reserve(e.args.size());
    for (const SpannedExpr& arg : e.args) {
      QUARN_TRY(Reg r, lower_expr(st, arg.node));
      args.push_back(r);
    }
    const auto* callee = e.func->node.as<Expr::Ident>();
    if (callee == nullptr) return lowering_error("Call target must be identifier");
    if (const Builtin* builtin = find_builtin(callee->name)) {
      return lower_builtin(*builtin, std::move(args));
    }
    const Reg dst = st.new_register();
    st.depth_sites.push_back(
        st.emit(core::Call{dst, callee->name, std::move(args), kDefaultMaxDepth}));
    return dst;
  }

  LowerResult<Reg> lower_builtin(const Builtin& b, std::vector<Reg> args) const {
    if (!b.arity.accepts(args.size())) return lowering_error(std::string(b.arity_message));
    switch (b.lowering) {
      case Lowering::Direct: {
        const Reg dst = st.new_register();
        st.emit(make_register_instruction(b.opcode, dst, args));
        return dst;
      }
      case Lowering::Format: {
        const Reg dst = st.new_register();
        const Reg template_reg = args.front();
        args.erase(args.begin());
        st.emit(core::FormatString{dst, template_reg, std::move(args)});
        return dst;
      }
      case Lowering::Alloc: {
        const Reg dst = st.new_register();
        st.emit(core::AllocArray{dst, args.front(), hinted_element_type(st)});
        return dst;
      }
      case Lowering::TwoResults: {
        // Two consecutive registers receive the results, which are then
        // packed into the two-element array that is the call's value.
        const Reg first = st.new_register();
        const Reg second = st.new_register();
        const Reg operands[] = {second, args.front()};
        st.emit(make_register_instruction(b.opcode, first, operands));
        const Reg dst = st.new_register();
        st.emit(core::ArrayCreate{dst, {first, second}, std::nullopt});
        return dst;
      }
      case Lowering::Print:
        for (Reg r : args) st.emit(core::Print{r});
        return load_const(st, core::Value::Null());
      case Lowering::PrintStr:
        st.emit(core::PrintStr{args.front()});
        return load_const(st, core::Value::Null());
      case Lowering::RuntimeCall: {
        const Reg dst = st.new_register();
        st.emit(core::Call{dst, std::string(b.runtime_name), std::move(args), kDefaultMaxDepth});
        return dst;
      }
    }
    throw std::logic_error("builtin row with an unknown lowering");
  }

  // Enum.Variant is the variant's position (other field reads go through
  // the spine below).
  LowerResult<Reg> operator()(const Expr::Field& e) const {
    const auto& name = e.object->node.as<Expr::Ident>()->name;
    const std::vector<std::string>& variants = *st.enum_table.find(name)->second;
    auto it = std::find(variants.begin(), variants.end(), e.field);
    if (it == variants.end()) {
      return lowering_error("Enum '" + name + "' has no variant '" + e.field + "'");
    }
    return load_const(st, core::Value::Int(it - variants.begin()));
  }

  // {id: {@i: v, ...}}: an object keyed by the field indices in ascending
  // order (equal indices keep their source order); the id is not emitted.
  LowerResult<Reg> operator()(const Expr::Contract& e) const {
    const Reg dst = st.new_register();
    std::vector<const ContractField*> fields;
    fields.reserve(e.fields.size());
    for (const ContractField& f : e.fields) fields.push_back(&f);
    std::stable_sort(fields.begin(), fields.end(),
                     [](const ContractField* a, const ContractField* b) { return a->index < b->index; });
    std::vector<std::string> keys;
    std::vector<Reg> values;
    keys.reserve(fields.size());
    values.reserve(fields.size());
    for (const ContractField* f : fields) {
      QUARN_TRY(Reg r, lower_expr(st, f->value.node));
      values.push_back(r);
      keys.push_back(std::to_string(f->index));
    }
    st.emit(core::ObjectCreate{dst, std::move(keys), std::move(values)});
    return dst;
  }

  // Cast, Pipe, Collapse, Resolve, Snapshot, Transaction, Handle. (BinOp,
  // UnaryOp and Index never come here: they are lowered along the spine.)
  template <class Other>
  LowerResult<Reg> operator()(const Other&) const {
    return lowering_error("Unsupported expression type: " + render(whole));
  }
};

// Whether lowering `e` starts with lowering its spine child (ast.h): binary
// and unary operators, indexing, and field reads other than Enum.Variant.
// A call lowers its arguments and never its callee; a cast is refused whole.
bool lowers_spine_first(const LoweringState& st, const Expr& e) {
  if (e.is<Expr::BinOp>() || e.is<Expr::UnaryOp>() || e.is<Expr::Index>()) return true;
  if (const auto* f = e.as<Expr::Field>()) {
    const auto* name = f->object->node.as<Expr::Ident>();
    return name == nullptr || !st.enum_table.contains(name->name);
  }
  return false;
}

}  // namespace

// Operators, indexes and field reads are lowered without recursion, from a
// work stack kept in the state: a node waits there while its spine child
// and then its second operand (right operand or index) are lowered, each by
// the same loop. Only the other children (call arguments, list elements,
// map and contract values) recurse, and those nest no deeper than the
// writer nested them. Each call works above the stack height it found.
//
// a && b, a || b: the right operand runs only when the left one, in
// register a, does not decide. Layout from k, the index of the JumpIf:
//   k    JumpIf a            And: then k+3, else k+1; Or: then k+1, else k+3
//   k+1  LoadConst dst, false (And) / true (Or)
//   k+2  Jump end
//   k+3  ... b ...
//        Move dst, b
//   end
LowerResult<Reg> lower_expr(LoweringState& st, const Expr& expr) {
  using Pending = LoweringState::PendingExpr;
  std::vector<Pending>& stack = st.expr_stack;
  const std::size_t base = stack.size();
  struct Unwind {  // an error leaves the stack as it was found
    std::vector<Pending>& stack;
    std::size_t base;
    ~Unwind() { stack.resize(base); }
  } unwind{stack, base};

  const Expr* cur = &expr;
  while (true) {
    while (lowers_spine_first(st, *cur)) {
      stack.push_back(Pending{cur, false, 0, 0, 0});
      cur = &spine_child(*cur)->node;
    }
    QUARN_TRY(Reg r, std::visit(ExprLowering{st, *cur}, cur->v));

    // r is the value of the node just finished; hand it to the nodes
    // waiting above until one needs its second operand lowered.
    cur = nullptr;
    while (stack.size() > base) {
      Pending& top = stack.back();
      if (const auto* b = top.node->as<Expr::BinOp>()) {
        const bool is_and = b->op == BinaryOperator::And;
        const bool short_circuit = is_and || b->op == BinaryOperator::Or;
        if (!top.second) {
          top.second = true;
          if (short_circuit) {
            top.first = st.new_register();  // dst
            top.branch = st.emit(core::JumpIf{r, 0, 0});
            st.emit(core::LoadConst{top.first, core::Value::Bool(!is_and)});
            top.jump = st.emit(core::Jump{0});
          } else {
            top.first = r;
          }
          cur = &b->rhs->node;
          break;
        }
        if (short_circuit) {
          const Target k = top.branch;
          st.emit(core::Move{top.first, r});
          if (is_and) {
            st.patch_jump_if(k, k + 3, k + 1);
          } else {
            st.patch_jump_if(k, k + 1, k + 3);
          }
          st.patch_jump(top.jump, st.position());
          r = top.first;
        } else {
          const Reg dst = st.new_register();
          st.emit(binary_instruction(b->op, dst, top.first, r));
          r = dst;
        }
      } else if (const auto* i = top.node->as<Expr::Index>()) {
        if (!top.second) {
          top.second = true;
          top.first = r;
          cur = &i->index->node;
          break;
        }
        const Reg dst = st.new_register();
        st.emit(core::IndexGet{dst, top.first, r});
        r = dst;
      } else if (const auto* u = top.node->as<Expr::UnaryOp>()) {
        const Reg dst = st.new_register();
        if (u->op == UnaryOperator::Neg) {
          st.emit(core::Neg{dst, r});
        } else {
          st.emit(core::Not{dst, r});
        }
        r = dst;
      } else {
        // A field read by name: the name as a string key.
        const Reg key = load_const(st, core::Value::String(top.node->as<Expr::Field>()->field));
        const Reg dst = st.new_register();
        st.emit(core::IndexGet{dst, r, key});
        r = dst;
      }
      stack.pop_back();
    }
    if (cur == nullptr) return r;
  }
}

}  // namespace quarn::compiler
