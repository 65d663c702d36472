// Expressions to instructions. Each rule appends the code that computes the
// expression and answers with the register holding its value; every
// instruction appended here carries an empty span entry.
#include "quarn_compiler/lower/builtins.h"
#include "quarn_compiler/lower/lower.h"

#include <algorithm>
#include <cmath>
#include <span>
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

Reg load_const(LoweringState& st, const Constant& value) {
  const Reg dst = st.new_register();
  st.emit_constant(dst, value);
  return dst;
}

// The instruction of a binary operator other than && and ||; all of them
// take dst, lhs, rhs.
core::Opcode binary_opcode(BinaryOperator op) {
  using O = BinaryOperator;
  using core::Opcode;
  switch (op) {
    case O::Add: return Opcode::Add;
    case O::Sub: return Opcode::Sub;
    case O::Mul: return Opcode::Mul;
    case O::Div: return Opcode::Div;
    case O::Mod: return Opcode::Mod;
    case O::Eq: return Opcode::Eq;
    case O::Ne: return Opcode::Ne;
    case O::Lt: return Opcode::Lt;
    case O::Le: return Opcode::Le;
    case O::Gt: return Opcode::Gt;
    case O::Ge: return Opcode::Ge;
    case O::BitAnd: return Opcode::BitAnd;
    case O::BitOr: return Opcode::BitOr;
    case O::BitXor: return Opcode::BitXor;
    case O::Shl: return Opcode::Shl;
    case O::Shr: return Opcode::Shr;
    case O::And:
    case O::Or:
      break;
  }
  throw std::logic_error("internal error: entered unreachable code: AND/OR handled above");
}

// Ident: module constants shadow variables; no instruction either way.
Lowered<Reg> lower_name(LoweringState& st, const std::string& name) {
  if (!st.constants.empty()) {
    if (auto found = st.constants.find(name); found != st.constants.end()) return found->second;
  }
  if (auto reg = st.lookup_variable(name)) return *reg;
  return st.fail(lowering_error("Undefined: " + name));
}

struct ExprLowering {
  LoweringState& st;
  const Expr& whole;  // for the rendering in "Unsupported expression type"

  // Literal: LoadConst of the value. NaN and infinities are refused, and zero
  // is stored as positive zero so that -0.0 and 0.0 compile alike.
  Lowered<Reg> operator()(const Expr::Literal& e) const {
    const Literal& lit = e.value;
    if (lit.is<Literal::Null>()) return load_const(st, Constant::null());
    if (const auto* b = lit.as<Literal::Bool>()) return load_const(st, Constant::boolean(b->value));
    if (const auto* i = lit.as<Literal::Int>()) return load_const(st, Constant::integer(i->value));
    if (const auto* f = lit.as<Literal::Float>()) {
      if (!std::isfinite(f->value)) return st.fail(CoreError::float_special());
      return load_const(st, Constant::real(f->value == 0.0 ? 0.0 : f->value));
    }
    if (const auto* s = lit.as<Literal::String>()) return load_const(st, Constant::string(s->value));
    return st.fail(lowering_error("Unsupported literal"));
  }

  Lowered<Reg> operator()(const Expr::Ident& e) const { return lower_name(st, e.name); }

  // "[" elements "]": ArrayCreate after the elements, typed by the hint.
  Lowered<Reg> operator()(const Expr::Array& e) const {
    StackMark<Reg> elements(st.reg_stack);
    for (const SpannedExpr& element : e.elements) {
      QUARN_TRY(Reg r, lower_expr(st, element.node));
      st.reg_stack.push_back(r);
    }
    const Reg dst = st.new_register();
    st.emit_array(dst, elements.above(), hinted_element_type(st));
    return dst;
  }

  // "{" key ":" value, ... "}": keys in source order, duplicates kept.
  Lowered<Reg> operator()(const Expr::Object& e) const {
    StackMark<Reg> values(st.reg_stack);
    StackMark<std::string_view> keys(st.key_stack);
    for (const ObjectEntry& entry : e.entries) {
      QUARN_TRY(Reg r, lower_expr(st, entry.value.node));
      st.reg_stack.push_back(r);
      st.key_stack.push_back(entry.key);
    }
    const Reg dst = st.new_register();
    st.emit_object(dst, keys.above(), values.above());
    return dst;
  }

  // callee "(" args ")": arguments first, then the callee must be a name,
  // which is a builtin or a user function.
  Lowered<Reg> operator()(const Expr::Call& e) const {
    StackMark<Reg> args(st.reg_stack);
    for (const SpannedExpr& arg : e.args) {
      QUARN_TRY(Reg r, lower_expr(st, arg.node));
      st.reg_stack.push_back(r);
    }
    const auto* callee = e.func->node.as<Expr::Ident>();
    if (callee == nullptr) return st.fail(lowering_error("Call target must be identifier"));
    if (const Builtin* builtin = find_builtin(callee->name)) {
      return lower_builtin(*builtin, args.above());
    }
    const Reg dst = st.new_register();
    st.emit_call(dst, callee->name, args.above(), /*user_call=*/true);
    return dst;
  }

  Lowered<Reg> lower_builtin(const Builtin& b, std::span<const Reg> args) const {
    if (!b.arity.accepts(args.size())) return st.fail(lowering_error(std::string(b.arity_message)));
    switch (b.lowering) {
      case Lowering::Direct: {
        const Reg dst = st.new_register();
        st.emit_registers(b.opcode, dst, args);
        return dst;
      }
      case Lowering::Format: {
        const Reg dst = st.new_register();
        st.emit_format(dst, args.front(), args.subspan(1));
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
        st.emit_registers(b.opcode, first, operands);
        const Reg dst = st.new_register();
        const Reg results[] = {first, second};
        st.emit_array(dst, results, std::nullopt);
        return dst;
      }
      case Lowering::Print:
        for (Reg r : args) st.emit(core::Print{r});
        return load_const(st, Constant::null());
      case Lowering::PrintStr:
        st.emit(core::PrintStr{args.front()});
        return load_const(st, Constant::null());
      case Lowering::RuntimeCall: {
        const Reg dst = st.new_register();
        st.emit_call(dst, b.runtime_name, args, /*user_call=*/false);
        return dst;
      }
    }
    throw std::logic_error("builtin row with an unknown lowering");
  }

  // Enum.Variant is the variant's position (other field reads go through
  // the spine below).
  Lowered<Reg> operator()(const Expr::Field& e) const {
    const auto& name = e.object->node.as<Expr::Ident>()->name;
    const std::vector<std::string>& variants = *st.enum_table.find(name)->second;
    auto it = std::find(variants.begin(), variants.end(), e.field);
    if (it == variants.end()) {
      return st.fail(lowering_error("Enum '" + name + "' has no variant '" + e.field + "'"));
    }
    return load_const(st, Constant::integer(it - variants.begin()));
  }

  // {id: {@i: v, ...}}: an object keyed by the field indices in ascending
  // order (equal indices keep their source order); the id is not emitted.
  Lowered<Reg> operator()(const Expr::Contract& e) const {
    const Reg dst = st.new_register();
    std::vector<const ContractField*> fields;
    fields.reserve(e.fields.size());
    for (const ContractField& f : e.fields) fields.push_back(&f);
    std::stable_sort(fields.begin(), fields.end(),
                     [](const ContractField* a, const ContractField* b) { return a->index < b->index; });
    // The keys' texts live here while the views on them are in use.
    std::vector<std::string> key_texts;
    key_texts.reserve(fields.size());
    StackMark<Reg> values(st.reg_stack);
    for (const ContractField* f : fields) {
      QUARN_TRY(Reg r, lower_expr(st, f->value.node));
      st.reg_stack.push_back(r);
      key_texts.push_back(std::to_string(f->index));
    }
    StackMark<std::string_view> keys(st.key_stack);
    for (const std::string& key : key_texts) st.key_stack.push_back(key);
    st.emit_object(dst, keys.above(), values.above());
    return dst;
  }

  // Cast, Pipe, Collapse, Resolve, Snapshot, Transaction, Handle. (BinOp,
  // UnaryOp and Index never come here: they are lowered along the spine.)
  template <class Other>
  Lowered<Reg> operator()(const Other&) const {
    std::string text = "Unsupported expression type: ";
    const std::optional<Span> at = render_noting_position(text, whole);
    return st.fail(lowering_error(std::move(text)), at);
  }
};

// The spine child (ast.h) that lowering `e` starts with, or nullptr: the
// left operand of binary operators, the operand of unary ones, the object of
// indexing and of field reads other than Enum.Variant. A call lowers its
// arguments and never its callee; a cast is refused whole.
const Expr* spine_first(const LoweringState& st, const Expr& e) {
  if (const auto* b = e.as<Expr::BinOp>()) return &b->lhs->node;
  if (const auto* u = e.as<Expr::UnaryOp>()) return &u->operand->node;
  if (const auto* i = e.as<Expr::Index>()) return &i->object->node;
  if (const auto* f = e.as<Expr::Field>()) {
    const auto* name = f->object->node.as<Expr::Ident>();
    if (name == nullptr || st.enum_table.empty() || !st.enum_table.contains(name->name)) {
      return &f->object->node;
    }
  }
  return nullptr;
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
Lowered<Reg> lower_expr(LoweringState& st, const Expr& expr) {
  // A name alone (a value, a condition, an argument) needs none of the
  // work stack below.
  if (const auto* name = expr.as<Expr::Ident>()) return lower_name(st, name->name);
  using Pending = LoweringState::PendingExpr;
  std::vector<Pending>& stack = st.expr_stack;
  const std::size_t base = stack.size();
  const StackMark<Pending> unwind(stack);  // an error leaves the stack as found

  const Expr* cur = &expr;
  while (true) {
    while (const Expr* child = spine_first(st, *cur)) {
      stack.push_back(Pending{cur, false, 0, 0, 0});
      cur = child;
    }
    // Most leaves are names: those skip the visit's indirect call.
    const auto* name = cur->as<Expr::Ident>();
    QUARN_TRY(Reg r, name != nullptr ? lower_name(st, name->name)
                                     : std::visit(ExprLowering{st, *cur}, cur->v));

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
            st.emit_constant(top.first, Constant::boolean(!is_and));
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
          const Reg operands[] = {top.first, r};
          st.emit_registers(binary_opcode(b->op), dst, operands);
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
        const Reg key = load_const(st, Constant::string(top.node->as<Expr::Field>()->field));
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
