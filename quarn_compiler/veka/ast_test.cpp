#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "quarn_compiler/veka/ast.h"
#include "quarn_compiler/veka/parse.h"

namespace quarn::compiler {
namespace {

SpannedExpr lit_int(std::int64_t v, Span s = {}) {
  return SpannedExpr{Expr{Expr::Literal{Literal{Literal::Int{v}}}}, s};
}

SpannedExpr ident(std::string name, Span s = {}) {
  return SpannedExpr{Expr{Expr::Ident{std::move(name)}}, s};
}

std::string float_text(double v) { return render(Literal{Literal::Float{v}}); }

TEST(RenderTest, SpansAndSpannedNodes) {
  EXPECT_EQ(render(Span{0, 3, 1, 1}), "Span { start: 0, end: 3, line: 1, col: 1 }");
  EXPECT_EQ(render(ident("x", Span{4, 5, 1, 5})),
            "Spanned { node: Ident(\"x\"), span: Span { start: 4, end: 5, line: 1, col: 5 } }");
}

TEST(RenderTest, FloatForms) {
  EXPECT_EQ(float_text(1.0), "Float(1.0)");
  EXPECT_EQ(float_text(0.5), "Float(0.5)");
  EXPECT_EQ(float_text(-0.0), "Float(-0.0)");
  EXPECT_EQ(float_text(123456.75), "Float(123456.75)");
  EXPECT_EQ(float_text(0.1 + 0.2), "Float(0.30000000000000004)");
  EXPECT_EQ(float_text(1e-4), "Float(0.0001)");
  EXPECT_EQ(float_text(9999999999999998.0), "Float(9999999999999998.0)");
  EXPECT_EQ(float_text(1e16), "Float(1e16)");
  EXPECT_EQ(float_text(1.5e-5), "Float(1.5e-5)");
  EXPECT_EQ(float_text(-2.5e300), "Float(-2.5e300)");
  EXPECT_EQ(float_text(5e-324), "Float(5e-324)");
  EXPECT_EQ(float_text(std::numeric_limits<double>::quiet_NaN()), "Float(NaN)");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "Float(inf)");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "Float(-inf)");
}

TEST(RenderTest, TextEscapesAndScalars) {
  EXPECT_EQ(render(Literal{Literal::String{std::string("a\"b\\c\n\r\t\0\x01\x7f", 11)}}),
            "String(\"a\\\"b\\\\c\\n\\r\\t\\0\\u{1}\\u{7f}\")");
  EXPECT_EQ(render(Literal{Literal::String{"\xC2\x85 \xC3\xA9 '"}}), "String(\"\\u{85} \xC3\xA9 '\")");
  EXPECT_EQ(render(Literal{Literal::Int{-42}}), "Int(-42)");
  EXPECT_EQ(render(Literal{Literal::Int{std::numeric_limits<std::int64_t>::min()}}),
            "Int(-9223372036854775808)");
  EXPECT_EQ(render(Literal{Literal::Bool{false}}), "Bool(false)");
  EXPECT_EQ(render(Literal{Literal::Null{}}), "Null");
  EXPECT_EQ(render(Literal{Literal::Array{}}), "Array([])");
  std::vector<ObjectEntry> entries;
  entries.push_back(ObjectEntry{"", lit_int(1)});
  EXPECT_EQ(render(Literal{Literal::Object{std::move(entries)}}),
            "Object([(\"\", Spanned { node: Literal(Int(1)), span: Span { start: 0, end: 0, line: 0, "
            "col: 0 } })])");
}

TEST(RenderTest, OperatorsAndTypes) {
  EXPECT_EQ(render(BinaryOperator::Add), "Add");
  EXPECT_EQ(render(BinaryOperator::Shr), "Shr");
  EXPECT_EQ(render(BinaryOperator::BitXor), "BitXor");
  EXPECT_EQ(render(UnaryOperator::Neg), "Neg");
  EXPECT_EQ(render(UnaryOperator::Not), "Not");
  Type ptr{Type::Pointer{Box<Type>(Type{Type::Int{}})}};
  EXPECT_EQ(render(ptr), "Pointer(Int)");
  Type arr{Type::Array{Box<Type>(Type{Type::Named{"Vec3"}})}};
  EXPECT_EQ(render(arr), "Array(Named(\"Vec3\"))");
  EXPECT_EQ(render(Type{Type::Bool{}}), "Bool");
}

TEST(RenderTest, BinOpShowsBoxesAsTheirContent) {
  Expr e{Expr::BinOp{BinaryOperator::Add, Box<SpannedExpr>(lit_int(1, Span{0, 1, 1, 1})),
                     Box<SpannedExpr>(lit_int(2, Span{3, 5, 1, 4}))}};
  EXPECT_EQ(render(e),
            "BinOp { op: Add, lhs: Spanned { node: Literal(Int(1)), span: Span { start: 0, end: 1, "
            "line: 1, col: 1 } }, rhs: Spanned { node: Literal(Int(2)), span: Span { start: 3, end: "
            "5, line: 1, col: 4 } } }");
}

TEST(RenderTest, ExpressionVariantsTheParserNeverBuilds) {
  EXPECT_EQ(render(Expr{Expr::Snapshot{}}), "Snapshot");
  EXPECT_EQ(render(Expr{Expr::Handle{"h"}}), "Handle(\"h\")");
  EXPECT_EQ(render(Expr{Expr::Transaction{}}), "Transaction { body: [] }");
  EXPECT_EQ(render(Expr{Expr::Collapse{Box<Expr::Collapse::Names>({"t", "ns"}), Box<SpannedExpr>(ident("v"))}}),
            "Collapse { table: \"t\", namespace: \"ns\", value: Spanned { node: Ident(\"v\"), span: "
            "Span { start: 0, end: 0, line: 0, col: 0 } } }");
  EXPECT_EQ(render(Expr{Expr::Resolve{Box<SpannedExpr>(ident("r"))}}),
            "Resolve { target: Spanned { node: Ident(\"r\"), span: Span { start: 0, end: 0, line: 0, "
            "col: 0 } } }");
  EXPECT_EQ(render(Expr{Expr::Pipe{Box<SpannedExpr>(ident("a")), Box<SpannedExpr>(ident("f"))}}),
            "Pipe { value: Spanned { node: Ident(\"a\"), span: Span { start: 0, end: 0, line: 0, col: "
            "0 } }, func: Spanned { node: Ident(\"f\"), span: Span { start: 0, end: 0, line: 0, col: "
            "0 } } }");
  std::vector<ContractField> fields;
  fields.push_back(ContractField{3, ident("x")});
  EXPECT_EQ(render(Expr{Expr::Contract{7, std::move(fields)}}),
            "Contract { id: 7, fields: [(3, Spanned { node: Ident(\"x\"), span: Span { start: 0, "
            "end: 0, line: 0, col: 0 } })] }");
  Expr cast{Expr::Cast{Box<SpannedExpr>(ident("x")), Type{Type::Float{}}}};
  EXPECT_EQ(render(cast),
            "Cast { expr: Spanned { node: Ident(\"x\"), span: Span { start: 0, end: 0, line: 0, col: "
            "0 } }, target_type: Float }");
}

TEST(RenderTest, Statements) {
  Stmt let{Stmt::Let{Span{0, 3, 1, 1}, "x", Span{4, 5, 1, 5}, std::nullopt, std::nullopt,
                     lit_int(1, Span{8, 9, 1, 9})}};
  EXPECT_EQ(render(let),
            "Let { keyword_span: Some(Span { start: 0, end: 3, line: 1, col: 1 }), name: \"x\", "
            "name_span: Some(Span { start: 4, end: 5, line: 1, col: 5 }), type_annotation: None, "
            "type_span: None, value: Spanned { node: Literal(Int(1)), span: Span { start: 8, end: 9, "
            "line: 1, col: 9 } } }");
  EXPECT_EQ(render(Stmt{Stmt::Break{}}), "Break");
  EXPECT_EQ(render(Stmt{Stmt::Continue{}}), "Continue");
  EXPECT_EQ(render(Stmt{Stmt::Barrier{std::string("p"), std::nullopt}}),
            "Barrier { name: Some(\"p\"), keyword_span: None }");
  Stmt::Asm asm_stmt;
  asm_stmt.template_ = "nop";
  asm_stmt.outputs.emplace_back("=r", "x");
  asm_stmt.clobbers.push_back("memory");
  EXPECT_EQ(render(Stmt{asm_stmt}),
            "Asm { template: \"nop\", outputs: [(\"=r\", \"x\")], inputs: [], clobbers: [\"memory\"] }");
  Stmt::If if_stmt{std::nullopt, ident("c"), {}, std::nullopt, std::vector<SpannedStmt>{}};
  EXPECT_EQ(render(Stmt{std::move(if_stmt)}),
            "If { if_keyword_span: None, condition: Spanned { node: Ident(\"c\"), span: Span { start: "
            "0, end: 0, line: 0, col: 0 } }, then_branch: [], else_keyword_span: None, else_branch: "
            "Some([]) }");
  SwitchArm arm;
  arm.patterns.push_back(lit_int(1));
  arm.body.push_back(SpannedStmt{Stmt{Stmt::Break{}}, Span{1, 2, 1, 2}});
  EXPECT_EQ(render(arm),
            "SwitchArm { patterns: [Spanned { node: Literal(Int(1)), span: Span { start: 0, end: 0, "
            "line: 0, col: 0 } }], body: [Spanned { node: Break, span: Span { start: 1, end: 2, line: "
            "1, col: 2 } }] }");
  Stmt local{Stmt::Local{std::nullopt, "y", std::nullopt, ident("z")}};
  EXPECT_EQ(render(local),
            "Local { keyword_span: None, name: \"y\", name_span: None, value: Spanned { node: "
            "Ident(\"z\"), span: Span { start: 0, end: 0, line: 0, col: 0 } } }");
}

TEST(TreeTest, CopiesAreDeepAndIndependent) {
  Expr original{Expr::BinOp{BinaryOperator::Sub, Box<SpannedExpr>(ident("a")),
                            Box<SpannedExpr>(lit_int(2))}};
  Expr copy = original;
  copy.as<Expr::BinOp>()->lhs->node = Expr{Expr::Ident{"changed"}};
  EXPECT_EQ(original.as<Expr::BinOp>()->lhs->node.as<Expr::Ident>()->name, "a");
  EXPECT_NE(original.as<Expr::BinOp>()->lhs.get(), copy.as<Expr::BinOp>()->lhs.get());

  Program p;
  p.name = "demo";
  FunctionDef f;
  f.name = "main";
  f.body.push_back(SpannedStmt{Stmt{Stmt::Expr{SpannedExpr{original, {}}}}, {}});
  p.definitions.push_back(f);
  Program q = p;
  q.definitions[0].body.clear();
  ASSERT_EQ(p.definitions[0].body.size(), 1u);
  EXPECT_EQ(render(p.definitions[0].body[0].node), render(Stmt{Stmt::Expr{SpannedExpr{original, {}}}}));
}

// Parsed nodes live in chunks shared by many nodes; each must still behave
// as if it owned its own storage: outliving the parse and the rest of the
// tree, moving into its own ancestor, and being dropped on another thread.
TEST(TreeTest, ParsedNodesOutliveTheirTreeAndMayBeDroppedAnywhere) {
  std::string src = "program p {\n";
  for (int i = 0; i < 400; ++i)  // far more nodes than one chunk holds
    src += "  fn f" + std::to_string(i) + "(a: int) -> [*Int] { let x = -(a + 1) * g(a)[2].h as Int; x += a; }\n";
  src += "}\n";
  std::vector<std::string> rendered;
  std::vector<FunctionDef> kept;
  {
    ParseResult parsed = parse_source(src);
    ASSERT_TRUE(parsed.ok());
    for (size_t i = 0; i < parsed.value().definitions.size(); i += 3) {
      for (const SpannedStmt& st : parsed.value().definitions[i].body) rendered.push_back(render(st));
      kept.push_back(std::move(parsed.value().definitions[i]));
    }
  }  // the rest of the tree is gone
  std::vector<std::string> again;
  for (const FunctionDef& f : kept)
    for (const SpannedStmt& st : f.body) again.push_back(render(st));
  EXPECT_EQ(again, rendered);

  // A child moved into the node that owns it, and a copy that outlives its original.
  auto& bin = *kept[0].body[0].node.as<Stmt::Let>()->value.node.as<Expr::BinOp>();
  const std::string inner = render(bin.lhs->node.as<Expr::UnaryOp>()->operand->node);
  Box<SpannedExpr> operand = std::move(bin.lhs);
  operand = std::move(operand->node.as<Expr::UnaryOp>()->operand);
  EXPECT_EQ(render(operand->node), inner);
  Expr copy = kept[1].body[1].node.as<Stmt::Assign>()->value.node;

  // Dropped on another thread while this one parses again.
  std::thread dropper([moved = std::move(kept)]() mutable { moved.clear(); });
  ParseResult second = parse_source(src);
  dropper.join();
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(render(copy), render(second.value().definitions[3].body[1].node.as<Stmt::Assign>()->value.node));
}

}  // namespace
}  // namespace quarn::compiler
