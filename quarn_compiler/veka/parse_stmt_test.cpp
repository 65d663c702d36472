// Statement forms: the tree each builds and the labels on its failure paths.

#include <gtest/gtest.h>

#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"

namespace quarn::compiler {
namespace {

using testing::body_of;
using testing::failure_of;
using testing::in_main;
using testing::labels_of;
using testing::sexpr;
using testing::trail_of;
using Labels = std::vector<std::string>;

Labels labels(const std::string& body) { return labels_of(failure_of(in_main(body))); }

// Labels of a failure that ends at main's closing brace: the statement
// failed softly, so the function's closing symbol reports it.
const Labels kAtCloseOfMain{"'}' to close function", "function definition"};

TEST(LetTest, ShapesAndLabels) {
  auto body = body_of("let x: int = 1; let y = 2;");
  ASSERT_EQ(body.size(), 2u);
  const auto* x = body[0].node.as<Stmt::Let>();
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->name, "x");
  ASSERT_TRUE(x->type_annotation.has_value());
  EXPECT_EQ(render(*x->type_annotation), "Int");
  std::string src = in_main("let x: int = 1; let y = 2;");
  EXPECT_EQ(x->keyword_span, (Span{24, 27, 1, 25}));
  EXPECT_EQ(x->name_span, (Span{28, 29, 1, 29}));
  EXPECT_EQ(x->type_span, (Span{31, 34, 1, 32}));
  const auto* y = body[1].node.as<Stmt::Let>();
  EXPECT_FALSE(y->type_annotation.has_value());
  EXPECT_FALSE(y->type_span.has_value());
  EXPECT_NE(render(body[1].node).find("type_annotation: None, type_span: None"), std::string::npos);

  EXPECT_EQ(labels("let = 1;"), (Labels{"variable name", "let statement", "function definition"}));
  EXPECT_EQ(labels("let x 1;"), (Labels{"'=' after variable name", "let statement", "function definition"}));
  // The annotation attempt is dropped and `=` is required where `:` stands.
  EXPECT_EQ(labels("let x: = 1;"), (Labels{"'=' after variable name", "let statement", "function definition"}));
  EXPECT_EQ(labels("let x = ;"), (Labels{"expression", "let statement", "function definition"}));
  EXPECT_EQ(labels("let x = 1 }"), (Labels{"';' after let statement", "let statement", "function definition"}));
  // `let` is a prefix: `letter = 1;` declares `ter`.
  auto letter = body_of("letter = 1;");
  ASSERT_EQ(letter.size(), 1u);
  EXPECT_EQ(letter[0].node.as<Stmt::Let>()->name, "ter");
}

TEST(ReturnTest, ShapesAndLabels) {
  auto body = body_of("return x + 1;");
  const auto* ret = body.at(0).node.as<Stmt::Return>();
  ASSERT_NE(ret, nullptr);
  EXPECT_EQ(sexpr(ret->value.node), "BinOp(Add, x, 1)");
  EXPECT_EQ(ret->keyword_span, (Span{24, 30, 1, 25}));
  EXPECT_EQ(labels("return;"), (Labels{"expression", "return statement", "function definition"}));
  EXPECT_EQ(labels("return 1"), (Labels{"';' after return", "return statement", "function definition"}));
  // `returned = 1;` is `return ed` and then `=` where ';' is required.
  EXPECT_EQ(labels("returned = 1;"), (Labels{"';' after return", "return statement", "function definition"}));
}

TEST(IfTest, ShapesAndLabels) {
  auto plain = body_of("if a > b { x(); }");
  auto paren = body_of("if (a > b) { x(); }");
  const auto* p1 = plain.at(0).node.as<Stmt::If>();
  const auto* p2 = paren.at(0).node.as<Stmt::If>();
  ASSERT_TRUE(p1 && p2);
  EXPECT_EQ(sexpr(p1->condition.node), "BinOp(Gt, a, b)");
  EXPECT_EQ(sexpr(p2->condition.node), sexpr(p1->condition.node));
  EXPECT_EQ(p1->then_branch.size(), 1u);
  EXPECT_FALSE(p1->else_keyword_span.has_value());
  EXPECT_FALSE(p1->else_branch.has_value());

  auto chain = body_of("if a { } else if b { } else { c(); d(); }");
  const auto* outer = chain.at(0).node.as<Stmt::If>();
  ASSERT_NE(outer, nullptr);
  ASSERT_TRUE(outer->else_branch.has_value());
  ASSERT_EQ(outer->else_branch->size(), 1u);
  const auto* inner = (*outer->else_branch)[0].node.as<Stmt::If>();
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(sexpr(inner->condition.node), "b");
  ASSERT_TRUE(inner->else_branch.has_value());
  EXPECT_EQ(inner->else_branch->size(), 2u);
  std::string src = in_main("if a { } else if b { } else { c(); d(); }");
  EXPECT_EQ(outer->else_keyword_span->start, src.find("else"));
  EXPECT_EQ(inner->if_keyword_span->start, src.find("if b"));
  EXPECT_EQ((*outer->else_branch)[0].span.start, src.find("if b"));

  // The parenthesised condition wins as soon as it parses.
  EXPECT_EQ(labels("if (a) && (b) { }"), (Labels{"'{' after if condition", "if statement", "function definition"}));
  EXPECT_EQ(labels("if ; { }"), (Labels{"condition", "if statement", "function definition"}));
  EXPECT_EQ(labels("if a { x(); )"), (Labels{"'}' to close if block", "if statement", "function definition"}));
  EXPECT_EQ(labels("if a { } else if ; { }"), (Labels{"condition", "if statement", "function definition"}));
  // An else part that fits neither form is not part of the statement.
  EXPECT_EQ(labels("if a { } else x"), kAtCloseOfMain);
  EXPECT_EQ(labels("if a { } else { x(); ) "), kAtCloseOfMain);
}

TEST(LoopTest, ShapesLimitsAndLabels) {
  auto limit = [](const std::string& text) {
    auto body = body_of("loop (i < 10, " + text + ") { i += 1; }");
    return body.at(0).node.as<Stmt::While>()->max_iter;
  };
  EXPECT_EQ(limit("5"), 5u);
  EXPECT_EQ(limit("0"), 0u);
  EXPECT_EQ(limit("007"), 7u);
  EXPECT_EQ(limit("DEFAULT_MAX_ITER()"), 1000000u);
  EXPECT_EQ(limit("4294967295"), 4294967295u);
  auto body = body_of("loop (i < 10, 5) { break; continue; }");
  const auto* w = body.at(0).node.as<Stmt::While>();
  EXPECT_EQ(sexpr(w->condition.node), "BinOp(Lt, i, 10)");
  EXPECT_EQ(w->body.size(), 2u);
  EXPECT_EQ(w->loop_keyword_span, (Span{24, 28, 1, 25}));

  EXPECT_EQ(labels("loop i < 10, 5) { }"), (Labels{"'(' after loop", "loop statement", "function definition"}));
  EXPECT_EQ(labels("loop (, 5) { }"), (Labels{"loop condition", "loop statement", "function definition"}));
  EXPECT_EQ(labels("loop (i < 10) { }"), (Labels{"',' after condition", "loop statement", "function definition"}));
  EXPECT_EQ(labels("loop (a, 5 { }"), (Labels{"')' after max iterations", "loop statement", "function definition"}));
  EXPECT_EQ(labels("loop (a, 5) }"), (Labels{"'{' after loop header", "loop statement", "function definition"}));
  EXPECT_EQ(labels("loop (a, 5) { x = 1; )"), (Labels{"'}' to close loop", "loop statement", "function definition"}));
  // A limit that is neither digits nor DEFAULT_MAX_ITER() is not a loop
  // statement at all; the enclosing block reports it.
  std::string src = in_main("loop (i < 10, n) { }");
  ParseFailure soft = failure_of(src);
  EXPECT_EQ(labels_of(soft), kAtCloseOfMain);
  EXPECT_EQ(trail_of(soft)[0], "'}'@" + std::to_string(src.find("loop")));
}

TEST(LoopTest, LimitAboveThirtyTwoBitsIsRefused) {
  for (const char* text : {"4294967296", "99999999999999999999999999"}) {
    std::string src = in_main(std::string("loop (a, ") + text + ") { }");
    ParseFailure f = failure_of(src);
    EXPECT_EQ(f.kind, FailureKind::Hard);
    EXPECT_EQ(labels_of(f), (Labels{std::string(kIterationLimitOutOfRangeLabel), "loop statement",
                                    "function definition"}));
    EXPECT_EQ(f.trail[0].position, src.find(text));
  }
}

TEST(SimpleStatementTest, BreakContinueBarrier) {
  auto body = body_of("break; continue; barrier; barrier(\"phase1\"); barrier ( \"p\" ) ;");
  ASSERT_EQ(body.size(), 5u);
  EXPECT_TRUE(body[0].node.is<Stmt::Break>());
  EXPECT_TRUE(body[1].node.is<Stmt::Continue>());
  EXPECT_FALSE(body[2].node.as<Stmt::Barrier>()->name.has_value());
  EXPECT_EQ(body[3].node.as<Stmt::Barrier>()->name, std::optional<std::string>("phase1"));
  EXPECT_EQ(body[4].node.as<Stmt::Barrier>()->name, std::optional<std::string>("p"));
  std::string src = in_main("break; continue; barrier;");
  EXPECT_EQ(body[2].node.as<Stmt::Barrier>()->keyword_span, (Span{41, 48, 1, 42}));
  EXPECT_EQ(src.substr(41, 7), "barrier");

  EXPECT_EQ(labels("break }"), (Labels{"';' after break", "break statement", "function definition"}));
  EXPECT_EQ(labels("continue }"), (Labels{"';' after continue", "continue statement", "function definition"}));
  EXPECT_EQ(labels("barrier(phase1);"), (Labels{"';' after barrier", "barrier statement", "function definition"}));
  EXPECT_EQ(labels("barrier(\"a\";"), (Labels{"')' after barrier name", "barrier statement", "function definition"}));
  // Keywords are prefixes here too.
  EXPECT_EQ(labels("breaking;"), (Labels{"';' after break", "break statement", "function definition"}));
}

TEST(SwitchTest, ArmsAndLabels) {
  auto body = body_of("switch v { 1 | 2 => { a(); }, 3 => { b(); } }");
  const auto* sw = body.at(0).node.as<Stmt::Switch>();
  ASSERT_NE(sw, nullptr);
  EXPECT_EQ(sexpr(sw->expr.node), "v");
  ASSERT_EQ(sw->arms.size(), 2u);
  ASSERT_EQ(sw->arms[0].patterns.size(), 2u);
  EXPECT_EQ(sexpr(sw->arms[0].patterns[1].node), "2");
  EXPECT_EQ(sw->arms[1].body.size(), 1u);
  // Patterns are and-level expressions: `a && b | c` is two patterns.
  auto and_level = body_of("switch v { a && b | c => { } }");
  const auto* sw2 = and_level.at(0).node.as<Stmt::Switch>();
  ASSERT_EQ(sw2->arms.size(), 1u);
  EXPECT_EQ(sexpr(sw2->arms[0].patterns[0].node), "BinOp(And, a, b)");
  EXPECT_EQ(sexpr(sw2->arms[0].patterns[1].node), "c");

  EXPECT_EQ(labels("switch ; { }"), (Labels{"switch expression", "switch statement", "function definition"}));
  EXPECT_EQ(labels("switch v 1 => { } }"), (Labels{"'{' after switch expression", "switch statement", "function definition"}));
  // A malformed arm is soft: the switch's closing brace reports it.
  EXPECT_EQ(labels("switch v { 1 { } }"), (Labels{"'}' to close switch", "switch statement", "function definition"}));
  EXPECT_EQ(labels("switch v { 1 => a(); }"), (Labels{"'}' to close switch", "switch statement", "function definition"}));
  EXPECT_EQ(labels("switch v { 1 => { a(); ) }"), (Labels{"'}' to close arm", "switch statement", "function definition"}));
  EXPECT_EQ(labels("switch v { 1 => { a() } }"),
            (Labels{"';' after expression", "expression statement", "switch statement", "function definition"}));
}

TEST(AssignmentTest, PlainAndCompound) {
  auto body = body_of("x = 1; a[0] = 2; p.q = r;");
  ASSERT_EQ(body.size(), 3u);
  EXPECT_EQ(sexpr(body[1].node.as<Stmt::Assign>()->lhs.node), "Index(a, 0)");
  EXPECT_EQ(sexpr(body[2].node.as<Stmt::Assign>()->value.node), "r");

  const std::pair<const char*, const char*> kOps[] = {
      {"+=", "Add"}, {"-=", "Sub"}, {"*=", "Mul"}, {"/=", "Div"}, {"%=", "Mod"}};
  for (const auto& [text, op] : kOps) {
    auto stmts = body_of(std::string("a.b ") + text + " 2;");
    const auto* assign = stmts.at(0).node.as<Stmt::Assign>();
    ASSERT_NE(assign, nullptr) << text;
    EXPECT_EQ(sexpr(assign->lhs.node), "Field(a, b)");
    EXPECT_EQ(sexpr(assign->value.node), std::string("BinOp(") + op + ", Field(a, b), 2)");
    // The left operand is a copy of the target, not the target itself.
    const auto* sum = assign->value.node.as<Expr::BinOp>();
    EXPECT_NE(static_cast<const void*>(&sum->lhs->node), static_cast<const void*>(&assign->lhs.node));
    EXPECT_EQ(sum->lhs->span, assign->lhs.span);
  }
  // The assignment form takes `x` and the first `=`; `= 1` is no expression.
  EXPECT_EQ(labels("x == 1;"), (Labels{"expression", "assignment", "function definition"}));
  EXPECT_EQ(labels("x = 1"), (Labels{"';' after assignment", "assignment", "function definition"}));
  EXPECT_EQ(labels("x += ;"), (Labels{"expression", "assignment", "function definition"}));
}

TEST(AsmTest, SectionsAndLabels) {
  auto body = body_of("asm(\"nop\"); asm(\"mov %0, %1\" : \"=r\"(x) : \"r\"(y + 1), \"m\"(z) : \"memory\", \"cc\");");
  ASSERT_EQ(body.size(), 2u);
  const auto* nop = body[0].node.as<Stmt::Asm>();
  EXPECT_EQ(nop->template_, "nop");
  EXPECT_TRUE(nop->outputs.empty() && nop->inputs.empty() && nop->clobbers.empty());
  const auto* mov = body[1].node.as<Stmt::Asm>();
  ASSERT_EQ(mov->outputs.size(), 1u);
  EXPECT_EQ(mov->outputs[0], (std::pair<std::string, std::string>{"=r", "x"}));
  ASSERT_EQ(mov->inputs.size(), 2u);
  EXPECT_EQ(mov->inputs[0].constraint, "r");
  EXPECT_EQ(sexpr(mov->inputs[0].value.node), "BinOp(Add, y, 1)");
  EXPECT_EQ(mov->clobbers, (std::vector<std::string>{"memory", "cc"}));
  auto skipped = body_of("asm(\"x\" :: \"r\"(1));");
  const auto* only_inputs = skipped.at(0).node.as<Stmt::Asm>();
  EXPECT_TRUE(only_inputs->outputs.empty());
  EXPECT_EQ(only_inputs->inputs.size(), 1u);

  EXPECT_EQ(labels("asm \"nop\";"), (Labels{"'(' after asm", "asm statement", "function definition"}));
  EXPECT_EQ(labels("asm(nop);"), (Labels{"asm template string", "asm statement", "function definition"}));
  EXPECT_EQ(labels("asm(\"nop\";"), (Labels{"')' after asm", "asm statement", "function definition"}));
  EXPECT_EQ(labels("asm(\"nop\")"), (Labels{"';' after asm", "asm statement", "function definition"}));
  // A bad operand ends its section softly; the closing parenthesis reports.
  EXPECT_EQ(labels("asm(\"x\" : \"=r\"(1));"), (Labels{"')' after asm", "asm statement", "function definition"}));
}

TEST(ExpressionStatementTest, ShapeAndLabels) {
  auto body = body_of("f(1);");
  const auto* e = body.at(0).node.as<Stmt::Expr>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(sexpr(e->expr.node), "Call(f, [1])");
  EXPECT_EQ(labels("f(1)"), (Labels{"';' after expression", "expression statement", "function definition"}));
  // No statement applies: the list ends and the closing brace reports.
  EXPECT_EQ(labels(") x;"), kAtCloseOfMain);
  EXPECT_EQ(labels("else;"), kAtCloseOfMain);
}

// An expression statement is only tried after the assignment form has read
// its target and found no operator; the target read there is taken over
// when the expression starts with it, and read afresh when a prefix operator
// makes the expression start elsewhere.
TEST(ExpressionStatementTest, SameTreesAndTrailsAfterTheAssignmentAttempt) {
  auto render_of = [](const std::string& body) {
    std::string out;
    for (const SpannedStmt& s : body_of(body)) out += render(s) + "\n";
    return out;
  };
  const std::string zero = "Span { start: 0, end: 0, line: 0, col: 0 }";
  EXPECT_EQ(render_of("f(x)[1].y;"),
            "Spanned { node: Expr(Spanned { node: Field { object: Spanned { node: Index { object: "
            "Spanned { node: Call { func: Spanned { node: Ident(\"f\"), span: " + zero + " }, args: "
            "[Spanned { node: Ident(\"x\"), span: Span { start: 26, end: 27, line: 1, col: 27 } }] }, "
            "span: " + zero + " }, index: Spanned { node: Literal(Int(1)), span: " + zero + " } }, "
            "span: " + zero + " }, field: \"y\" }, span: Span { start: 24, end: 33, line: 1, col: 25 } "
            "}), span: Span { start: 24, end: 34, line: 1, col: 25 } }\n");
  // `not` and `-` are prefix operators to the expression, not to the target.
  EXPECT_EQ(render_of("nothing.x;"),
            "Spanned { node: Expr(Spanned { node: UnaryOp { op: Not, operand: Spanned { node: Field { "
            "object: Spanned { node: Ident(\"hing\"), span: " + zero + " }, field: \"x\" }, span: Span "
            "{ start: 27, end: 33, line: 1, col: 28 } } }, span: Span { start: 24, end: 33, line: 1, "
            "col: 25 } }), span: Span { start: 24, end: 34, line: 1, col: 25 } }\n");
  EXPECT_EQ(render_of("-5.abs();"),
            "Spanned { node: Expr(Spanned { node: UnaryOp { op: Neg, operand: Spanned { node: Call { "
            "func: Spanned { node: Field { object: Spanned { node: Literal(Int(5)), span: " + zero + " }, "
            "field: \"abs\" }, span: " + zero + " }, args: [] }, span: Span { start: 25, end: 32, line: "
            "1, col: 26 } } }, span: Span { start: 24, end: 32, line: 1, col: 25 } }), span: Span { "
            "start: 24, end: 33, line: 1, col: 25 } }\n");
  // Statements in nested blocks each make their own attempt.
  auto body = body_of("(a)(b); if a { f(1); } g(2);");
  ASSERT_EQ(body.size(), 3u);
  EXPECT_EQ(sexpr(body[0].node.as<Stmt::Expr>()->expr.node), "Call(a, [b])");
  EXPECT_EQ(sexpr(body[1].node.as<Stmt::If>()->then_branch.at(0).node.as<Stmt::Expr>()->expr.node),
            "Call(f, [1])");
  EXPECT_EQ(sexpr(body[2].node.as<Stmt::Expr>()->expr.node), "Call(g, [2])");

  EXPECT_EQ(trail_of(failure_of(in_main("f(x) g;"))),
            (std::vector<std::string>{"';'@29", "';' after expression@28", "expression statement@23",
                                      "function definition@12"}));
  EXPECT_EQ(trail_of(failure_of(in_main("x"))),
            (std::vector<std::string>{"';'@26", "';' after expression@25", "expression statement@23",
                                      "function definition@12"}));
  EXPECT_EQ(trail_of(failure_of(in_main("f(x) == 2;"))),
            (std::vector<std::string>{"'('@30", "Alt@30", "expression@30", "assignment@23",
                                      "function definition@12"}));
}

TEST(StatementListTest, EndsAtAClosingBraceOrTheEndOfTheText) {
  const std::vector<std::string> at_close{"'}'@35", "'}' to close function@34",
                                          "function definition@12"};
  EXPECT_EQ(trail_of(failure_of("program p { fn main() { let x = 1; ")), at_close);
  EXPECT_EQ(trail_of(failure_of(in_main("let x = 1; )"))), at_close);
  // What the list left behind in the trail before ending is not carried on.
  EXPECT_EQ(body_of("if a { } let y = 2;").size(), 2u);
}

TEST(StatementListTest, SpansAndEmptyBodies) {
  EXPECT_TRUE(body_of("").empty());
  EXPECT_TRUE(body_of("  // only a comment\n").empty());
  std::string text = "  x = 1;\n  // c\n  f();";
  auto body = body_of(text);
  ASSERT_EQ(body.size(), 2u);
  std::string src = in_main(text);
  EXPECT_EQ(body[0].span, (Span{src.find("x ="), src.find("x =") + 6, 1, 27}));
  EXPECT_EQ(body[1].span, (Span{src.find("f()"), src.find("f()") + 4, 3, 3}));
}

// A binary operator's left operand starts where its statement's white
// space does, on the line before. The statement read straight on and the
// one read again after its assignment attempt (a prefix operator) place it
// alike, counting characters, not bytes.
TEST(StatementListTest, OperandSpansFromTheLineBefore) {
  const std::string text = "let \u00e9 = 1;\n  x + y;\n  -x + y; -\u00e9 - 1;";
  const std::string src = in_main(text);
  auto body = body_of(text);
  ASSERT_EQ(body.size(), 4u);
  const size_t second = src.find("x +"), third = src.find("-x");
  EXPECT_EQ(body[1].span, (Span{second, second + 6, 2, 3}));
  EXPECT_EQ(body[2].span, (Span{third, third + 7, 3, 3}));
  const auto* sum = body[1].node.as<Stmt::Expr>()->expr.node.as<Expr::BinOp>();
  const auto* negated = body[2].node.as<Stmt::Expr>()->expr.node.as<Expr::BinOp>();
  ASSERT_TRUE(sum && negated);
  // "program p { fn main() { " is 24 characters, "let é = 1;" 10 (11 bytes).
  EXPECT_EQ(sum->lhs->span, (Span{second - 3, second + 1, 1, 35}));
  EXPECT_EQ(sum->rhs->span, (Span{second + 3, second + 5, 2, 6}));
  EXPECT_EQ(negated->lhs->span, (Span{third - 3, third + 2, 2, 9}));
  EXPECT_EQ(negated->rhs->span, (Span{third + 4, third + 6, 3, 7}));
  // On the same line as the statement before it.
  const size_t fourth = src.find("-\u00e9");
  const auto* last = body[3].node.as<Stmt::Expr>()->expr.node.as<Expr::BinOp>();
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(body[3].span, (Span{fourth, fourth + 8, 3, 11}));
  EXPECT_EQ(last->lhs->span, (Span{fourth - 1, fourth + 3, 3, 10}));
  EXPECT_EQ(last->rhs->span, (Span{fourth + 5, fourth + 7, 3, 15}));
}

TEST(StatementTrailTest, PositionsOfAHardFailure) {
  // The symbol's pair (character after whitespace, label before it), then
  // the form's label where the statement list entered it, before whitespace.
  std::string src = in_main("x = 1;   y");
  ParseFailure f = failure_of(src);
  EXPECT_EQ(trail_of(f),
            (std::vector<std::string>{"';'@" + std::to_string(src.size() - 3),
                                      "';' after expression@" + std::to_string(src.find('y') + 1),
                                      "expression statement@" + std::to_string(src.find("   y")),
                                      "function definition@12"}));
}

}  // namespace
}  // namespace quarn::compiler
