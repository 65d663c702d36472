import importlib
import os
import sys
import threading
from pathlib import Path

import pytest

# Set by the test runner for the ASan+UBSan module, where every call is several
# times slower: property tests then run fewer examples.
SANITIZED = bool(os.environ.get("QUARN_SANITIZED"))

# The module's whole surface, in the order the documentation lists it.
FUNCTIONS = ["tokenize", "extract_entities", "create_audit", "verify_audit",
             "compile_source", "execute_bytecode", "version"]

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def scale_out_example():
    """examples/scale_out.py, imported by name from a folder on sys.path, so
    that worker processes (which get the parent's sys.path when spawned, or
    the folder in PYTHONPATH) find its functions by reference."""
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module("scale_out")


def on_small_stack(fn, stack=None):
    """Runs fn() on a thread with a `stack`-byte stack (1 MiB, a common
    thread default) and returns its result; fails if the thread died. The
    sanitizer build's frames are several times larger, so it gets 8 MiB."""
    if stack is None:
        stack = 8 << 20 if SANITIZED else 1 << 20
    out = {}

    def run():
        out["value"] = fn()

    old = threading.stack_size(stack)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert "value" in out, "the thread died"
    return out["value"]


try:
    from hypothesis import settings

    settings.register_profile("default", deadline=None, max_examples=200)
    settings.register_profile("sanitized", deadline=None, max_examples=40)
    settings.load_profile("sanitized" if SANITIZED else "default")
except ImportError:  # pragma: no cover - hypothesis comes with the test set-up
    pass


@pytest.fixture(scope="session")
def qp():
    import quarn_py

    return quarn_py
