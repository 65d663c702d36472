"""Compile throughput of compile_source against the interpreter's own compile()
and Lua's loader, on programs of the same shape: many functions, each with
lets, arithmetic, if/else, a loop, a call and a switch.

Every measurement runs in a fresh subprocess so that its peak resident size
(ru_maxrss) can be read against a baseline taken just before the first call. The
list of ints that compile_source returns is part of the measured call.

Run: PYTHONPATH=build python bench/bench_compile.py [sizes in KB ...]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

SIZES_KB = [100, 1024, 4096]


def quarn_function(i):
    callee = f"f{i - 1}(x, y)" if i > 0 else "x"
    return (
        f"    fn f{i}(a: int, b: int) -> int {{\n"
        f"        let x = a + b * {i % 7 + 2};\n"
        f"        let y = x - {i % 5 + 1};\n"
        f"        if x > y {{ y = y + 1; }} else {{ y = y - 1; }}\n"
        f"        let i = 0;\n"
        f"        loop (i < 10, 100) {{ i = i + 1; x = x + i; }}\n"
        f"        switch y {{ 1 => {{ x = 2; }} 2 | 3 => {{ x = 3; }} _ => {{ x = 4; }} }}\n"
        f"        let z = {callee};\n"
        f"        return x + y + z;\n"
        f"    }}\n"
    )


def python_function(i):
    callee = f"f{i - 1}(x, y)" if i > 0 else "x"
    return (
        f"def f{i}(a, b):\n"
        f"    x = a + b * {i % 7 + 2}\n"
        f"    y = x - {i % 5 + 1}\n"
        f"    if x > y:\n        y = y + 1\n    else:\n        y = y - 1\n"
        f"    i = 0\n"
        f"    while i < 10:\n        i = i + 1\n        x = x + i\n"
        f"    match y:\n"
        f"        case 1:\n            x = 2\n"
        f"        case 2 | 3:\n            x = 3\n"
        f"        case _:\n            x = 4\n"
        f"    z = {callee}\n"
        f"    return x + y + z\n\n"
    )


def lua_function(i):
    callee = f"f{i - 1}(x, y)" if i > 0 else "x"
    return (
        f"function f{i}(a, b)\n"
        f"  local x = a + b * {i % 7 + 2}\n"
        f"  local y = x - {i % 5 + 1}\n"
        f"  if x > y then y = y + 1 else y = y - 1 end\n"
        f"  local i = 0\n"
        f"  while i < 10 do i = i + 1; x = x + i end\n"
        f"  if y == 1 then x = 2 elseif y == 2 or y == 3 then x = 3 else x = 4 end\n"
        f"  local z = {callee}\n"
        f"  return x + y + z\n"
        f"end\n"
    )


def generate(size_kb):
    """Returns (quarn, python, lua, function count) with the Quarn text near size_kb."""
    target = size_kb * 1024
    parts, n, total = [], 0, 0
    while total < target:
        f = quarn_function(n)
        parts.append(f)
        total += len(f)
        n += 1
    quarn = "program bench {\n" + "".join(parts) + "}\n"
    python = "".join(python_function(i) for i in range(n))
    lua = "".join(lua_function(i) for i in range(n))
    return quarn, python, lua, n


# Runs inside the subprocess: reads the source, takes the baseline, times the
# call `repeat` times and reports the best time and the peak growth. Times are
# CPU time of the process (user + system), as Lua's os.clock measures, so that
# a busy machine does not skew the comparison. The peak is read after the
# first call: it is what one compilation needs. Later calls in the same
# process can show a higher resident size without needing more memory, as
# the allocator keeps blocks freed by the earlier calls resident for reuse.
CHILD = r"""
import json, resource, sys, time
kind, path, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(path, encoding="utf-8") as fh:
    src = fh.read()
if kind == "quarn":
    import quarn_py
    call = lambda: quarn_py.compile_source(src)
else:
    call = lambda: compile(src, "<bench>", "exec")
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
best = float("inf")
peak = None
for _ in range(repeat):
    t = time.process_time()
    out = call()
    best = min(best, time.process_time() - t)
    if peak is None:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    ok = out["success"] if kind == "quarn" else True
    out = None
print(json.dumps({"seconds": best, "peak_kb": peak - base, "ok": ok}))
"""

LUA_CHILD = (
    "local fh = assert(io.open(arg[1])); local s = fh:read('a'); fh:close()\n"
    "local best = math.huge\n"
    "for _ = 1, tonumber(arg[2]) do\n"
    "  local t = os.clock(); assert(load(s)); local d = os.clock() - t\n"
    "  if d < best then best = d end\n"
    "end\n"
    "print(best)\n"
)


def run_python(kind, path, repeat):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, kind, path, str(repeat)],
        check=True, capture_output=True, text=True, env=os.environ,
    )
    return json.loads(out.stdout)


def run_lua(path, repeat, workdir):
    lua = shutil.which("lua5.4")
    if lua is None:
        return None
    script = os.path.join(workdir, "load.lua")
    with open(script, "w") as fh:
        fh.write(LUA_CHILD)
    out = subprocess.run([lua, script, path, str(repeat)], check=True,
                         capture_output=True, text=True)
    return float(out.stdout.strip())


def main():
    sizes = [int(a) for a in sys.argv[1:]] or SIZES_KB
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for kb in sizes:
            quarn, python, lua, n = generate(kb)
            paths = {}
            for kind, text in (("quarn", quarn), ("python", python), ("lua", lua)):
                paths[kind] = os.path.join(work, f"{kind}-{kb}")
                with open(paths[kind], "w", encoding="utf-8") as fh:
                    fh.write(text)
            # The same number of tries at every size, so that the best of them
            # is equally likely to be an undisturbed run.
            repeat = 7
            q = run_python("quarn", paths["quarn"], repeat)
            p = run_python("python", paths["python"], repeat)
            lua_s = run_lua(paths["lua"], repeat, work)
            rows.append((kb, n, len(quarn), q, p, lua_s))

    print(f"{'size':>8} {'funcs':>7} {'quarn MB/s':>11} {'us/func':>8} {'peak/src':>9} "
          f"{'py us/func':>11} {'x py':>6} {'lua us/func':>12} {'x lua':>6}")
    for kb, n, nbytes, q, p, lua_s in rows:
        q_us = q["seconds"] * 1e6 / n
        p_us = p["seconds"] * 1e6 / n
        lua_us = lua_s * 1e6 / n if lua_s is not None else float("nan")
        print(f"{kb:>6}KB {n:>7} {nbytes / q['seconds'] / 1e6:>11.1f} {q_us:>8.2f} "
              f"{q['peak_kb'] * 1024 / nbytes:>9.1f} {p_us:>11.2f} {p_us / q_us:>6.1f} "
              f"{lua_us:>12.2f} {lua_us / q_us:>6.2f}"
              + ("" if q["ok"] else "  (compile failed!)"))
    by_kb = {r[0]: r for r in rows}
    if 1024 in by_kb and 4096 in by_kb:
        ratio = by_kb[4096][3]["seconds"] / by_kb[1024][3]["seconds"]
        print(f"time 4MB / time 1MB: {ratio:.2f}")


if __name__ == "__main__":
    main()
