"""compile_source as Python sees it: the result dictionary, the three error
prefixes, determinism, the hand-over to execute_bytecode, and survival of any
input, however deeply nested, on a thread with a 1 MiB stack."""

import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

import quarn_py
from conftest import SANITIZED, on_small_stack
from test_quarnc import ENV, QUARNC

PREFIXES = ("Parse error: ", "Lowering error: ", "Serialization error: ")

PROGRAMS = [
    "program p { }",
    "program demo { fn main() { let x = 1 + 2; } }",
    """
    import { a, b } from "lib/math";
    program full {
      module geo { capability: net, fs
        const N: int = 3;
        const SCALE: float = 2.5;
        struct P { x: int y: [float], name: string }
        enum Color { Red, Green, Blue }
        fn area(w: int, h: int) -> int { return w * h * N; }
        export fn pick() { return Color.Green; }
      }
      #[no_mangle]
      fn helper(a: [int], s: string) -> bool { return a[0] > N && s != ""; }
      @scale(size=64)
      fn main() {
        let xs: [int] = [1, 2, 3];
        let o = {a: 1, "b c": 2.5, d: null};
        let c = {7: {@2: true, @0: "z"}};
        let i = 0;
        loop (i < 10, DEFAULT_MAX_ITER()) {
          i += 1;
          if i % 2 == 0 { continue; } else if i > 7 { break; }
          xs[0] = xs[0] + i;
          o.a = -i;
        }
        switch i { 1 | 2 => { print(i); } 3 => { print_str("three"); } _ => { barrier("b1"); } }
        barrier;
        asm("nop" : "r"(r) : "r"(i) : "memory");
        let p = pop(xs);
        let s = format("{} {}", i, area(2, 3));
        let t = tensor_add(xs, xs);
        return !(i >= 3 || false) ^ 1 << 2;
      }
    }
    """,
    """
    module lib {
      const LIMIT: int = 10;
      fn f(x: int) { return x + LIMIT; }
    }
    """,
]


def compile_ok(source):
    result = quarn_py.compile_source(source)
    assert result["success"] is True, result.get("error")
    return result["bytecode"]


def compile_error(source):
    result = quarn_py.compile_source(source)
    assert list(result) == ["success", "error"]
    assert result["success"] is False
    return result["error"]


class TestResultDictionary:
    @pytest.mark.parametrize("source", PROGRAMS)
    def test_success_holds_bytes_as_ints_and_round_trips(self, source):
        result = quarn_py.compile_source(source)
        assert list(result) == ["success", "bytecode"]
        code = result["bytecode"]
        assert type(code) is list and code[0] == 1
        assert all(type(b) is int and 0 <= b <= 255 for b in code)
        assert quarn_py.execute_bytecode(code) == {
            "success": True, "output": "Execution successful"}

    def test_large_result_is_an_ordinary_list(self):
        # A large program's list is handed its items in one block: it must
        # grow, shrink, copy and free like any list, and equal the bytes.
        source = "program p {\n" + "".join(
            f"  fn f{i}(a: int) -> int {{ let x = a * {i}; return x + 1; }}\n"
            for i in range(3000)) + "}\n"
        code = compile_ok(source)
        assert len(code) > 64 * 1024
        assert bytes(code) == bytes(compile_ok(source))
        assert sys.getrefcount(code) == 2
        copy = code[:]
        code.extend(range(256))
        code.append(7)
        del code[: len(copy) // 2]
        code.sort()
        assert len(code) == len(copy) - len(copy) // 2 + 257
        assert quarn_py.execute_bytecode(copy)["success"] is True
        del code, copy
        assert compile_ok("program p { }")[:9] == [1] + [0] * 8

    def test_list_beyond_the_caches_holds_the_command_line_bytes(self):
        # From a million items on, the list is written another way than a
        # short one; quarnc writes the same program's bytes by its own route.
        source = "program p {\n" + "".join(
            f"  fn f{i}(a: int, b: int) -> int {{ let x = a * {i} + b; "
            f"if x > {i} {{ x = x - 1; }} else {{ x = x + 2; }} return x + 1; }}\n"
            for i in range(6000)) + "}\n"
        code = compile_ok(source)
        assert len(code) > 1 << 20
        built = subprocess.run([str(QUARNC), "build", "-", "-o", "-"], input=source.encode(),
                               env=ENV, capture_output=True, check=True).stdout
        assert bytes(code) == built
        # Each item is the interpreter's own int of its value.
        assert all(b is i for b, i in zip(code[:4096], built[:4096]))

    def test_empty_program_layout(self):
        code = compile_ok("program p { }")
        # version 1, zero instructions, 32 hash bytes, metadata present.
        assert code[:9] == [1] + [0] * 8
        assert code[41] == 1

    def test_source_keyword_and_argument_errors(self):
        assert quarn_py.compile_source(source="program p { }")["success"] is True
        with pytest.raises(TypeError, match=r"^argument 'source': 'int' object cannot be "
                                            r"converted to 'PyString'$"):
            quarn_py.compile_source(5)
        with pytest.raises(UnicodeEncodeError):
            quarn_py.compile_source("program p { } \ud800")


class TestErrorTexts:
    def test_empty_source(self):
        assert compile_error("") == (
            "Parse error: E_PARSE_ERROR: "
            "0: in Tag, got empty input\n\n"
            "1: in 'program' keyword, got empty input\n\n")

    def test_parse_error_layout(self):
        source = "program p {\n  fn main() {\n    let x = 1\n  }\n}\n"
        assert compile_error(source) == (
            "Parse error: E_PARSE_ERROR: "
            "0: at line 4:\n  }\n  ^\nexpected ';', found }\n\n"
            "1: at line 3, in ';' after let statement:\n    let x = 1\n             ^\n\n"
            "2: at line 2, in let statement:\n  fn main() {\n             ^\n\n"
            "3: at line 2, in function definition:\n  fn main() {\n  ^\n\n")

    @pytest.mark.parametrize("body, message", [
        ("x = 1;", "E_VALIDATION_FAIL: Undefined: x"),
        ("let y = x;", "E_VALIDATION_FAIL: Undefined: x"),
        ("pow(1);", "E_VALIDATION_FAIL: pow takes 2 arguments"),
        ("f(1)(2);", "E_VALIDATION_FAIL: Call target must be identifier"),
        ("let a = 1" + "0" * 400 + ".0;", "E_FLOAT_SPECIAL: NaN or Infinity not allowed"),
        ("let a = 1; a + 1 = 2;", None),  # not an assignment form: parse error
    ])
    def test_lowering_messages(self, body, message):
        error = compile_error("program p { fn main() { " + body + " } }")
        if message is None:
            assert error.startswith("Parse error: ")
        else:
            assert error == "Lowering error: " + message

    def test_scale_outside_main(self):
        error = compile_error("program p { @scale(size=2) fn worker() { } }")
        assert error == ("Lowering error: E_VALIDATION_FAIL: @scale on 'worker' not supported. "
                         "Only main() can use @scale in MVP (flat execution model).")
        error = compile_error("program p { @scale(size=4) fn main() { } "
                              "@scale(size=8) fn w() { } }")
        assert error == ("Lowering error: E_VALIDATION_FAIL: Multiple @scale functions not "
                         "supported in MVP: main, w. Only main() can use @scale.")
        compile_ok("program p { @scale(size=4) fn main() { } @scale(size=1) fn w() { } }")


class TestDeterminism:
    @pytest.mark.parametrize("source", PROGRAMS)
    def test_same_source_same_bytes(self, source):
        assert compile_ok(source) == compile_ok(source)

    def test_text_after_program_is_ignored(self):
        assert compile_ok("program p { } anything at all") == compile_ok("program p { }")


# Constructs whose nesting depth the text controls: each maps a depth to a
# program that is valid at every depth, so the parser's own bound is the only
# thing that can refuse it.
NESTED = {
    "parens": lambda n: "program p { fn main() { let x = " + "(" * n + "1" + ")" * n + "; } }",
    "negation": lambda n: "program p { fn main() { let x = " + "-(" * n + "1" + ")" * n + "; } }",
    "arrays": lambda n: "program p { fn main() { let x = " + "[" * n + "]" * n + "; } }",
    "objects": lambda n: "program p { fn main() { let x = " + "{a: " * n + "1" + "}" * n + "; } }",
    "calls": lambda n: "program p { fn main() { let x = " + "f(" * n + "1" + ")" * n + "; } }",
    "ifs": lambda n: "program p { fn main() { " + "if 1 { " * n + "} " * n + "} }",
    "loops": lambda n: "program p { fn main() { " + "loop (1, 1) { " * n + "} " * n + "} }",
    "switches": lambda n: "program p { fn main() { " + "switch 1 { 1 => { " * n
                          + "} } " * n + "} }",
    "else_if": lambda n: "program p { fn main() { if 1 { }" + " else if 1 { }" * n + " } }",
    # Left-deep chains built by loops in the parser rather than recursion.
    "sums": lambda n: "program p { fn main() { let x = 1" + " + 1" * n + "; } }",
    "ands": lambda n: "program p { fn main() { let x = 1" + " && 1" * n + "; } }",
    "indexes": lambda n: "program p { fn main() { let a = 1; let x = a" + "[0]" * n + "; } }",
    "fields": lambda n: "program p { fn main() { let a = 1; let x = a" + ".b" * n + "; } }",
    "casts": lambda n: "program p { fn main() { let x = 1" + " as int" * n + "; } }",
    "call_chain": lambda n: "program p { fn main() { let x = f" + "(1)" * n + "; } }",
    "assign_index": lambda n: "program p { fn main() { let a = 1; a" + "[0]" * n + " = 1; } }",
    # The deepest recursion the walkers meet: below each of the levels, the
    # right operands of all eight binary levels and a prefix operand.
    "staircase": lambda n: "program p { fn main() { let a = 1; let x = "
                           + "a || a && a == a < a << a ^ a + a * -a[(" * n + "1" + ")]" * n
                           + "; } }",
    "inferred_staircase": lambda n: "program p { #[inline] fn main() { let a = 1; let x = "
                                    + "a || a && a == a < a << a ^ a + a * -f(" * n + "1"
                                    + ")" * n + "; } }",
    "rendered_staircase": lambda n: "program p { fn main() { let a = 1; let x = "
                                    + "a || a && a == a < a << a ^ a + a * -f(" * n + "1"
                                    + ")" * n + " as T; } }",
    # A pragma makes the substrate inference walk and render the body too.
    "inferred_calls": lambda n: "program p { #[inline] fn main() { let x = " + "sqrt(" * n
                                + "1" + ")" * n + "; } }",
    "inferred_ifs": lambda n: "program p { @scale(size=4) fn main() { " + "if f(1) { " * n
                              + "barrier; " + "} " * n + "} }",
}

DEPTHS = [1, 10, 100, 1000, 10000] if SANITIZED else [1, 10, 100, 1000, 10000, 100000]


def parses(source):
    result = quarn_py.compile_source(source)
    return result["success"] or not result["error"].startswith("Parse error: ")


def deepest_accepted(make, limit=200000):
    """The largest depth up to limit that the parser accepts (bisection), so
    that lowering runs on the deepest tree there can be."""
    lo, hi = 1, limit
    if parses(make(hi)):
        return hi
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if parses(make(mid)):
            lo = mid
        else:
            hi = mid
    return lo


class TestNoInputCrashes:
    @pytest.mark.parametrize("kind", sorted(NESTED))
    def test_deep_nesting_on_a_small_stack(self, kind):
        make = NESTED[kind]

        def compile_all():
            results = [quarn_py.compile_source(make(n)) for n in DEPTHS]
            deepest = deepest_accepted(make)
            results.append(quarn_py.compile_source(make(deepest)))
            return results

        for result in on_small_stack(compile_all):
            assert result["success"] in (True, False)
            if not result["success"]:
                assert result["error"].startswith(PREFIXES)

    @given(st.text(max_size=300))
    def test_any_text_gives_a_dict(self, text):
        result = quarn_py.compile_source(text)
        if result["success"]:
            assert result["bytecode"][0] == 1
        else:
            assert result["error"].startswith(PREFIXES)

    @given(st.sampled_from(PROGRAMS), st.data())
    def test_mutated_programs_give_a_dict(self, source, data):
        n = data.draw(st.integers(0, len(source)))
        m = data.draw(st.integers(n, min(len(source), n + 20)))
        insert = data.draw(st.text(alphabet="{}()[];,=+-*/<>!&|^.:@#\"'_ \nxif0", max_size=8))
        result = quarn_py.compile_source(source[:n] + insert + source[m:])
        if result["success"]:
            assert quarn_py.execute_bytecode(result["bytecode"])["success"] is True
        else:
            assert result["error"].startswith(PREFIXES)
