#include "quarn_compiler/substrate_inference/substrate_inference.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "quarn_compiler/lower/builtins.h"
#include "quarn_compiler/veka/ast.h"
#include "quarn_core/text.h"

namespace quarn::compiler {

namespace {

constexpr std::string_view kSubstratePrefix = "substrate(";
constexpr std::string_view kScalePrefix = "scale(";

// Above this many Fixed members a swarm no longer suits a cpu.
constexpr std::uint64_t kCpuSwarmLimit = 10000;

using core::decimal;

// "+"? digits, the whole text, within 64 bits.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  return core::parse_decimal(s, std::numeric_limits<std::uint64_t>::max());
}

// The argument text of `prefix ... )` when `text` is longer than the prefix
// plus the closing parenthesis would need, else nullopt.
std::optional<std::string_view> pragma_argument(std::string_view text, std::string_view prefix) {
  if (text.size() <= prefix.size() || !text.starts_with(prefix) || !text.ends_with(')')) {
    return std::nullopt;
  }
  return text.substr(prefix.size(), text.size() - prefix.size() - 1);
}

// Visits every statement of a body that is executed in its own flow: the
// statements themselves and those nested in if branches and while bodies.
// Switch arms and expression-held statements are not visited. Iterative, so
// the machine stack does not grow with the nesting of the body; `pending` is
// the walk's stack, passed in so that its memory can serve many walks.
template <class Visit>
void for_each_flow_statement(const std::vector<SpannedStmt>& body, Visit visit,
                             std::vector<const SpannedStmt*>& pending) {
  pending.clear();
  const auto push_all = [&pending](const std::vector<SpannedStmt>& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) pending.push_back(&*it);
  };
  push_all(body);
  while (!pending.empty()) {
    const Stmt& stmt = pending.back()->node;
    pending.pop_back();
    visit(stmt);
    if (const auto* s = stmt.as<Stmt::If>()) {
      if (s->else_branch) push_all(*s->else_branch);
      push_all(s->then_branch);
    } else if (const auto* w = stmt.as<Stmt::While>()) {
      push_all(w->body);
    }
  }
}

// Appends the expressions whose calls count as operations of `stmt`.
void push_statement_expressions(const Stmt& stmt, std::vector<const SpannedExpr*>& out) {
  if (const auto* s = stmt.as<Stmt::Let>()) {
    out.push_back(&s->value);
  } else if (const auto* s = stmt.as<Stmt::Local>()) {
    out.push_back(&s->value);
  } else if (const auto* s = stmt.as<Stmt::Assign>()) {
    out.push_back(&s->value);  // the target is not an operation
  } else if (const auto* s = stmt.as<Stmt::Return>()) {
    out.push_back(&s->value);
  } else if (const auto* s = stmt.as<Stmt::Expr>()) {
    out.push_back(&s->expr);
  } else if (const auto* s = stmt.as<Stmt::If>()) {
    out.push_back(&s->condition);
  } else if (const auto* s = stmt.as<Stmt::While>()) {
    out.push_back(&s->condition);
  }
  // Break, Continue, Asm, Barrier and Switch hold no operations.
}

// Calls `on_call(name)` for every call whose callee is an identifier, within
// the expressions an operation count looks into, starting from `pending`
// (taken from the back), which the walk uses as its stack. Iterative.
template <class OnCall>
void for_each_named_call(std::vector<const SpannedExpr*>& pending, OnCall on_call) {
  while (!pending.empty()) {
    const Expr& e = pending.back()->node;
    pending.pop_back();
    if (const auto* x = e.as<Expr::BinOp>()) {
      pending.push_back(x->rhs.get());
      pending.push_back(x->lhs.get());
    } else if (const auto* x = e.as<Expr::UnaryOp>()) {
      pending.push_back(x->operand.get());
    } else if (const auto* x = e.as<Expr::Call>()) {
      if (const auto* id = x->func->node.as<Expr::Ident>()) on_call(id->name);
      for (auto it = x->args.rbegin(); it != x->args.rend(); ++it) pending.push_back(&*it);
      pending.push_back(x->func.get());
    } else if (const auto* x = e.as<Expr::Index>()) {
      pending.push_back(x->index.get());
      pending.push_back(x->object.get());
    } else if (const auto* x = e.as<Expr::Field>()) {
      pending.push_back(x->object.get());
    } else if (const auto* x = e.as<Expr::Array>()) {
      for (auto it = x->elements.rbegin(); it != x->elements.rend(); ++it) pending.push_back(&*it);
    } else if (const auto* x = e.as<Expr::Pipe>()) {
      pending.push_back(x->func.get());
      pending.push_back(x->value.get());
    }
    // Object, Cast and the remaining kinds are not looked into.
  }
}

// The memo key of a function: its name, its parameters' names and types, its
// return type and its body, each piece length-prefixed so that no two
// different signatures give the same bytes. Types are short and go in as
// their renderings. A statement goes in by the place where it stands in the
// source: its rendering quotes that place anyway, and within one
// compilation two statements at the same place are the same statement, so
// the place tells bodies apart exactly as the rendering would, at a small
// fraction of the cost (rendering every body took a third of a compile).
// For the same reason a run of statements that follow one another in the
// source goes in as one piece: where the run begins and ends, and how many
// statements it holds, since the text between those places reads as those
// statements alone. A statement with no place goes in as its rendering.
class SignatureKey {
 public:
  explicit SignatureKey(std::string& buffer) : out_(buffer) { out_.clear(); }

  void text(std::string_view tag, std::string_view text) {
    put_tag(tag);
    put_number(text.size());
    out_.append(text);
  }
  // A piece whose text is a node's debug rendering, written in place.
  template <class Node>
  void rendered(std::string_view tag, const Node& node) {
    put_tag(tag);
    const std::size_t at = out_.size();
    put_number(0);
    render_to(out_, node);
    const std::uint64_t n = out_.size() - at - sizeof(std::uint64_t);
    for (int i = 0; i < 8; ++i) out_[at + i] = static_cast<char>(n >> (8 * i));
  }
  void statements(const std::vector<SpannedStmt>& body) {
    for (std::size_t k = 0; k < body.size();) {
      if (!body[k].span.has_position()) {
        rendered("stmt", body[k++]);
        continue;
      }
      const std::size_t first = k;
      while (k + 1 < body.size() && body[k + 1].span.has_position() &&
             body[k + 1].span.start >= body[k].span.end) {
        ++k;
      }
      put_tag("run");
      put_number(body[first].span.start);
      put_number(body[k].span.end);
      put_number(++k - first);
    }
  }

 private:
  void put_tag(std::string_view tag) {
    put_number(tag.size());
    out_.append(tag);
  }
  // Eight bytes, least significant first.
  void put_number(std::uint64_t n) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(n >> (8 * i));
    out_.append(b, sizeof b);
  }

  std::string& out_;
};

void write_signature_key(const FunctionDef& f, std::string& buffer) {
  SignatureKey key(buffer);
  key.text("name", f.name);
  for (const Param& p : f.params) {
    key.text("param", p.name);
    key.rendered("type", p.type);
  }
  if (f.return_type) key.rendered("returns", *f.return_type);
  key.statements(f.body);
}

struct ScalePragma {
  std::optional<ScaleSize> size;
  std::optional<Substrate> substrate;
};

// Reads the argument text of a scale pragma: comma-separated key=value pairs;
// a key given twice takes its last value.
ScalePragma parse_scale_arguments(std::string_view args) {
  std::optional<std::string_view> size_text;
  std::optional<std::string_view> substrate_text;
  while (true) {
    const std::size_t comma = args.find(',');
    const std::string_view part = args.substr(0, comma);
    const std::size_t eq = part.find('=');
    if (eq != std::string_view::npos && part.find('=', eq + 1) == std::string_view::npos) {
      // Unicode White_Space is what "blank" means around keys and values.
      const std::string_view key = core::trim_white_space(part.substr(0, eq));
      const std::string_view value = core::trim_white_space(part.substr(eq + 1));
      if (key == "size") size_text = value;
      if (key == "substrate") substrate_text = value;
    }
    if (comma == std::string_view::npos) break;
    args.remove_prefix(comma + 1);
  }
  ScalePragma out;
  if (size_text) out.size = parse_scale_size(*size_text);
  if (substrate_text) out.substrate = parse_substrate(*substrate_text);
  return out;
}

}  // namespace

std::string_view substrate_name(Substrate substrate) {
  switch (substrate) {
    case Substrate::Cpu: return "cpu";
    case Substrate::QuantumSim: return "quantum_sim";
    case Substrate::QuantumHardware: return "quantum_hardware";
    case Substrate::Hybrid: return "hybrid";
    case Substrate::Inferred: return "inferred";
  }
  return "cpu";  // unreachable: every enumerator is handled above
}

std::optional<Substrate> parse_substrate(std::string_view spelling) {
  if (spelling == "cpu") return Substrate::Cpu;
  if (spelling == "quantum_sim" || spelling == "quantum") return Substrate::QuantumSim;
  if (spelling == "quantum_hardware") return Substrate::QuantumHardware;
  if (spelling == "hybrid") return Substrate::Hybrid;
  if (spelling == "inferred") return Substrate::Inferred;
  return std::nullopt;
}

std::optional<std::uint64_t> ScaleSize::swarm_size() const {
  if (kind == Kind::Fixed) return count;
  if (exponent >= 64) return std::nullopt;
  std::uint64_t result = 1;
  for (std::uint64_t i = 0; i < exponent; ++i) {
    if (base != 0 && result > std::numeric_limits<std::uint64_t>::max() / base) {
      return std::nullopt;
    }
    result *= base;
  }
  return result;
}

std::string render(const ScaleSize& size) {
  if (size.kind == ScaleSize::Kind::Fixed) return "Fixed(" + decimal(size.count) + ")";
  return "Exponential { base: " + decimal(size.base) + ", exponent: " + decimal(size.exponent) +
         " }";
}

std::optional<ScaleSize> parse_scale_size(std::string_view value) {
  const std::size_t caret = value.find('^');
  if (caret != std::string_view::npos && value.find('^', caret + 1) == std::string_view::npos) {
    const auto base = parse_u64(value.substr(0, caret));
    const auto exponent = parse_u64(value.substr(caret + 1));
    if (!base || !exponent) return std::nullopt;
    return ScaleSize::exponential(*base, *exponent);
  }
  const auto count = parse_u64(value);
  if (!count) return std::nullopt;
  return ScaleSize::fixed(*count);
}

std::uint64_t count_barriers(const FunctionDef& function) {
  std::uint64_t n = 0;
  std::vector<const SpannedStmt*> pending;
  for_each_flow_statement(function.body, [&n](const Stmt& s) {
    if (s.is<Stmt::Barrier>()) ++n;
  }, pending);
  return n;
}

// The calls that weigh towards each substrate. Most are builtins; the others
// are names the builtin table leaves to the program (a user's `max` or
// `hypot` counts all the same). The checks below keep that split true when
// builtins are added or renamed.
constexpr std::string_view kCpuBuiltins[] = {"sqrt", "sin", "cos", "tan", "log",
                                             "exp", "abs", "sort", "reverse"};
constexpr std::string_view kCpuOthers[] = {"max", "min", "map", "filter", "reduce"};
constexpr std::string_view kQuantumBuiltins[] = {"tensor_matmul", "tensor_add"};
constexpr std::string_view kQuantumOthers[] = {"tensor_mult", "hypot", "cbrt"};

template <std::size_t N>
constexpr bool all_builtins(const std::string_view (&names)[N], bool builtin) {
  for (const std::string_view& name : names) {
    if (is_builtin_name(name) != builtin) return false;
  }
  return true;
}
static_assert(all_builtins(kCpuBuiltins, true) && all_builtins(kQuantumBuiltins, true),
              "an operation counted for inference is no longer a builtin");
static_assert(all_builtins(kCpuOthers, false) && all_builtins(kQuantumOthers, false),
              "an operation counted for inference became a builtin: move it to its list");

SubstrateInference::SubstrateInference() {
  for (std::string_view name : kCpuBuiltins) operations_.emplace(name, OperationClass::Cpu);
  for (std::string_view name : kCpuOthers) operations_.emplace(name, OperationClass::Cpu);
  for (std::string_view name : kQuantumBuiltins) operations_.emplace(name, OperationClass::Quantum);
  for (std::string_view name : kQuantumOthers) operations_.emplace(name, OperationClass::Quantum);
}

SubstrateDecision SubstrateInference::infer(const FunctionDef& function) {
  // An explicit @substrate pragma wins; the first one decides, and an
  // unknown spelling there means "no explicit choice" rather than a search
  // for another.
  for (const std::string& text : function.attributes) {
    const auto arg = pragma_argument(text, kSubstratePrefix);
    if (!arg) continue;
    const auto substrate = parse_substrate(*arg);
    if (!substrate) break;
    SubstrateDecision d;
    d.substrate = *substrate;
    d.reason = "Explicit pragma: @substrate(" + std::string(substrate_name(*substrate)) + ")";
    d.confidence = 1.0;
    return d;
  }

  // Then the first @scale pragma, when it gives a usable size.
  for (const std::string& text : function.attributes) {
    const auto arg = pragma_argument(text, kScalePrefix);
    if (!arg) continue;
    const ScalePragma scale = parse_scale_arguments(*arg);
    if (!scale.size) break;
    SubstrateDecision d;
    d.swarm_size = scale.size->swarm_size();
    d.barrier_count = count_barriers(function);
    if (scale.substrate) {
      d.substrate = *scale.substrate;
      d.reason = "Swarm with explicit substrate: " + std::string(substrate_name(d.substrate));
      d.confidence = 1.0;
    } else {
      const bool small = scale.size->kind == ScaleSize::Kind::Fixed &&
                         scale.size->count <= kCpuSwarmLimit;
      d.substrate = small ? Substrate::Cpu : Substrate::QuantumSim;
      d.reason = "Swarm size " + render(*scale.size) + " suggests " +
                 std::string(substrate_name(d.substrate)) + " substrate";
      d.confidence = 0.8;
    }
    return d;
  }

  write_signature_key(function, signature_key_);
  auto [it, fresh] = memo_.try_emplace(signature_key_);
  if (fresh) {
    try {
      it->second = infer_from_operations(function);
    } catch (...) {
      memo_.erase(it);  // no entry without its decision
      throw;
    }
  }
  return it->second;
}

SubstrateDecision SubstrateInference::infer_from_operations(const FunctionDef& function) {
  // Counted in halves so that the sums stay exact integers.
  std::uint64_t n = 0;
  std::uint64_t cpu_halves = 0;
  std::uint64_t quantum = 0;
  std::uint64_t barriers = 0;
  std::vector<const SpannedExpr*>& roots = expression_stack_;
  roots.clear();
  for_each_flow_statement(function.body, [&](const Stmt& s) {
    if (s.is<Stmt::Barrier>()) ++barriers;
    push_statement_expressions(s, roots);
  }, statement_stack_);
  std::reverse(roots.begin(), roots.end());  // the walk takes from the back
  for_each_named_call(roots, [&](const std::string& name) {
    ++n;
    const auto it = operations_.find(name);
    if (it == operations_.end()) {
      cpu_halves += 1;
    } else if (it->second == OperationClass::Cpu) {
      cpu_halves += 2;
    } else {
      ++quantum;
    }
  });

  const double cpu = static_cast<double>(cpu_halves) / 2.0;
  const double q = static_cast<double>(quantum);
  SubstrateDecision d;
  if (q > 1.5 * cpu) {
    d.substrate = Substrate::QuantumSim;
  } else if (cpu > 0 && q > 0) {
    d.substrate = Substrate::Hybrid;
  } else {
    d.substrate = Substrate::Cpu;
  }
  d.confidence = n == 0 ? 1.0 : std::min(std::max(cpu, q) / static_cast<double>(n), 1.0);
  // Written piece by piece into one buffer: this runs for nearly every
  // function of a program.
  d.reason.reserve(64);
  d.reason += "Inferred from ";
  core::append_decimal(d.reason, n);
  d.reason += " operations (CPU: ";
  core::append_fixed_point(d.reason, cpu, 1);  // sums of 1 and 0.5: one decimal is exact
  d.reason += ", Quantum: ";
  core::append_fixed_point(d.reason, q, 1);
  d.reason += ')';
  d.barrier_count = barriers;
  return d;
}

}  // namespace quarn::compiler
