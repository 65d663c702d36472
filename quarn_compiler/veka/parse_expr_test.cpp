// Expressions, literals, identifiers, type annotations and spans, seen through
// `let v = <expr>;` inside a function body.

#include <gtest/gtest.h>

#include "quarn_compiler/veka/parse.h"
#include "quarn_compiler/veka/veka_test_util.h"

namespace quarn::compiler {
namespace {

using testing::body_of;
using testing::failure_of;
using testing::in_main;
using testing::labels_of;
using testing::parse_expr;
using testing::trail_of;

std::vector<std::string> labels(const std::string& body) { return labels_of(failure_of(in_main(body))); }

const Stmt::Let& only_let(const std::vector<SpannedStmt>& body) {
  static const Stmt::Let kNone{};
  if (body.size() != 1 || !body[0].node.is<Stmt::Let>()) {
    ADD_FAILURE() << "expected one let statement";
    return kNone;
  }
  return *body[0].node.as<Stmt::Let>();
}

TEST(PrecedenceTest, LevelsAndAssociativity) {
  EXPECT_EQ(parse_expr("1 + 2 * 3"), "BinOp(Add, 1, BinOp(Mul, 2, 3))");
  EXPECT_EQ(parse_expr("1 - 2 - 3"), "BinOp(Sub, BinOp(Sub, 1, 2), 3)");
  EXPECT_EQ(parse_expr("8 / 4 % 3 * 2"), "BinOp(Mul, BinOp(Mod, BinOp(Div, 8, 4), 3), 2)");
  EXPECT_EQ(parse_expr("2 ^ 3 + 1"), "BinOp(BitXor, 2, BinOp(Add, 3, 1))");
  EXPECT_EQ(parse_expr("a << b ^ c + d"), "BinOp(Shl, a, BinOp(BitXor, b, BinOp(Add, c, d)))");
  EXPECT_EQ(parse_expr("a < b < c"), "BinOp(Lt, BinOp(Lt, a, b), c)");
  EXPECT_EQ(parse_expr("a == b != c"), "BinOp(Ne, BinOp(Eq, a, b), c)");
  EXPECT_EQ(parse_expr("a || b | c"), "BinOp(BitOr, BinOp(Or, a, b), c)");
  EXPECT_EQ(parse_expr("a | b && c"), "BinOp(BitOr, a, BinOp(And, b, c))");
  EXPECT_EQ(parse_expr("a & b and c && d"), "BinOp(And, BinOp(And, BinOp(BitAnd, a, b), c), d)");
  EXPECT_EQ(parse_expr("a or b and c"), "BinOp(Or, a, BinOp(And, b, c))");
  EXPECT_EQ(parse_expr("a >> 1 >= b << 2"), "BinOp(Ge, BinOp(Shr, a, 1), BinOp(Shl, b, 2))");
  EXPECT_EQ(parse_expr("a * b + c * d == e"),
            "BinOp(Eq, BinOp(Add, BinOp(Mul, a, b), BinOp(Mul, c, d)), e)");
  EXPECT_EQ(parse_expr("a + b * c - d"), "BinOp(Sub, BinOp(Add, a, BinOp(Mul, b, c)), d)");
  EXPECT_EQ(parse_expr("a == b + c < d"), "BinOp(Eq, a, BinOp(Lt, BinOp(Add, b, c), d))");
  EXPECT_EQ(parse_expr("(1 + 2) * 3"), "BinOp(Mul, BinOp(Add, 1, 2), 3)");
  EXPECT_EQ(parse_expr("a <= b"), "BinOp(Le, a, b)");
  EXPECT_EQ(parse_expr("a>b"), "BinOp(Gt, a, b)");
  // Word operators are plain prefixes.
  EXPECT_EQ(parse_expr("a order"), "BinOp(Or, a, der)");
  EXPECT_EQ(parse_expr("a andy"), "BinOp(And, a, y)");
  // A comment is not a division.
  EXPECT_EQ(parse_expr("a/b"), "BinOp(Div, a, b)");
  EXPECT_EQ(parse_expr("a // b\n"), "a");
}

TEST(PrecedenceTest, OperatorsThatDoNotCompose) {
  // After `<` the operand parser meets `=`; `+=` is `+` and a bad operand.
  EXPECT_EQ(labels("let v = a < = b;"), (std::vector<std::string>{"expression", "let statement",
                                                                    "function definition"}));
  EXPECT_EQ(labels("let v = a += 1;"), (std::vector<std::string>{"expression", "let statement",
                                                                   "function definition"}));
  EXPECT_EQ(labels("let v = a -> b;"), (std::vector<std::string>{"expression", "let statement",
                                                                   "function definition"}));
}

TEST(PrefixTest, OperandIsAPostfixExpression) {
  EXPECT_EQ(parse_expr("-x.y"), "Neg(Field(x, y))");
  EXPECT_EQ(parse_expr("-x as Int"), "Neg(Cast(x, Int))");
  EXPECT_EQ(parse_expr("a + b as Int"), "BinOp(Add, a, Cast(b, Int))");
  EXPECT_EQ(parse_expr("!a && not b"), "BinOp(And, Not(a), Not(b))");
  EXPECT_EQ(parse_expr("nothing"), "Not(hing)");
  EXPECT_EQ(parse_expr("- -5"), "Neg(-5)");
  EXPECT_EQ(parse_expr("-(-x)"), "Neg(Neg(x))");
  EXPECT_EQ(parse_expr("-0.5"), "Neg(0.5f)");
  EXPECT_EQ(parse_expr("a - -b"), "BinOp(Sub, a, Neg(b))");
  // The operand of a prefix operator is never itself a prefix expression.
  EXPECT_FALSE(parse_source(in_main("let v = - -x;")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = !!x;")).ok());
}

TEST(PostfixTest, FormsChainFreely) {
  EXPECT_EQ(parse_expr("a.b(c)[0] as Int"), "Cast(Index(Call(Field(a, b), [c]), 0), Int)");
  EXPECT_EQ(parse_expr("f ()"), "Call(f, [])");
  EXPECT_EQ(parse_expr("f(1, g(2), [3])"), "Call(f, [1, Call(g, [2]), [3]])");
  EXPECT_EQ(parse_expr("f(1)(2)"), "Call(Call(f, [1]), [2])");
  EXPECT_EQ(parse_expr("m[i][j + 1]"), "Index(Index(m, i), BinOp(Add, j, 1))");
  EXPECT_EQ(parse_expr("x.@07"), "Field(x, 7)");
  EXPECT_EQ(parse_expr("x.@255"), "Field(x, 255)");
  EXPECT_EQ(parse_expr("x assert"), "Cast(x, Named(\"sert\"))");
  EXPECT_EQ(parse_expr("v as [Float]"), "Cast(v, Array(Float))");
  // Forms that do not apply end the expression where they begin.
  EXPECT_FALSE(parse_source(in_main("let v = x.@300;")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = f(1,);")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = f(1 , 2);")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = x. y;")).ok());
}

TEST(PrimaryTest, ListsMapsAndContracts) {
  EXPECT_EQ(parse_expr("[]"), "[]");
  EXPECT_EQ(parse_expr("[1, 2 , 3]"), "[1, 2, 3]");
  EXPECT_EQ(parse_expr("[ [1], [] ]"), "[[1], []]");
  EXPECT_FALSE(parse_source(in_main("let v = [1, 2,];")).ok());
  EXPECT_EQ(parse_expr("{}"), "{}");
  EXPECT_EQ(parse_expr("{\"a b\": 1, 'c': 2, d: 3}"), "{a b: 1, c: 2, d: 3}");
  EXPECT_EQ(parse_expr("{\"\": 1, a: 2, a: 3}"), "{: 1, a: 2, a: 3}");
  EXPECT_EQ(parse_expr("{'x\\': 1}"), "{x\\: 1}");
  EXPECT_EQ(parse_expr("{7: {@0: 1, @2: x}}"), "Contract(7, [0: 1, 2: x])");
  EXPECT_EQ(parse_expr("{ 65535 : { } }"), "Contract(65535, [])");
  EXPECT_EQ(parse_expr("{1: {@255: {2: {}}}}"), "Contract(1, [255: Contract(2, [])])");
  // Out-of-range numbers make the contract form give way (and then the map
  // form fails on the numeric key).
  EXPECT_FALSE(parse_source(in_main("let v = {65536: {}};")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = {1: {@256: 1}};")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = {let: 1};")).ok());
  EXPECT_EQ(parse_expr("(((x)))"), "x");
}

TEST(PrimaryTest, FailureTrailEndsWithAlternatives) {
  // let v = ; -- the primary rule reports '(' after whitespace, then Alt
  // where it was entered.
  std::string src = in_main("let v = ;");
  size_t eq = src.find('=') + 1;
  EXPECT_EQ(trail_of(failure_of(src)),
            (std::vector<std::string>{"'('@" + std::to_string(eq + 1), "Alt@" + std::to_string(eq),
                                      "expression@" + std::to_string(eq), "let statement@23",
                                      "function definition@12"}));
}

// Openers and names skip the alternatives that cannot start with them; the
// trails must be those of trying every alternative in order.
TEST(PrimaryTest, FailureTrailsAfterAnOpenerOrAName) {
  auto trail = [](const std::string& value) { return trail_of(failure_of(in_main("let v = " + value))); };
  const std::vector<std::string> tail{"Alt@31", "expression@31", "let statement@23", "function definition@12"};
  auto with_tail = [&](std::vector<std::string> head) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  EXPECT_EQ(trail("(1; "), with_tail({"')'@34"}));
  EXPECT_EQ(trail("[1, ; "), with_tail({"'('@32"}));
  EXPECT_EQ(trail("{a: }; "), with_tail({"'('@32"}));
  EXPECT_EQ(trail("{1: {@0: }}; "), with_tail({"'('@32"}));
  EXPECT_EQ(trail("]; "), with_tail({"'('@32"}));
  EXPECT_EQ(trail("if; "), with_tail({"'('@32"}));  // the name's "keyword" entry is dropped
}

TEST(LiteralTest, NumbersStringsAndKeywordPrefixes) {
  EXPECT_EQ(parse_expr("0x1F"), "31");
  EXPECT_EQ(parse_expr("0xff"), "255");
  EXPECT_EQ(parse_expr("0x7FFFFFFFFFFFFFFF"), "9223372036854775807");
  EXPECT_EQ(parse_expr("007"), "7");
  EXPECT_EQ(parse_expr("9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(parse_expr("- -9223372036854775808"), "Neg(-9223372036854775808)");
  EXPECT_EQ(parse_expr("1.5"), "1.5f");
  EXPECT_EQ(parse_expr("0.000001"), "1e-6f");
  EXPECT_EQ(parse_expr("null"), "null");
  EXPECT_EQ(parse_expr("true"), "true");
  EXPECT_EQ(parse_expr("false"), "false");
  EXPECT_EQ(parse_expr("\"\""), "\"\"");
  EXPECT_EQ(parse_expr("\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\""), "\"a\"b\\c/d\b\f\n\r\t\"");
  EXPECT_EQ(parse_expr("\"line\nfeed\""), "\"line\nfeed\"");
  // Not hexadecimal: upper-case X, or no digits after 0x.
  EXPECT_FALSE(parse_source(in_main("let v = 0X1F;")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = 0x;")).ok());
  // No exponent form and no digits-less side of the point.
  EXPECT_FALSE(parse_source(in_main("let v = 1e3;")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = 1.;")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = .5;")).ok());
  // Escapes other than the eight are refused.
  EXPECT_FALSE(parse_source(in_main("let v = \"\\u0041\";")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = \"\\'\";")).ok());
  EXPECT_FALSE(parse_source(in_main("let v = \"open;")).ok());
  // null, true and false are recognised at the start of longer words.
  EXPECT_FALSE(parse_source(in_main("let v = nullable;")).ok());
  EXPECT_EQ(labels("let v = trueValue;")[0], "';' after let statement");
}

TEST(LiteralTest, FloatsBeyondTheRangeBecomeInfinityOrZero) {
  auto value = [](const std::string& text) {
    auto body = body_of("let v = " + text + ";");
    return render(only_let(body).value.node);
  };
  EXPECT_EQ(value("1" + std::string(400, '0') + ".5"), "Literal(Float(inf))");
  EXPECT_EQ(value("0." + std::string(400, '0') + "1"), "Literal(Float(0.0))");
  EXPECT_EQ(value("0.1"), "Literal(Float(0.1))");
}

TEST(LiteralTest, IntegersOutsideSixtyFourBitsAreRefused) {
  for (const char* text : {"9223372036854775808", "99999999999999999999999", "0x8000000000000000",
                           "0xFFFFFFFFFFFFFFFFFF", "-9223372036854775808"}) {
    std::string src = in_main(std::string("let v = ") + text + ";");
    ParseFailure f = failure_of(src);
    EXPECT_EQ(f.kind, FailureKind::Hard) << text;
    ASSERT_FALSE(f.trail.empty());
    EXPECT_EQ(f.trail[0].label, kIntegerOutOfRangeLabel) << text;
    // Reported at the digits (after the prefix minus, if any).
    EXPECT_TRUE(src.compare(f.trail[0].position, 1, "9") == 0 || src.compare(f.trail[0].position, 2, "0x") == 0)
        << text;
  }
}

TEST(IdentifierTest, UnicodeNamesAndReservedWords) {
  EXPECT_EQ(parse_expr("\xCE\xB1\xCE\xB2\xCE\xB3"), "\xCE\xB1\xCE\xB2\xCE\xB3");          // Greek
  EXPECT_EQ(parse_expr("\xD0\xB8\xD0\xBC\xD1\x8F"), "\xD0\xB8\xD0\xBC\xD1\x8F");          // Cyrillic
  EXPECT_EQ(parse_expr("\xE5\x90\x8D\xE5\x89\x8D"), "\xE5\x90\x8D\xE5\x89\x8D");          // CJK
  EXPECT_EQ(parse_expr("_x1"), "_x1");
  EXPECT_EQ(parse_expr("x\xC2\xB2 + 1"), "BinOp(Add, x\xC2\xB2, 1)");  // superscript two is numeric
  EXPECT_EQ(parse_expr("x\xD9\xA3"), "x\xD9\xA3");                       // Arabic-Indic three
  EXPECT_EQ(only_let(body_of("let letter = 1;")).name, "letter");
  EXPECT_EQ(only_let(body_of("let lets = 1;")).name, "lets");
  // A name cannot start with a digit or a non-letter symbol.
  EXPECT_FALSE(parse_source(in_main("let 1x = 1;")).ok());
  EXPECT_FALSE(parse_source(in_main("let \xE2\x82\xAC = 1;")).ok());
  // A reserved word as a name: "keyword" right after the word.
  std::string src = in_main("let let = 1;");
  EXPECT_EQ(trail_of(failure_of(src))[0], "keyword@" + std::to_string(src.find("let =") + 3));
  for (const char* word : {"if", "fn", "or", "and", "not", "else", "loop", "null", "true", "enum",
                           "from", "block", "false", "break", "const", "return", "module", "struct",
                           "import", "export", "program", "continue"}) {
    EXPECT_EQ(labels(std::string("let ") + word + " = 1;")[0], "keyword") << word;
  }
  for (const char* word : {"as", "switch", "barrier", "asm", "capability", "mut", "Int", "float", "Array"})
    EXPECT_EQ(only_let(body_of(std::string("let ") + word + " = 1;")).name, word);
  // Names that share all but one byte, or a prefix, with a reserved word.
  for (const char* word : {"iff", "fo", "ands", "nul", "elsf", "continuo", "continues", "programs", "porgram",
                           "returm", "Const", "breaK", "i", "x_"})
    EXPECT_EQ(only_let(body_of(std::string("let ") + word + " = 1;")).name, word);
}

TEST(WhitespaceTest, OnlyFourCharactersAndLineComments) {
  EXPECT_EQ(parse_expr("\t1\r\n+\n// note\n2"), "BinOp(Add, 1, 2)");
  // Form feed and no-break space are not whitespace.
  EXPECT_EQ(labels("let\fx = 1;")[0], "variable name");
  EXPECT_EQ(labels("let v = 1\xC2\xA0+ 2;")[0], "';' after let statement");
  EXPECT_FALSE(parse_source(in_main("let v = 1 /* no */ ;")).ok());
}

TEST(TypeTest, AnnotationForms) {
  auto type_of = [](const std::string& t) {
    auto body = body_of("let x: " + t + " = 1;");
    const Stmt::Let& let = only_let(body);
    return let.type_annotation ? render(*let.type_annotation) : std::string("none");
  };
  EXPECT_EQ(type_of("*mut Int"), "Pointer(Int)");
  EXPECT_EQ(type_of("*Int"), "Pointer(Int)");
  EXPECT_EQ(type_of("* const float"), "Pointer(Float)");
  EXPECT_EQ(type_of("**Vec3"), "Pointer(Pointer(Named(\"Vec3\")))");
  EXPECT_EQ(type_of("[Float]"), "Array(Float)");
  EXPECT_EQ(type_of("Array<Float>"), "Array(Float)");
  EXPECT_EQ(type_of("Array < [ string ] >"), "Array(Array(String))");
  EXPECT_EQ(type_of("bool"), "Bool");
  EXPECT_EQ(type_of("Vec3"), "Named(\"Vec3\")");
  EXPECT_EQ(type_of("mut"), "Named(\"mut\")");
  // Type names are prefixes: `Integer` is `Int` and then `eger`, where `=`
  // is required.
  EXPECT_EQ(labels("let x: Integer = 1;")[0], "'=' after variable name");
  // Once `Array` is read, the named-type alternative is not tried.
  EXPECT_EQ(labels("let x: ArrayList = 1;")[0], "'=' after variable name");
  EXPECT_EQ(labels("let x: Array<Int = 1;")[0], "'=' after variable name");
  EXPECT_EQ(labels("let x: [Int = 1;")[0], "'=' after variable name");
}

TEST(SpanTest, OperandSpans) {
  // let v = a + b;  -- the value is entered right after '='.
  std::string src = in_main("let v = a + b;");
  size_t eq = src.find('=') + 1;
  auto body = body_of("let v = a + b;");
  const Stmt::Let& let = only_let(body);
  const auto* add = let.value.node.as<Expr::BinOp>();
  ASSERT_NE(add, nullptr);
  // lhs from where the level began (before the blank) to the end of `a`.
  EXPECT_EQ(add->lhs->span, (Span{eq, eq + 2, 1, static_cast<std::uint32_t>(eq + 1)}));
  // rhs from just after the operator (before the blank) to the end of `b`.
  EXPECT_EQ(add->rhs->span, (Span{eq + 4, eq + 6, 1, static_cast<std::uint32_t>(eq + 5)}));
  // The value itself starts at its first character.
  EXPECT_EQ(let.value.span, (Span{eq + 1, eq + 6, 1, static_cast<std::uint32_t>(eq + 2)}));
}

TEST(SpanTest, LeftNestedChainsAndUnaryOperands) {
  std::string body = "let v = a - b - c; let w = - x;";
  auto stmts = body_of(body);
  std::string src = in_main(body);
  size_t eq = src.find('=') + 1;
  const auto* outer = stmts[0].node.as<Stmt::Let>()->value.node.as<Expr::BinOp>();
  ASSERT_NE(outer, nullptr);
  // The inner `a - b` runs from the level start to the end of `b`.
  EXPECT_EQ(outer->lhs->span.start, eq);
  EXPECT_EQ(outer->lhs->span.end, src.find("b -") + 1);
  const auto* inner = outer->lhs->node.as<Expr::BinOp>();
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->lhs->span.start, eq);
  EXPECT_EQ(inner->rhs->span.start, src.find("a -") + 3);
  EXPECT_LE(outer->lhs->span.end, outer->rhs->span.start);
  // The operand of a prefix operator starts after the operator and blanks.
  const auto* neg = stmts[1].node.as<Stmt::Let>()->value.node.as<Expr::UnaryOp>();
  ASSERT_NE(neg, nullptr);
  EXPECT_EQ(neg->operand->span.start, src.find("x;"));
  EXPECT_EQ(neg->operand->span.end, src.find("x;") + 1);
}

TEST(SpanTest, PostfixChildrenCarryNoPosition) {
  auto stmts = body_of("let v = a[i].f(1) as Int;");
  const auto* cast = stmts[0].node.as<Stmt::Let>()->value.node.as<Expr::Cast>();
  ASSERT_NE(cast, nullptr);
  EXPECT_EQ(cast->expr->span, Span{});
  const auto* call = cast->expr->node.as<Expr::Call>();
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->func->span, Span{});
  // Arguments keep their position, after the whitespace before them.
  std::string src = in_main("let v = a[i].f(1) as Int;");
  EXPECT_EQ(call->args[0].span.start, src.find("1)"));
  const auto* field = call->func->node.as<Expr::Field>();
  ASSERT_NE(field, nullptr);
  EXPECT_EQ(field->object->span, Span{});
  const auto* index = field->object->node.as<Expr::Index>();
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->object->span, Span{});
  EXPECT_EQ(index->index->span, Span{});
}

TEST(SpanTest, ElementsEntriesAndFieldsStartAfterWhitespace) {
  std::string body = "let v = [ 1,  2]; let w = { k:  3 }; let c = {1: { @0:  4}};";
  std::string src = in_main(body);
  auto stmts = body_of(body);
  const auto* arr = stmts[0].node.as<Stmt::Let>()->value.node.as<Expr::Array>();
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(arr->elements[0].span.start, src.find("1,"));
  EXPECT_EQ(arr->elements[1].span.start, src.find("2]"));
  const auto* obj = stmts[1].node.as<Stmt::Let>()->value.node.as<Expr::Object>();
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(obj->entries[0].value.span.start, src.find("3 }"));
  EXPECT_EQ(obj->entries[0].value.span.end, src.find("3 }") + 1);
  const auto* con = stmts[2].node.as<Stmt::Let>()->value.node.as<Expr::Contract>();
  ASSERT_NE(con, nullptr);
  EXPECT_EQ(con->fields[0].value.span.start, src.find("4}"));
}

TEST(SpanTest, LinesAndCharacterColumns) {
  // Two-byte characters advance `start` by 2 and `col` by 1; CR is an
  // ordinary column, only LF starts a line; a tab is one column.
  std::string src =
      "program p { fn main() {\r\n"
      "\tlet s = \"\xC3\xA9\xC3\xA9\"; let t = 1;\n"
      "  // comment line\n"
      "   x = 2;\n"
      "} }";
  ParseResult r = parse_source(src);
  ASSERT_TRUE(r.ok());
  const auto& body = r.value().definitions[0].body;
  ASSERT_EQ(body.size(), 3u);
  size_t let_s = src.find("let s");
  EXPECT_EQ(body[0].span, (Span{let_s, src.find("; let t") + 1, 2, 2}));
  size_t let_t = src.find("let t");
  // Columns: tab(1) + `let s = "` (9) + 2 chars + `"; ` (3) -> col 16.
  EXPECT_EQ(body[1].node.as<Stmt::Let>()->keyword_span, (Span{let_t, let_t + 3, 2, 16}));
  size_t x = src.find("x = 2");
  EXPECT_EQ(body[2].span, (Span{x, x + 6, 4, 4}));
  EXPECT_EQ(body[2].node.as<Stmt::Assign>()->lhs.span, (Span{x, x + 1, 4, 4}));
  const auto* fn = &r.value().definitions[0];
  EXPECT_EQ(fn->name_span, (Span{15, 19, 1, 16}));
}

}  // namespace
}  // namespace quarn::compiler
