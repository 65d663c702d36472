#include "quarn_compiler/lower/lowering_state.h"

#include "quarn_compiler/lower/builtins.h"
#include "quarn_compiler/lower/error_place.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <utility>

namespace quarn::compiler {

LoweringState::LoweringState(core::ProgramEncoder* encoder)
    : encoder_(encoder), encoder_base_(encoder != nullptr ? encoder->count() : 0) {
  push_scope();
}

LoweringError LoweringState::take_error() {
  if (!error_) throw std::logic_error("lowering failed without recording an error");
  LoweringError error = std::move(*error_);
  error_.reset();
  failed_node_ = nullptr;
  return error;
}

void LoweringState::place_error(const SpannedStmt& stmt) {
  if (!error_ || error_->at) return;
  std::optional<Span> at = failed_node_ != nullptr ? place_within(stmt, *failed_node_) : std::nullopt;
  if (!at && stmt.span.has_position()) at = stmt.span;
  error_->at = at;
}

void LoweringState::place_error(const Expr& value) {
  if (error_ && !error_->at && failed_node_ != nullptr) error_->at = place_within(value, *failed_node_);
}

std::string_view LoweringState::name_of(const DepthSite& site) const {
  if (encoder_ != nullptr) return encoder_->text_at(site.name_at);
  const core::Instruction& insn = instructions.at(site.at - first);
  if (const auto* call = std::get_if<core::Call>(&insn)) return call->name;
  return std::get<core::FuncDef>(insn).name;
}

// A patch that finds another instruction than the one its caller appended is
// a fault in the lowering itself; it is reported as an exception, which the
// Python boundary turns into the internal-fault error.
std::size_t LoweringState::offset_of(Target at, core::Opcode expected) const {
  // Most patches reach one of the last few branches: those are looked at
  // first, the rest searched by index.
  auto found = branches_.end();
  constexpr std::size_t kRecent = 4;
  const auto recent =
      branches_.end() - static_cast<std::ptrdiff_t>(std::min(kRecent, branches_.size()));
  while (found != recent && (found - 1)->at >= at) --found;
  if (found == recent && found != branches_.begin() && (found - 1)->at >= at) {
    found = std::lower_bound(branches_.begin(), recent, at,
                             [](const BranchOffset& b, Target t) { return b.at < t; });
  }
  if (found == branches_.end() || found->at != at) {
    throw std::logic_error("lowering patched an instruction that is no branch");
  }
  const std::size_t offset = found->offset;
  if (encoder_->u32_at(offset) != static_cast<std::uint32_t>(expected)) {
    throw std::logic_error("lowering patched another instruction than it appended");
  }
  return offset;
}

template <class Insn>
Insn& LoweringState::instruction_at(Target at) {
  return std::get<Insn>(instructions.at(at - first));
}

// A patch overwrites the fields it names, at the places the instruction
// table gives them.
void LoweringState::patch_jump(Target at, Target target) {
  if (encoder_ == nullptr) {
    instruction_at<core::Jump>(at).target = target;
    return;
  }
  const std::size_t offset = offset_of(at, core::Opcode::Jump);
  encoder_->patch_u32(offset + core::fixed_field_offset<core::Jump>("target"), target);
}

void LoweringState::patch_jump_if(Target at, Target then_target, Target else_target) {
  if (encoder_ == nullptr) {
    auto& branch = instruction_at<core::JumpIf>(at);
    branch.then_target = then_target;
    branch.else_target = else_target;
    return;
  }
  const std::size_t offset = offset_of(at, core::Opcode::JumpIf);
  encoder_->patch_u32(offset + core::fixed_field_offset<core::JumpIf>("then_target"), then_target);
  encoder_->patch_u32(offset + core::fixed_field_offset<core::JumpIf>("else_target"), else_target);
}

void LoweringState::patch_loop(Target at, Target body, Target end) {
  if (encoder_ == nullptr) {
    auto& header = instruction_at<core::Loop>(at);
    header.body = body;
    header.end = end;
    return;
  }
  const std::size_t offset = offset_of(at, core::Opcode::Loop);
  encoder_->patch_u32(offset + core::fixed_field_offset<core::Loop>("body"), body);
  encoder_->patch_u32(offset + core::fixed_field_offset<core::Loop>("end"), end);
}

// Each emit_* either keeps the instruction as an Instruction or has the
// encoder write it in place from views of its fields (ProgramEncoder::emit,
// which lays them out by the instruction table). Tests hold the two ways
// against each other on every construct.

Target LoweringState::emit_constant(Reg dst, const Constant& value) {
  const Target at = position();
  if (encoder_ == nullptr) {
    core::Value v;
    switch (value.kind) {
      case core::ValueKind::Bool: v = core::Value::Bool(value.b); break;
      case core::ValueKind::Int: v = core::Value::Int(value.i); break;
      case core::ValueKind::Float: v = core::Value::Float(value.f); break;
      case core::ValueKind::String: v = core::Value::String(std::string(value.text)); break;
      default: break;
    }
    keep(std::in_place_type<core::LoadConst>, core::LoadConst{dst, std::move(v)});
    return at;
  }
  encoder_->emit<core::LoadConst>(dst, value);
  return at;
}

// A user Call's or a FuncDef's max_depth is settled at the end: its site is
// where that field and the name stand.
template <class Insn, std::size_t N>
LoweringState::DepthSite depth_site_of(const core::Emitted<N>& written, std::string_view name) {
  return {written.fields[core::field_index<Insn>("max_depth")],
          written.fields[core::field_index<Insn>("name")], LoweringState::name_mark(name)};
}

Target LoweringState::emit_call(Reg dst, std::string_view name, std::span<const Reg> args,
                                bool user_call) {
  const Target at = position();
  if (encoder_ == nullptr) {
    keep(std::in_place_type<core::Call>,
         core::Call{dst, std::string(name), core::RegList(args.begin(), args.end()),
                    kDefaultMaxDepth});
    if (user_call) depth_sites.push_back({at, 0, name_mark(name)});
    return at;
  }
  const auto written = encoder_->emit<core::Call>(dst, name, args, kDefaultMaxDepth);
  if (user_call) depth_sites.push_back(depth_site_of<core::Call>(written, name));
  return at;
}

Target LoweringState::emit_func_def(std::string_view name, std::span<const Reg> params,
                                    Target entry) {
  const Target at = position();
  if (encoder_ == nullptr) {
    keep(std::in_place_type<core::FuncDef>,
         core::FuncDef{std::string(name), core::RegList(params.begin(), params.end()), entry,
                       kDefaultMaxDepth});
    depth_sites.push_back({at, 0, name_mark(name)});
    return at;
  }
  const auto written = encoder_->emit<core::FuncDef>(name, params, entry, kDefaultMaxDepth);
  depth_sites.push_back(depth_site_of<core::FuncDef>(written, name));
  return at;
}

Target LoweringState::emit_array(Reg dst, std::span<const Reg> elements,
                                 const std::optional<core::BytecodeType>& elem_type) {
  const Target at = position();
  if (encoder_ == nullptr) {
    keep(std::in_place_type<core::ArrayCreate>,
         core::ArrayCreate{dst, core::RegList(elements.begin(), elements.end()), elem_type});
    return at;
  }
  encoder_->emit<core::ArrayCreate>(dst, elements, elem_type);
  return at;
}

Target LoweringState::emit_object(Reg dst, std::span<const std::string_view> keys,
                                  std::span<const Reg> values) {
  const Target at = position();
  if (encoder_ == nullptr) {
    core::TextList texts(keys.begin(), keys.end());
    keep(std::in_place_type<core::ObjectCreate>,
         core::ObjectCreate{dst, std::move(texts), core::RegList(values.begin(), values.end())});
    return at;
  }
  encoder_->emit<core::ObjectCreate>(dst, keys, values);
  return at;
}

Target LoweringState::emit_format(Reg dst, Reg template_reg, std::span<const Reg> args) {
  const Target at = position();
  if (encoder_ == nullptr) {
    keep(std::in_place_type<core::FormatString>,
         core::FormatString{dst, template_reg, core::RegList(args.begin(), args.end())});
    return at;
  }
  encoder_->emit<core::FormatString>(dst, template_reg, args);
  return at;
}

Target LoweringState::emit_registers(core::Opcode op, Reg dst, std::span<const Reg> args) {
  const Target at = position();
  if (encoder_ == nullptr) {
    keep(make_register_instruction(op, dst, args));
    return at;
  }
  encoder_->emit_words(op, dst, args);
  return at;
}

void LoweringState::push_scope() {
  if (depth_ == frames_.size()) frames_.emplace_back();
  ScopeFrame& frame = frames_[depth_++];
  frame.first = bindings_.size();
  frame.indexed = false;
  if (!frame.index.empty()) frame.index.clear();
}

void LoweringState::pop_scope() {
  // The global scope is never popped: only function bodies push.
  if (depth_ <= 1) throw std::logic_error("lowering popped the global scope");
  bindings_.resize(frames_[--depth_].first);
}

void LoweringState::bind(std::string_view name, Reg reg) {
  ScopeFrame& frame = frames_[depth_ - 1];
  if (frame.indexed) {
    frame.index.insert_or_assign(name, reg);
    return;
  }
  bindings_.push_back({NameKey::of(name), name, reg});
  if (bindings_.size() - frame.first > kWalkedBindings) {
    // In binding order, so that the newest of a name stays.
    for (std::size_t k = frame.first; k < bindings_.size(); ++k) {
      frame.index.insert_or_assign(bindings_[k].name, bindings_[k].reg);
    }
    bindings_.resize(frame.first);
    frame.indexed = true;
  }
}

const Reg* LoweringState::lookup_variable(std::string_view name) const {
  // Scopes innermost first; an indexed scope's run is empty.
  const NameKey key = NameKey::of(name);
  const bool long_name = name.size() > sizeof key.head;
  std::size_t end = bindings_.size();
  for (std::size_t d = depth_; d-- > 0;) {
    const ScopeFrame& frame = frames_[d];
    if (frame.indexed) {
      if (auto found = frame.index.find(name); found != frame.index.end()) return &found->second;
    }
    for (std::size_t k = end; k-- > frame.first;) {
      const Binding& b = bindings_[k];
      if (b.key == key && (!long_name || b.name == name)) return &b.reg;
    }
    end = frame.first;
  }
  return nullptr;
}

std::optional<core::BytecodeType> map_type(const Type& type) {
  // Array types nest without bound only up to the parser's depth limit, but a
  // loop costs nothing over recursion here.
  std::uint64_t depth = 0;
  const Type* t = &type;
  while (const auto* array = t->as<Type::Array>()) {
    ++depth;
    t = array->element.get();
  }
  core::TypeKind base;
  if (t->is<Type::Int>()) {
    base = core::TypeKind::Int;
  } else if (t->is<Type::Float>()) {
    base = core::TypeKind::Float;
  } else if (t->is<Type::Bool>()) {
    base = core::TypeKind::Bool;
  } else {
    return std::nullopt;
  }
  return core::BytecodeType::nested(base, depth);
}

core::BytecodeType map_type_or_int(const Type& type) {
  return map_type(type).value_or(core::BytecodeType::Int());
}

}  // namespace quarn::compiler
