#include "quarn_compiler/substrate_inference/substrate_inference.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "quarn_compiler/veka/ast.h"
#include "quarn_compiler/veka/parse.h"

namespace quarn::compiler {
namespace {

// ---- tree builders ----------------------------------------------------------

Span at(std::uint64_t start) { return Span{start, start + 1, 1, static_cast<std::uint32_t>(start + 1)}; }

SpannedExpr ex(Expr e, std::uint64_t pos = 0) { return SpannedExpr{std::move(e), at(pos)}; }
SpannedStmt st(Stmt s, std::uint64_t pos = 0) { return SpannedStmt{std::move(s), at(pos)}; }

SpannedExpr ident(std::string name) { return ex(Expr{Expr::Ident{std::move(name)}}); }
SpannedExpr num(std::int64_t v) { return ex(Expr{Expr::Literal{Literal{Literal::Int{v}}}}); }

SpannedExpr call(std::string name, std::vector<SpannedExpr> args = {}) {
  return ex(Expr{Expr::Call{Box<SpannedExpr>(ident(std::move(name))), std::move(args)}});
}

SpannedExpr add(SpannedExpr l, SpannedExpr r) {
  return ex(Expr{Expr::BinOp{BinaryOperator::Add, Box<SpannedExpr>(std::move(l)),
                             Box<SpannedExpr>(std::move(r))}});
}

std::vector<SpannedExpr> list(std::initializer_list<const SpannedExpr*> items) {
  std::vector<SpannedExpr> out;
  for (const SpannedExpr* e : items) out.push_back(*e);
  return out;
}

SpannedStmt expr_stmt(SpannedExpr e, std::uint64_t pos = 0) {
  return st(Stmt{Stmt::Expr{std::move(e)}}, pos);
}
SpannedStmt let(std::string name, SpannedExpr e) {
  return st(Stmt{Stmt::Let{std::nullopt, std::move(name), std::nullopt, std::nullopt,
                           std::nullopt, std::move(e)}});
}
SpannedStmt barrier() { return st(Stmt{Stmt::Barrier{std::nullopt, std::nullopt}}); }

FunctionDef fn(std::vector<std::string> attributes, std::vector<SpannedStmt> body,
               std::string name = "main") {
  FunctionDef f;
  f.attributes = std::move(attributes);
  f.name = std::move(name);
  f.body = std::move(body);
  return f;
}

// A body that calls each name once, as expression statements.
// One call statement per name, placed one after another from `pos`.
std::vector<SpannedStmt> calls(std::initializer_list<const char*> names, std::uint64_t pos = 0) {
  std::vector<SpannedStmt> body;
  for (const char* n : names) body.push_back(expr_stmt(call(n), pos++));
  return body;
}

SubstrateDecision infer(std::vector<std::string> attributes, std::vector<SpannedStmt> body = {}) {
  SubstrateInference inference;
  return inference.infer(fn(std::move(attributes), std::move(body)));
}

// ---- substrates and sizes ---------------------------------------------------

TEST(SubstrateTest, SpellingsAreExactAndQuantumIsTheSimulator) {
  EXPECT_EQ(parse_substrate("quantum"), Substrate::QuantumSim);
  EXPECT_EQ(parse_substrate("quantum_sim"), Substrate::QuantumSim);
  EXPECT_EQ(parse_substrate("quantum_hardware"), Substrate::QuantumHardware);
  EXPECT_EQ(parse_substrate("inferred"), Substrate::Inferred);
  for (std::string_view bad : {"", "CPU", "Cpu", " cpu", "cpu ", "gpu", "quantum_", "hybrid\n"}) {
    EXPECT_EQ(parse_substrate(bad), std::nullopt) << bad;
  }
  for (Substrate s : {Substrate::Cpu, Substrate::QuantumSim, Substrate::QuantumHardware,
                      Substrate::Hybrid, Substrate::Inferred}) {
    EXPECT_EQ(parse_substrate(substrate_name(s)), s);  // display names read back
  }
}

TEST(ScaleSizeTest, ParsesDecimalCountsAndPowers) {
  EXPECT_EQ(parse_scale_size("20000"), ScaleSize::fixed(20000));
  EXPECT_EQ(parse_scale_size("+7"), ScaleSize::fixed(7));
  EXPECT_EQ(parse_scale_size("2^10"), ScaleSize::exponential(2, 10));
  EXPECT_EQ(parse_scale_size("+2^+10"), ScaleSize::exponential(2, 10));
  EXPECT_EQ(parse_scale_size("18446744073709551615"),
            ScaleSize::fixed(std::numeric_limits<std::uint64_t>::max()));
  for (std::string_view bad : {"", "+", "-", "-1", "++1", "1.5", "1e3", "0x10", "2^", "^3",
                               "2^3^4", "2 ^10", "2^-1", "18446744073709551616",
                               "2^18446744073709551616", "99999999999999999999"}) {
    EXPECT_EQ(parse_scale_size(bad), std::nullopt) << bad;
  }
}

TEST(ScaleSizeTest, SwarmSizeIsThePowerWhenItFits) {
  EXPECT_EQ(ScaleSize::fixed(0).swarm_size(), 0u);
  EXPECT_EQ(ScaleSize::exponential(7, 0).swarm_size(), 1u);
  EXPECT_EQ(ScaleSize::exponential(0, 0).swarm_size(), 1u);
  EXPECT_EQ(ScaleSize::exponential(0, 5).swarm_size(), 0u);
  EXPECT_EQ(ScaleSize::exponential(2, 63).swarm_size(), std::uint64_t{1} << 63);
  EXPECT_EQ(ScaleSize::exponential(2, 64).swarm_size(), std::nullopt);
  EXPECT_EQ(ScaleSize::exponential(3, 40).swarm_size(), 12157665459056928801u);
  EXPECT_EQ(ScaleSize::exponential(3, 41).swarm_size(), std::nullopt);
  // The exponent bound holds even where the power would fit.
  EXPECT_EQ(ScaleSize::exponential(1, 63).swarm_size(), 1u);
  EXPECT_EQ(ScaleSize::exponential(1, 64).swarm_size(), std::nullopt);
  EXPECT_EQ(ScaleSize::exponential(0, 1000).swarm_size(), std::nullopt);
}

TEST(ScaleSizeTest, DebugRendering) {
  EXPECT_EQ(render(ScaleSize::fixed(20000)), "Fixed(20000)");
  EXPECT_EQ(render(ScaleSize::exponential(2, 10)), "Exponential { base: 2, exponent: 10 }");
}

// ---- explicit @substrate ----------------------------------------------------

TEST(ExplicitPragmaTest, DecidesWithFullConfidenceAndNoSwarm) {
  const auto d = infer({"inline", "substrate(quantum)"}, {barrier(), expr_stmt(call("sqrt"))});
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.reason, "Explicit pragma: @substrate(quantum_sim)");
  EXPECT_EQ(d.confidence, 1.0);
  EXPECT_EQ(d.swarm_size, std::nullopt);
  EXPECT_EQ(d.barrier_count, 0u);  // not counted for an explicit choice
  // It also wins over a scale pragma written before it.
  EXPECT_EQ(infer({"scale(size=99)", "substrate(hybrid)"}).reason,
            "Explicit pragma: @substrate(hybrid)");
}

TEST(ExplicitPragmaTest, AnInvalidSpellingEndsTheSearch) {
  // The later valid pragma is not looked at; the body decides.
  const auto d = infer({"substrate(gpu)", "substrate(cpu)"},
                       calls({"tensor_add", "tensor_add", "tensor_add"}));
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.reason, "Inferred from 3 operations (CPU: 0.0, Quantum: 3.0)");
  // ... or a scale pragma, when there is one.
  EXPECT_EQ(infer({"substrate(gpu)", "scale(size=5)"}).reason,
            "Swarm size Fixed(5) suggests cpu substrate");
  // Spellings are not trimmed; the empty spelling is invalid too.
  const std::string inferred = "Inferred from 0 operations (CPU: 0.0, Quantum: 0.0)";
  EXPECT_EQ(infer({"substrate( cpu )", "substrate(hybrid)"}).reason, inferred);
  EXPECT_EQ(infer({"substrate()", "substrate(hybrid)"}).reason, inferred);
}

TEST(ExplicitPragmaTest, TextsOfAnotherShapeAreNotCandidates) {
  // Too short, or not closed: skipped, and the search goes on.
  EXPECT_EQ(infer({"substrate(", "substrate(hybrid)"}).substrate, Substrate::Hybrid);
  EXPECT_EQ(infer({"substrate(gpu", "substrate(hybrid)"}).substrate, Substrate::Hybrid);
  EXPECT_EQ(infer({"substrate", "Substrate(cpu)", "substrate(hybrid)"}).substrate,
            Substrate::Hybrid);
}

// ---- @scale -----------------------------------------------------------------

TEST(ScalePragmaTest, SizeDecidesBetweenCpuAndSimulator) {
  auto d = infer({"scale(size=10000)"});
  EXPECT_EQ(d.substrate, Substrate::Cpu);
  EXPECT_EQ(d.swarm_size, 10000u);
  EXPECT_EQ(d.reason, "Swarm size Fixed(10000) suggests cpu substrate");
  EXPECT_EQ(d.confidence, 0.8);

  d = infer({"scale(size=10001)"});
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.reason, "Swarm size Fixed(10001) suggests quantum_sim substrate");

  d = infer({"scale(size=2^10)"});
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.swarm_size, 1024u);
  EXPECT_EQ(d.reason,
            "Swarm size Exponential { base: 2, exponent: 10 } suggests quantum_sim substrate");

  // A power too large for 64 bits still decides, without a swarm size.
  d = infer({"scale(size=2^64)"});
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.swarm_size, std::nullopt);

  // Every power is the simulator's, even a small one.
  d = infer({"scale(size=7^0)"});
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.swarm_size, 1u);
}

TEST(ScalePragmaTest, NamedSubstrateTakesItsLastValidValue) {
  auto d = infer({"scale(size=4, substrate=quantum)"});
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.reason, "Swarm with explicit substrate: quantum_sim");
  EXPECT_EQ(d.confidence, 1.0);
  EXPECT_EQ(d.swarm_size, 4u);

  // Blanks around keys and values are trimmed, including non-ASCII ones.
  d = infer({"scale(  substrate = hybrid\t,size =\xC2\xA0+20000 )"});
  EXPECT_EQ(d.substrate, Substrate::Hybrid);
  EXPECT_EQ(d.swarm_size, 20000u);

  // The last value of a key counts, and an invalid last substrate is none.
  d = infer({"scale(substrate=hybrid, size=3, substrate=gpu, size=20000)"});
  EXPECT_EQ(d.reason, "Swarm size Fixed(20000) suggests quantum_sim substrate");
  d = infer({"scale(size=3, substrate=gpu, substrate=cpu)"});
  EXPECT_EQ(d.reason, "Swarm with explicit substrate: cpu");

  // Parts that are not one key=value pair, and unknown keys, are ignored.
  d = infer({"scale(size, size=2=3, mode=fast, =, size=12)"});
  EXPECT_EQ(d.swarm_size, 12u);
  EXPECT_EQ(d.substrate, Substrate::Cpu);
}

TEST(ScalePragmaTest, OnlyTheFirstScalePragmaIsRead) {
  // An invalid size ends the search: the body decides.
  for (const char* first : {"scale(size=-1)", "scale(size=+)", "scale(size=1x)", "scale()",
                            "scale(substrate=cpu)", "scale(size=18446744073709551616)"}) {
    const auto d = infer({first, "scale(size=20)"}, calls({"tensor_add", "tensor_add"}));
    EXPECT_EQ(d.reason, "Inferred from 2 operations (CPU: 0.0, Quantum: 2.0)") << first;
    EXPECT_EQ(d.swarm_size, std::nullopt) << first;
  }
  EXPECT_EQ(infer({"scale(size=20)", "scale(size=30)"}).swarm_size, 20u);
  // Not a scale pragma: skipped.
  EXPECT_EQ(infer({"scaled(size=9)", "scale(", "scale(size=20)"}).swarm_size, 20u);
}

// ---- barriers ---------------------------------------------------------------

TEST(BarrierCountTest, CountsFlowStatementsButNotSwitchArms) {
  std::vector<SpannedStmt> inner_loop;
  inner_loop.push_back(barrier());
  std::vector<SpannedStmt> else_branch;
  else_branch.push_back(barrier());
  else_branch.push_back(st(Stmt{Stmt::While{std::nullopt, num(1), std::move(inner_loop), 10}}));
  std::vector<SpannedStmt> then_branch;
  then_branch.push_back(barrier());
  std::vector<SpannedStmt> arm_body;
  arm_body.push_back(barrier());
  std::vector<SwitchArm> arms;
  arms.push_back(SwitchArm{list({}), std::move(arm_body)});

  std::vector<SpannedStmt> body;
  body.push_back(barrier());
  body.push_back(st(Stmt{Stmt::If{std::nullopt, num(1), std::move(then_branch), std::nullopt,
                                  std::move(else_branch)}}));
  body.push_back(st(Stmt{Stmt::Switch{std::nullopt, num(1), std::move(arms)}}));

  const FunctionDef f = fn({}, body);
  EXPECT_EQ(count_barriers(f), 4u);
  EXPECT_EQ(infer({}, body).barrier_count, 4u);
  EXPECT_EQ(infer({"scale(size=2)"}, body).barrier_count, 4u);
  EXPECT_EQ(infer({"scale(size=2, substrate=hybrid)"}, body).barrier_count, 4u);
}

// ---- inference from operations ----------------------------------------------

TEST(OperationInferenceTest, CountsAndThresholds) {
  auto d = infer({}, calls({"tensor_add", "print", "tensor_add"}));
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_DOUBLE_EQ(d.confidence, 2.0 / 3.0);
  EXPECT_EQ(d.reason, "Inferred from 3 operations (CPU: 0.5, Quantum: 2.0)");
  EXPECT_EQ(d.swarm_size, std::nullopt);

  d = infer({}, calls({"sqrt", "tensor_add"}));
  EXPECT_EQ(d.substrate, Substrate::Hybrid);
  EXPECT_EQ(d.confidence, 0.5);

  d = infer({}, {});
  EXPECT_EQ(d.substrate, Substrate::Cpu);
  EXPECT_EQ(d.confidence, 1.0);
  EXPECT_EQ(d.reason, "Inferred from 0 operations (CPU: 0.0, Quantum: 0.0)");

  // Unknown names lean towards the cpu at half weight.
  d = infer({}, calls({"print", "foo", "bar"}));
  EXPECT_EQ(d.substrate, Substrate::Cpu);
  EXPECT_EQ(d.confidence, 0.5);
  EXPECT_EQ(d.reason, "Inferred from 3 operations (CPU: 1.5, Quantum: 0.0)");

  // quantum must exceed 1.5 x cpu: 3 against 2 is hybrid, 4 against 2.5 not.
  d = infer({}, calls({"hypot", "cbrt", "tensor_mult", "sin", "cos"}));
  EXPECT_EQ(d.substrate, Substrate::Hybrid);
  EXPECT_EQ(d.reason, "Inferred from 5 operations (CPU: 2.0, Quantum: 3.0)");
  d = infer({}, calls({"tensor_matmul", "tensor_matmul", "tensor_matmul", "tensor_matmul",
                       "abs", "x", "y", "z"}));
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.confidence, 0.5);

  // Every name of both classes is known.
  d = infer({}, calls({"sqrt", "sin", "cos", "tan", "log", "exp", "abs", "max", "min", "map",
                       "filter", "reduce", "sort", "reverse"}));
  EXPECT_EQ(d.reason, "Inferred from 14 operations (CPU: 14.0, Quantum: 0.0)");
  d = infer({}, calls({"tensor_matmul", "tensor_add", "tensor_mult", "hypot", "cbrt"}));
  EXPECT_EQ(d.reason, "Inferred from 5 operations (CPU: 0.0, Quantum: 5.0)");
  // Names are case-sensitive.
  d = infer({}, calls({"Sqrt", "TENSOR_ADD"}));
  EXPECT_EQ(d.reason, "Inferred from 2 operations (CPU: 1.0, Quantum: 0.0)");
}

// Every place the walk enters holds a quantum call; every place it must not
// enter holds a cpu call. So the reason shows exactly what was entered.
TEST(OperationInferenceTest, WalkEntersOnlyTheListedPlaces) {
  const SpannedExpr q = call("tensor_add");
  const SpannedExpr c = call("sqrt");
  std::vector<SpannedStmt> body;

  body.push_back(let("a", add(q, q)));                                            // 2
  body.push_back(st(Stmt{Stmt::Local{std::nullopt, "b", std::nullopt, q}}));      // 1
  body.push_back(st(Stmt{Stmt::Assign{                                            // 1
      ex(Expr{Expr::Index{Box<SpannedExpr>(ident("v")), Box<SpannedExpr>(c)}}), q}}));
  body.push_back(st(Stmt{Stmt::Return{std::nullopt,                               // 1
                                      ex(Expr{Expr::UnaryOp{UnaryOperator::Neg,
                                                            Box<SpannedExpr>(q)}})}}));
  body.push_back(expr_stmt(call("tensor_add", list({&q, &q}))));                  // 3
  // A call whose callee is itself a call: the inner one counts once.
  body.push_back(expr_stmt(ex(Expr{Expr::Call{Box<SpannedExpr>(q), {}}})));       // 1
  body.push_back(expr_stmt(ex(Expr{Expr::Index{Box<SpannedExpr>(q), Box<SpannedExpr>(q)}})));  // 2
  body.push_back(expr_stmt(ex(Expr{Expr::Field{Box<SpannedExpr>(q), "f"}})));     // 1
  body.push_back(expr_stmt(ex(Expr{Expr::Array{list({&q, &q})}})));               // 2
  body.push_back(expr_stmt(ex(Expr{Expr::Pipe{Box<SpannedExpr>(q), Box<SpannedExpr>(q)}})));  // 2
  std::vector<SpannedStmt> then_branch;
  then_branch.push_back(expr_stmt(q));
  std::vector<SpannedStmt> else_branch;
  else_branch.push_back(expr_stmt(q));
  body.push_back(st(Stmt{Stmt::If{std::nullopt, q, std::move(then_branch), std::nullopt,
                                  std::move(else_branch)}}));                      // 3
  std::vector<SpannedStmt> loop_body;
  loop_body.push_back(expr_stmt(q));
  body.push_back(st(Stmt{Stmt::While{std::nullopt, q, std::move(loop_body), 5}}));  // 2

  // Not entered.
  body.push_back(expr_stmt(ex(Expr{Expr::Object{{{"k", c}}}})));
  body.push_back(expr_stmt(ex(Expr{Expr::Cast{Box<SpannedExpr>(c), Type{Type::Int{}}}})));
  body.push_back(expr_stmt(ex(Expr{Expr::Literal{Literal{Literal::Array{list({&c})}}}})));
  body.push_back(expr_stmt(ex(Expr{Expr::Resolve{Box<SpannedExpr>(c)}})));
  body.push_back(expr_stmt(ex(Expr{Expr::Collapse{Box<Expr::Collapse::Names>({"t", "n"}), Box<SpannedExpr>(c)}})));
  body.push_back(expr_stmt(ex(Expr{Expr::Contract{1, {{0, c}}}})));
  std::vector<SpannedStmt> txn;
  txn.push_back(expr_stmt(c));
  body.push_back(expr_stmt(ex(Expr{Expr::Transaction{std::move(txn)}})));
  std::vector<SpannedStmt> arm_body;
  arm_body.push_back(expr_stmt(c));
  std::vector<SwitchArm> arms;
  arms.push_back(SwitchArm{list({&c}), std::move(arm_body)});
  body.push_back(st(Stmt{Stmt::Switch{std::nullopt, c, std::move(arms)}}));
  body.push_back(st(Stmt{Stmt::Asm{"nop", {}, {{"r", c}}, {}}}));
  body.push_back(st(Stmt{Stmt::Break{}}));
  body.push_back(st(Stmt{Stmt::Continue{}}));
  body.push_back(barrier());

  const auto d = infer({}, std::move(body));
  EXPECT_EQ(d.reason, "Inferred from 21 operations (CPU: 0.0, Quantum: 21.0)");
  EXPECT_EQ(d.substrate, Substrate::QuantumSim);
  EXPECT_EQ(d.confidence, 1.0);
  EXPECT_EQ(d.barrier_count, 1u);
}

TEST(OperationInferenceTest, WideAndLongBodiesAreWalkedWithoutRecursion) {
  // A left-leaning chain of 1000 additions of calls, in one statement.
  SpannedExpr chain = call("tensor_add");
  for (int i = 0; i < 1000; ++i) chain = add(std::move(chain), call("tensor_add"));
  std::vector<SpannedStmt> body;
  body.push_back(expr_stmt(std::move(chain)));
  for (int i = 0; i < 2000; ++i) body.push_back(expr_stmt(call("sqrt"), i + 1));
  SubstrateInference inference;
  const auto d = inference.infer(fn({"scale(size=x)"}, std::move(body)));
  EXPECT_EQ(d.reason, "Inferred from 3001 operations (CPU: 2000.0, Quantum: 1001.0)");
  EXPECT_EQ(d.substrate, Substrate::Hybrid);
}

// ---- memo -------------------------------------------------------------------

TEST(MemoTest, RepeatsAreServedAndBodiesAreTellApart) {
  SubstrateInference inference;
  const FunctionDef a = fn({}, calls({"tensor_add"}), "kernel");
  const auto first = inference.infer(a);
  EXPECT_EQ(inference.memo_size(), 1u);
  EXPECT_EQ(inference.infer(a), first);
  EXPECT_EQ(inference.memo_size(), 1u);

  // Same name, parameters and return type, another body (elsewhere in the
  // source, as another body always is): its own decision.
  const FunctionDef b = fn({}, calls({"sqrt"}, 40), "kernel");
  EXPECT_EQ(inference.infer(b).substrate, Substrate::Cpu);
  EXPECT_EQ(inference.infer(a).substrate, Substrate::QuantumSim);
  EXPECT_EQ(inference.memo_size(), 2u);

  // Another parameter type is another signature.
  FunctionDef c = a;
  c.params.push_back(Param{"x", Span{}, Type{Type::Int{}}, Span{}});
  FunctionDef d = a;
  d.params.push_back(Param{"x", Span{}, Type{Type::Float{}}, Span{}});
  (void)inference.infer(c);
  (void)inference.infer(d);
  EXPECT_EQ(inference.memo_size(), 4u);

  // Bodies that begin at the same place but end elsewhere, or hold another
  // number of statements, are other bodies.
  const FunctionDef two = fn({}, calls({"tensor_add", "sqrt"}, 100), "kernel");
  const FunctionDef three = fn({}, calls({"tensor_add", "tensor_add", "tensor_add"}, 100), "kernel");
  EXPECT_EQ(inference.infer(two).substrate, Substrate::Hybrid);
  EXPECT_EQ(inference.infer(three).substrate, Substrate::QuantumSim);
  EXPECT_EQ(inference.memo_size(), 6u);

  // Pragma decisions are not memoised.
  (void)inference.infer(fn({"substrate(cpu)"}, calls({"cos"})));
  (void)inference.infer(fn({"scale(size=2)"}, calls({"cos"})));
  EXPECT_EQ(inference.memo_size(), 6u);
}

TEST(MemoTest, StatementsWithoutAPlaceAreToldApartByTheirContent) {
  // Statements made without a place in the source share the empty span, so
  // only their content can tell two such bodies apart.
  auto unplaced = [](const char* name) {
    std::vector<SpannedStmt> body = calls({name});
    body[0].span = Span{};
    return fn({}, std::move(body), "kernel");
  };
  SubstrateInference inference;
  EXPECT_EQ(inference.infer(unplaced("tensor_add")).substrate, Substrate::QuantumSim);
  EXPECT_EQ(inference.infer(unplaced("sqrt")).substrate, Substrate::Cpu);
  EXPECT_EQ(inference.infer(unplaced("tensor_add")).substrate, Substrate::QuantumSim);
  EXPECT_EQ(inference.memo_size(), 2u);
}

TEST(MemoTest, EachCompilationStartsEmpty) {
  const FunctionDef a = fn({}, calls({"tensor_add"}));
  SubstrateInference one;
  (void)one.infer(a);
  SubstrateInference two;
  EXPECT_EQ(two.memo_size(), 0u);
  EXPECT_EQ(two.infer(a), one.infer(a));
}

// ---- from source --------------------------------------------------------------

std::vector<SubstrateDecision> infer_all(std::string_view source) {
  auto parsed = parse_source(source);
  EXPECT_TRUE(parsed.ok()) << source;
  std::vector<SubstrateDecision> out;
  if (!parsed.ok()) return out;
  SubstrateInference inference;
  for (const FunctionDef& f : parsed.value().definitions) out.push_back(inference.infer(f));
  for (const Module& m : parsed.value().modules) {
    for (const FunctionDef& f : m.functions) out.push_back(inference.infer(f));
  }
  return out;
}

TEST(ParsedSourceTest, PragmasAndBodiesAsWritten) {
  const auto d = infer_all(R"(program demo {
  module m {
    fn k(a: int) -> int { return tensor_add(a, a); }
  }
  #[substrate(quantum)] fn k() { }
  @scale(size=2^10) fn main() {
    barrier;
    if (x > 1) { barrier("phase1"); } else { loop (i < 3, 5) { barrier; } }
    switch x { 1 => { barrier; } }
  }
  @inline(x) #[hot] fn f(a: float) {
    let y = tensor_add(a, a) + sqrt(a);
    y += print(y);
    v[sort(v)] = tensor_mult(y, [cbrt(a), hypot(a, a)]);
  }
  block setup() { }
})");
  ASSERT_EQ(d.size(), 5u);
  EXPECT_EQ(d[0].reason, "Explicit pragma: @substrate(quantum_sim)");
  EXPECT_EQ(d[1].reason,
            "Swarm size Exponential { base: 2, exponent: 10 } suggests quantum_sim substrate");
  EXPECT_EQ(d[1].swarm_size, 1024u);
  EXPECT_EQ(d[1].barrier_count, 3u);
  // f: tensor_add, sqrt, print, tensor_mult, cbrt, hypot; the target's sort
  // is not an operation.
  EXPECT_EQ(d[2].reason, "Inferred from 6 operations (CPU: 1.5, Quantum: 4.0)");
  EXPECT_EQ(d[2].substrate, Substrate::QuantumSim);
  EXPECT_EQ(d[3].reason, "Inferred from 0 operations (CPU: 0.0, Quantum: 0.0)");
  EXPECT_EQ(d[4].substrate, Substrate::QuantumSim);
}

TEST(ParsedSourceTest, EquallyDeclaredFunctionsKeepTheirOwnBodies) {
  const auto d = infer_all(R"(program p {
  module a { fn f(x: int) -> int { return sqrt(x); } }
  module b { fn f(x: int) -> int { return tensor_add(x, x); } }
  module c { fn f(x: int) -> int { return sqrt(x); } }
})");
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0].substrate, Substrate::Cpu);
  EXPECT_EQ(d[1].substrate, Substrate::QuantumSim);
  EXPECT_EQ(d[2].substrate, Substrate::Cpu);
}

}  // namespace
}  // namespace quarn::compiler
