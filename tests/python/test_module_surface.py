"""What Python sees of the module itself: names, docstrings, signatures,
argument binding texts, version, the internal-fault class."""
import inspect

import pytest

import quarn_py
from conftest import FUNCTIONS


def test_module_has_exactly_the_seven_functions():
    public = [n for n in vars(quarn_py) if not n.startswith("__")]
    assert public == FUNCTIONS


def test_module_docstring_is_the_usage_example():
    # The whole text, line for line; the offsets 13 and 21 are part of it as
    # written, whatever extract_entities returns.
    assert quarn_py.__doc__ == "\n".join([
        "Quarn Python module",
        "",
        "# Example",
        "",
        "```python",
        "import quarn_py",
        "",
        "# Tokenize text",
        'tokens = quarn_py.tokenize("Patient presents with chest pain")',
        '# Returns: ["patient", "presents", "with", "chest", "pain"]',
        "",
        "# Extract entities",
        'entities = quarn_py.extract_entities("Patient has diabetes and takes insulin")',
        '# Returns: [{"text": "diabetes", "type": "condition", "start": 13, "end": 21}, ...]',
        "",
        "# Create audit trail",
        'audit = quarn_py.create_audit("note-123", entities_json, timestamp=1234567890)',
        "",
        "# Verify integrity",
        "verified = quarn_py.verify_audit(audit, entities_json)",
        "",
        "# Get version",
        "print(quarn_py.version())",
        "```",
    ])


@pytest.mark.parametrize("name, params", [
    ("tokenize", "(text)"),
    ("extract_entities", "(text)"),
    ("create_audit", "(note_id, entities_json, timestamp=None)"),
    ("verify_audit", "(audit_json, entities_json)"),
    ("compile_source", "(source)"),
    ("execute_bytecode", "(bytecode)"),
    ("version", "()"),
])
def test_text_signatures(name, params):
    fn = getattr(quarn_py, name)
    assert str(inspect.signature(fn)) == params
    assert fn.__text_signature__ == params


def test_docstrings_keep_their_literal_text():
    assert quarn_py.version.__doc__ == "Get Quarn version information"
    assert quarn_py.tokenize.__doc__ == (
        "Deterministically tokenize text into lowercase words\n\n# Arguments\n"
        "* `text` - The text to tokenize\n\n# Returns\nA list of lowercased tokens")
    assert quarn_py.compile_source.__doc__.endswith(
        "- `bytecode`: bytes (if successful)\n- `error`: str (if failed)")


def test_version():
    assert quarn_py.version() == "quarn-py 0.1.1 (Quarn core 0.1.1)"
    with pytest.raises(TypeError):
        quarn_py.version(1)
    with pytest.raises(TypeError):
        quarn_py.version(x=1)


@pytest.mark.parametrize("call, text", [
    (lambda: quarn_py.tokenize("a", "b"),
     "tokenize() takes 1 positional arguments but 2 were given"),
    (lambda: quarn_py.create_audit("a", "b", 1, 2),
     "create_audit() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: quarn_py.tokenize(txt="a"),
     "tokenize() got an unexpected keyword argument 'txt'"),
    (lambda: quarn_py.tokenize("a", text="b"),
     "tokenize() got multiple values for argument 'text'"),
    (lambda: quarn_py.tokenize(),
     "tokenize() missing 1 required positional argument: 'text'"),
    (lambda: quarn_py.verify_audit(),
     "verify_audit() missing 2 required positional arguments: 'audit_json' and 'entities_json'"),
    (lambda: quarn_py.create_audit(timestamp=3),
     "create_audit() missing 2 required positional arguments: 'note_id' and 'entities_json'"),
    (lambda: quarn_py.verify_audit(entities_json="x"),
     "verify_audit() missing 1 required positional argument: 'audit_json'"),
    (lambda: quarn_py.execute_bytecode(b"", bytecode=b""),
     "execute_bytecode() got multiple values for argument 'bytecode'"),
    # the arity check comes before any conversion
    (lambda: quarn_py.compile_source(1, 2),
     "compile_source() takes 1 positional arguments but 2 were given"),
])
def test_arity_and_keyword_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_unexpected_keyword_is_reported_before_missing_arguments():
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        quarn_py.create_audit(nope=1)


class Text(str):
    pass


@pytest.mark.parametrize("fn, kw", [
    ("tokenize", "text"), ("extract_entities", "text"), ("compile_source", "source"),
])
def test_text_parameters_refuse_other_types_with_a_cause(fn, kw):
    with pytest.raises(TypeError) as info:
        getattr(quarn_py, fn)(123)
    assert str(info.value) == f"argument '{kw}': 'int' object cannot be converted to 'PyString'"
    cause = info.value.__cause__
    assert type(cause) is TypeError
    assert str(cause) == "'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match=f"argument '{kw}': 'bytes' object"):
        getattr(quarn_py, fn)(**{kw: b"x"})


def test_lone_surrogate_passes_the_interpreters_unicode_error_through():
    for fn in (quarn_py.tokenize, quarn_py.extract_entities, quarn_py.compile_source):
        with pytest.raises(UnicodeEncodeError):
            fn("a\ud800b")
    with pytest.raises(UnicodeEncodeError):
        quarn_py.create_audit("n", "\udfff", 1)
    with pytest.raises(UnicodeEncodeError):
        quarn_py.verify_audit("\ud800", "x")


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match="argument 'note_id'"):
        quarn_py.create_audit(1, 2, "x")
    with pytest.raises(TypeError, match="argument 'entities_json'"):
        quarn_py.create_audit("n", 2, "x")
    with pytest.raises(TypeError, match="argument 'audit_json'"):
        quarn_py.verify_audit(None, None)


def test_reimport_in_the_same_interpreter_gives_the_same_module():
    import importlib
    import sys

    first = sys.modules.pop("quarn_py")
    try:
        again = importlib.import_module("quarn_py")
        assert again is first
    finally:
        sys.modules["quarn_py"] = first


def test_sub_interpreters_are_refused_with_import_error(tmp_path):
    import os
    import subprocess
    import sys

    testcapi = pytest.importorskip("_testcapi")
    assert testcapi  # the check itself runs in a fresh process
    module_dir = os.path.dirname(quarn_py.__file__)
    inner = ("import sys; sys.path.insert(0, %r)\n"
             "try:\n    import quarn_py\n    print('IMPORTED')\n"
             "except ImportError as e:\n    print('REFUSED', e)\n") % module_dir
    script = ("import sys; sys.path.insert(0, %r)\nimport quarn_py, _testcapi\n"
              "_testcapi.run_in_subinterp(%r)\nprint(quarn_py.version())\n") % (module_dir, inner)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert "REFUSED" in out.stdout and "sub-interpreters" in out.stdout
    assert "IMPORTED" not in out.stdout
    assert out.stdout.strip().endswith("quarn-py 0.1.1 (Quarn core 0.1.1)")
