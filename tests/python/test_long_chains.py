"""Long operator and postfix chains: they compile on a thread with a 1 MiB
stack in time linear in their length, and give exactly the bytes (and the
error texts, which quote the rendered tree) that the recursive walkers of
the compiler gave before chains were walked iteratively. The recorded
digests below were taken from that recursive build, on chains short enough
for it.

Run as a script to print the digests of the current build:
    PYTHONPATH=build python tests/python/test_long_chains.py
"""

import hashlib
import time

import pytest

import quarn_py
from conftest import SANITIZED, on_small_stack

PRELUDE = "let a = 1; let b = [[1]]; let o = {f: 1};"


def program(body):
    return "program p { fn main() { " + PRELUDE + " " + body + " } }"


def chain(first, sep, term, n):
    return first + "".join(sep + term for _ in range(n - 1))


# Shapes whose trees are one long spine: the left operand of a binary
# operator, the object of an index or field, the callee of a call, the value
# of a cast. Each takes the number of terms.
SHAPES = {
    "add": lambda n: program("let x = " + chain("a", " + ", "a", n) + ";"),
    "sub newlines": lambda n: program("let x = " + chain("a", "\n - // c\n", "a", n) + ";"),
    "mul div mod": lambda n: program(
        "let x = a" + "".join((" * a", " / a", " % a")[i % 3] for i in range(n - 1)) + ";"),
    "mixed levels": lambda n: program(
        "let x = a" + "".join(" + a * a - -a" for _ in range(n // 3)) + ";"),
    "and": lambda n: program("let x = " + chain("a", " && ", "a", n) + ";"),
    "or and": lambda n: program(
        "let x = a" + "".join((" || a && a", " or a and a")[i % 2] for i in range(n // 2)) + ";"),
    "comparisons": lambda n: program(
        "let x = a" + "".join((" < a", " <= a", " == a", " != a", " > a", " >= a")[i % 6]
                              for i in range(n - 1)) + ";"),
    "bits": lambda n: program(
        "let x = a" + "".join((" | a", " & a", " ^ a", " << a", " >> a")[i % 5]
                              for i in range(n - 1)) + ";"),
    "index": lambda n: program("let x = b" + "[0]" * n + ";"),
    "field": lambda n: program("let x = o" + ".f" * n + ";"),
    "index field": lambda n: program("let x = o" + ".f[a]" * (n // 2) + ";"),
    "compound index target": lambda n: program("b" + "[0]" * n + " += a + a;"),
    "compound field target": lambda n: program("o" + ".f" * n + " -= 1;"),
    "return chain": lambda n: program("return " + chain("a", "+", "a", n) + ";"),
    "if condition": lambda n: program("if " + chain("a", " && ", "a", n) + " { a = 2; }"),
    # Failures whose text shows the tree: a cast is refused with its whole
    # rendering, a call of a call with the callee message.
    "cast of chain": lambda n: program("let x = (" + chain("a", " - ", "a", n) + ") as Int;"),
    "cast of postfix": lambda n: program("let x = o" + ".f[a](a)" * (n // 3) + " as Int;"),
    "cast chain": lambda n: program("let x = a" + " as Int" * n + ";"),
    "call chain": lambda n: program("let x = f" + "(a)" * n + ";"),
}

# Terms per shape for the recorded digests: below the old depth limit.
RECORDED_TERMS = 150

# sha256 of the bytecode (as bytes) or of the error text, from the recursive
# build, for each shape at RECORDED_TERMS terms.
RECORDED = {
    'add': 'ok e58bfa26bfac5c7b4ae0d66bb82247ac73be6e32f58c1e5734840ab85319af56',
    'and': 'ok a6b8082d56ddd7930f0ac12605c03a3135787a93313399946f3d62be772489d1',
    'bits': 'ok 382daf8cbedf3ee319845d6d90d8901eb863a66ca84e00e05ac7d767c27c3b3c',
    'call chain': 'error 76535fc1fe8935c7c762abb6b2fd102c79f5425b852e6af0096455038aea5639',
    'cast chain': 'error 4a6bf1ab20d6be76535653098c3f7f955ddd7ff20fe72f388729a4491d743401',
    'cast of chain': 'error a7360a3d03b5a117988c62955343685de3e1346de5bcd5a115881898e2e55496',
    'cast of postfix': 'error c525e67eb11449a761aabe9e40ea04676280c109df3bae71869240adc794225a',
    'comparisons': 'ok 95d86e14cb758e2e6f5be3f89e1354d5f0cb0ac01f85e9f0ef6a7a148c83de42',
    'compound field target': 'ok 6dddb27ec7a296c5d4e3b39f48ff4a195545f42307909668a14bf376ff2991a6',
    'compound index target': 'ok 257dad73683d27d5c8d7d01448e721a5d747395a5cd87c98ce9ca1a780fa5b2a',
    'field': 'ok 5b623d6540a151a90a50a9eda7d7ca82ca05b6d96886bd1ad33a3d9a6a31f176',
    'if condition': 'ok 81873bd0c69c8665326d854b61af1339804613daf1b1f0185c8d1b46bd58192d',
    'index': 'ok 4ec05df744ceb01cc47e68f3ba17a95c0acc67867bcc7a4ea5378c98ad49ff9e',
    'index field': 'ok a04d9dfec11f6003744a00aa81dd1ef7ca4fa7b8ac14f1ccb1d8d2d309d532b8',
    'mixed levels': 'ok 4f4cc247758f72a9fbaceed74b35059a3d3a772f446cfba683c524d730785adc',
    'mul div mod': 'ok ccdb7ea3a7f0103bc780aa08ff51fa56e05532549f4b270e5ecf741e725cc503',
    'or and': 'ok 8d0aa95b403828c05c4f4e328346b5a9d089815ef000fac989dfeb8aaf0a6526',
    'return chain': 'ok 40a51766e90ea3156b97a1da21aeaed561aad7bac27b89b7fc832151d17981f2',
    'sub newlines': 'ok 5fa0238e8012899cff81e859f726a6fdc5aa970c95661d73bca4467156e51113',
}


def outcome_digest(result):
    if result["success"]:
        return "ok " + hashlib.sha256(bytes(result["bytecode"])).hexdigest()
    return "error " + hashlib.sha256(result["error"].encode()).hexdigest()


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_same_outcome_as_the_recursive_walkers(name):
    result = quarn_py.compile_source(SHAPES[name](RECORDED_TERMS))
    assert outcome_digest(result) == RECORDED[name]


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_hundred_thousand_terms_on_a_small_stack(name):
    n = 20_000 if SANITIZED else 100_000
    source = SHAPES[name](n)
    result = on_small_stack(lambda: quarn_py.compile_source(source))
    if name.startswith(("cast", "call")):
        assert result["success"] is False
        assert result["error"].startswith("Lowering error: ")
    else:
        assert result["success"] is True, result.get("error", "")[:300]


def test_chain_time_is_linear_in_its_length():
    def seconds(n):
        source = SHAPES["mixed levels"](n)
        best = None
        for _ in range(5):
            t0 = time.process_time()
            assert quarn_py.compile_source(source)["success"]
            t = time.process_time() - t0
            best = t if best is None else min(best, t)
        return best

    small, large = seconds(50_000), seconds(200_000)
    # Four times the terms; a quadratic walk would take sixteen times as long.
    # A linear one takes somewhat more than four times: the larger chain's
    # tree no longer fits the processor's caches, so walking it waits on
    # memory more often (measured 4.3-5.4x).
    assert large < 10 * max(small, 1e-3)


NESTING_LABEL = "brackets, parentheses, braces and blocks nested deeper than 200 levels"


@pytest.mark.parametrize("make", [
    lambda n: program("let x = " + "(" * n + "a" + ")" * n + ";"),
    lambda n: program("if a { " * n + "} " * n),
    lambda n: program("let x = " + "b[" * n + "0" + "]" * n + ";"),
], ids=["parentheses", "if blocks", "indexes"])
def test_the_nesting_limit_is_what_its_message_says(make):
    def compile_both():
        return quarn_py.compile_source(make(200)), quarn_py.compile_source(make(201))

    at_limit, beyond = on_small_stack(compile_both)
    assert at_limit["success"] is True
    assert beyond["success"] is False
    assert beyond["error"].startswith("Parse error: E_PARSE_ERROR: 0: at line 1, in "
                                      + NESTING_LABEL + ":\n")


def test_long_chain_error_texts_point_at_the_failure():
    # The right operand after the last operator is missing: the parse fails
    # at the ';' with the statement's labels, however long the chain.
    source = program("let x = " + chain("a", " + ", "a", 100_000) + " + ;")
    result = on_small_stack(lambda: quarn_py.compile_source(source))
    assert result["error"].startswith("Parse error: E_PARSE_ERROR: 0: at line 1")
    assert "in let statement" in result["error"]


if __name__ == "__main__":
    for name in sorted(SHAPES):
        digest = outcome_digest(quarn_py.compile_source(SHAPES[name](RECORDED_TERMS)))
        print(f"    {name!r}: {digest!r},")
