"""Running out of memory: in a process whose address space is capped just
above what it already uses, every function given an input too large to work
on raises MemoryError (in argument conversion, in the work, or while building
the result, depending on the cap), holds on to no reference, and the next
small call in the same process gives the right result.

Each case runs in a child process, since the cap applies to the whole process.
"""
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the sanitizer reserves terabytes of address space up front")

CHILD = textwrap.dedent(r'''
    import json, resource, sys
    import quarn_py

    MB = 1 << 20

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmSize")

    def capped(extra, call, arg):
        """call(arg) with the address space capped `extra` bytes above its
        present size: 'MemoryError', or the result."""
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        refs = sys.getrefcount(arg)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, hard))
        try:
            out = call(arg)
        except MemoryError:
            out = "MemoryError"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert sys.getrefcount(arg) == refs, "a reference to the input was kept"
        return out

    SOURCE = "program p { fn main() { let x = 1 + 2; } }"

    def small_calls_work():
        """The module still gives the right answers, under a tight cap too."""
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + 16 * MB, hard))
        try:
            assert quarn_py.tokenize("Chest PAIN, fever.") == ["chest", "pain", "fever"]
            assert quarn_py.extract_entities("Chest pain") == [
                {"text": "chest pain", "type": "symptom", "start": 0, "end": 10},
                {"text": "pain", "type": "symptom", "start": 6, "end": 10}]
            record = quarn_py.create_audit("n", "[1]", 7)
            assert json.loads(record)["entities"] == [1] and json.loads(record)["timestamp"] == 7
            assert quarn_py.verify_audit(record, "[1]") is True
            compiled = quarn_py.compile_source(SOURCE)
            assert compiled["success"] is True
            assert quarn_py.execute_bytecode(compiled["bytecode"]) == {
                "success": True, "output": "Execution successful"}
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    def cases(name):
        """(input, call, check of a result) for one function: the input needs
        far more memory to work on than the smallest cap leaves."""
        if name == "tokenize":
            n = 4_000_000
            return ("Ab cd " * n, quarn_py.tokenize,
                    lambda r: len(r) == 2 * n and r[:2] == ["ab", "cd"])
        if name == "extract_entities":
            n = 2_000_000
            return ("Pain. " * n, quarn_py.extract_entities,
                    lambda r: len(r) == n and r[-1]["start"] == 6 * (n - 1))
        if name == "create_audit":
            n = 5_000_000
            return ("[" + "0," * n + "0]", lambda e: quarn_py.create_audit("n", e, 1),
                    lambda r: r.startswith('{"entities":[0,0,'))
        if name == "verify_audit":
            # Non-ASCII: the interpreter must make a UTF-8 copy to convert it.
            text = "é" * (20 * MB)
            record = quarn_py.create_audit("n", "", 1)
            return (text, lambda e: quarn_py.verify_audit(record, e), lambda r: r is False)
        if name == "compile_source":
            body = "".join(f"fn f{i}(a: int) -> int {{ let x = a + {i}; return x * 2; }}\n"
                           for i in range(40_000))
            return ("program big {\n" + body + "}\n", quarn_py.compile_source,
                    lambda r: r["success"] is True)
        if name == "execute_bytecode":
            good = bytes(quarn_py.compile_source(SOURCE)["bytecode"])
            return (list(good) + [0] * 30_000_000, quarn_py.execute_bytecode,
                    lambda r: r == {"success": True, "output": "Execution successful"})
        if name == "execute_bytecode/memoryview":
            good = bytes(quarn_py.compile_source(SOURCE)["bytecode"])
            buf = bytearray(good) + bytearray(200 * MB)
            return (memoryview(buf), quarn_py.execute_bytecode,
                    lambda r: r == {"success": True, "output": "Execution successful"})
        raise KeyError(name)

    name = sys.argv[1]
    arg, call, check = cases(name)
    outcomes = []
    for extra in (1 * MB, 8 * MB, 32 * MB, 128 * MB, 512 * MB):
        out = capped(extra, call, arg)
        assert out == "MemoryError" or check(out), (name, extra, "wrong result")
        outcomes.append("MemoryError" if out == "MemoryError" else "ok")
        del out
        small_calls_work()
    del arg, call
    small_calls_work()
    print(" ".join(outcomes))
''')

FUNCTIONS = ["tokenize", "extract_entities", "create_audit", "verify_audit", "compile_source",
             "execute_bytecode", "execute_bytecode/memoryview"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_out_of_memory_is_memory_error_and_the_module_goes_on(name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", CHILD, name], env=env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, f"child failed ({done.returncode}):\n{done.stderr[-3000:]}"
    outcomes = done.stdout.split()
    assert len(outcomes) == 5
    # The tightest cap leaves far too little room for the work.
    assert outcomes[0] == "MemoryError", outcomes
