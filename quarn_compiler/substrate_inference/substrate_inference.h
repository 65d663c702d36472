// Substrate inference: decides for every function which kind of machine its
// work suits (cpu, quantum simulator, quantum hardware, hybrid), from an
// explicit @substrate pragma, a @scale pragma, or the operations its body
// calls.
//
// Usage, one inference object per compilation:
//
//   SubstrateInference inference;          // operation table, empty memo
//   for (const FunctionDef& f : program.definitions) {
//     SubstrateDecision d = inference.infer(f);
//     // d.swarm_size feeds the @scale check; d.substrate, d.reason, ...
//   }
//
// The object keeps a memo of decisions inferred from operations, keyed by
// the function's signature and body, so it must not outlive the
// compilation (nothing persists between compilations). infer() never fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarn::compiler {

struct FunctionDef;
struct Expr;
struct Stmt;
template <class T>
struct Spanned;

// The numeric values are the substrate's identity; keep them in this order.
enum class Substrate : std::uint8_t {
  Cpu = 0,
  QuantumSim = 1,
  QuantumHardware = 2,
  Hybrid = 3,
  Inferred = 4,
};

// Canonical display name: "cpu", "quantum_sim", "quantum_hardware", "hybrid",
// "inferred".
std::string_view substrate_name(Substrate substrate);

// Reads a spelling as written in a pragma: the five display names plus
// "quantum" for quantum_sim. Exact and case-sensitive; anything else is
// nullopt.
std::optional<Substrate> parse_substrate(std::string_view spelling);

// The size written in a @scale pragma: `size=20000` or `size=2^10`.
struct ScaleSize {
  enum class Kind : std::uint8_t { Fixed, Exponential };

  Kind kind = Kind::Fixed;
  std::uint64_t count = 0;     // Fixed
  std::uint64_t base = 0;      // Exponential
  std::uint64_t exponent = 0;  // Exponential

  static ScaleSize fixed(std::uint64_t n) { return {Kind::Fixed, n, 0, 0}; }
  static ScaleSize exponential(std::uint64_t base, std::uint64_t exponent) {
    return {Kind::Exponential, 0, base, exponent};
  }

  // The number of swarm members: the count, or base^exponent when that fits
  // in 64 bits and the exponent is below 64 (x^0 is 1); nullopt otherwise.
  std::optional<std::uint64_t> swarm_size() const;

  friend bool operator==(const ScaleSize&, const ScaleSize&) = default;
};

// Debug rendering used in reasons: "Fixed(20000)",
// "Exponential { base: 2, exponent: 10 }".
std::string render(const ScaleSize& size);

// Reads the value of a `size=` key: "+"? digits, or "+"? digits "^" "+"?
// digits. nullopt for anything else, including 64-bit overflow.
std::optional<ScaleSize> parse_scale_size(std::string_view value);

struct SubstrateDecision {
  Substrate substrate = Substrate::Cpu;
  std::string reason;
  double confidence = 1.0;                 // in [0, 1]
  std::optional<std::uint64_t> swarm_size; // only from a @scale pragma
  // Barrier statements of the body, including those inside if branches and
  // while bodies, not those inside switch arms. 0 for an explicit
  // @substrate pragma.
  std::uint64_t barrier_count = 0;

  friend bool operator==(const SubstrateDecision&, const SubstrateDecision&) = default;
};

// Counts the Barrier statements of a function body (see barrier_count).
std::uint64_t count_barriers(const FunctionDef& function);

class SubstrateInference {
 public:
  SubstrateInference();

  // Decides the substrate of one function; `function.attributes` holds the
  // pragma texts without their leading '@' (e.g. "scale(size=2^20)").
  SubstrateDecision infer(const FunctionDef& function);

  // Number of decisions held in the memo (for tests).
  std::size_t memo_size() const { return memo_.size(); }

 private:
  enum class OperationClass : std::uint8_t { Cpu, Quantum };

  SubstrateDecision infer_from_operations(const FunctionDef& function);

  std::unordered_map<std::string_view, OperationClass> operations_;
  // Keyed by the whole signature key (see write_signature_key), so a hash
  // collision can never hand one function another function's decision.
  std::unordered_map<std::string, SubstrateDecision> memo_;
  // The key being looked up, and the stacks of the walk over a body, their
  // memory kept from one function to the next.
  std::string signature_key_;
  std::vector<const Spanned<Stmt>*> statement_stack_;
  std::vector<const Spanned<Expr>*> expression_stack_;
};

}  // namespace quarn::compiler
