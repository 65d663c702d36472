"""The type stubs: they describe the real functions (names, parameters,
defaults), and mypy finds them where pip installed them (the test
environment itself), accepts correct calls and flags misuse."""
import ast
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quarn_py
from conftest import FUNCTIONS, SANITIZED

import wheel_support as ws

STUB = ws.ROOT / "quarn_py-stubs" / "__init__.pyi"


def stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stubs_declare_exactly_the_module_functions():
    assert sorted(stub_functions()) == sorted(FUNCTIONS)
    assert sorted(n for n in vars(quarn_py) if not n.startswith("__")) == sorted(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_signature_matches_the_module(name):
    """Parameter names, kinds and defaults agree with the text signature the
    module itself reports, so keyword calls that type-check also run."""
    node = stub_functions()[name]
    real = inspect.signature(getattr(quarn_py, name))
    args = node.args
    assert not args.posonlyargs and not args.kwonlyargs and not args.vararg and not args.kwarg
    assert [a.arg for a in args.args] == list(real.parameters)
    defaults = [None] * (len(args.args) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults]
    for (pname, param), default in zip(real.parameters.items(), defaults):
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, pname
        if param.default is inspect.Parameter.empty:
            assert default is None, pname
        else:
            assert default == param.default, pname


RETURNS = {
    "tokenize": "list[str]",
    "extract_entities": "list[dict[str, str | int]]",
    "create_audit": "str",
    "verify_audit": "bool",
    "compile_source": "dict[str, bool | list[int] | str]",
    "execute_bytecode": "dict[str, bool | str]",
    "version": "str",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_return_types(name):
    assert ast.unparse(stub_functions()[name].returns) == RETURNS[name]


# --- mypy against the installed package --------------------------------------

GOOD = """
    import quarn_py

    tokens: list[str] = quarn_py.tokenize("Patient presents with chest pain")
    entities: list[dict[str, str | int]] = quarn_py.extract_entities(text="Chest pain")
    starts = [e["start"] for e in entities]
    audit: str = quarn_py.create_audit("note-1", "[]")
    audit = quarn_py.create_audit("note-1", "[]", timestamp=None)
    audit = quarn_py.create_audit(note_id="n", entities_json="[]", timestamp=1_700_000_000)
    ok: bool = quarn_py.verify_audit(audit, "[]")
    result = quarn_py.compile_source("program demo { fn main() { let x = 1 + 2; } }")
    code = result["bytecode"]
    if isinstance(code, list):
        run: dict[str, bool | str] = quarn_py.execute_bytecode(code)
        run = quarn_py.execute_bytecode(bytes(code))
        run = quarn_py.execute_bytecode(bytearray(code))
        run = quarn_py.execute_bytecode(bytecode=tuple(code))
    text: str = quarn_py.version()
    reveal_type(quarn_py.tokenize)
"""

MISUSES = {
    "tokenize(123)": 'Argument 1 to "tokenize" has incompatible type "int"; expected "str"',
    "create_audit('n', '[]', timestamp=1.5)": 'Argument "timestamp" to "create_audit" has '
                                                'incompatible type "float"',
    "execute_bytecode('bytes')": 'Argument 1 to "execute_bytecode" has incompatible type "str"',
    "verify_audit('{}')": 'Missing positional argument "entities_json" in call to "verify_audit"',
    "compile_source(src='x')": 'Unexpected keyword argument "src" for "compile_source"',
    "version(1)": 'Too many arguments for "version"',
    "extract_entities('x')[0]['start'].upper()": 'Item "int" of "str | int" has no attribute "upper"',
}


def run_mypy(source: str, workdir: Path) -> subprocess.CompletedProcess:
    """mypy from the test environment, checking `source` against the package
    installed there, from a folder outside the source tree."""
    (workdir / "example.py").write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--no-error-summary", "example.py"],
        cwd=workdir, env=ws.clean_env(), capture_output=True, text=True, timeout=300)


skip_sanitized = pytest.mark.skipif(SANITIZED, reason="mypy is not run against the ASan module")


@skip_sanitized
def test_mypy_finds_the_installed_stubs_and_accepts_correct_use(tmp_path):
    result = run_mypy(GOOD, tmp_path)
    lines = result.stdout.splitlines()
    # Only the deliberate reveal_type note: no error, and the revealed type
    # comes from the stubs (the bare extension would be Any or an error).
    assert len(lines) == 1, result.stdout + result.stderr
    assert 'Revealed type is "def (text: str) -> list[str]"' in lines[0]


@skip_sanitized
def test_mypy_flags_each_misuse(tmp_path):
    calls = sorted(MISUSES)
    source = "import quarn_py\n" + "".join(f"quarn_py.{call}\n" for call in calls)
    result = run_mypy(source, tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    for line, call in enumerate(calls, start=2):
        errors = [e for e in result.stdout.splitlines() if e.startswith(f"example.py:{line}: error:")]
        assert errors, f"not flagged: {call}\n{result.stdout}"
        assert any(MISUSES[call] in e for e in errors), f"{call}: {errors}"
