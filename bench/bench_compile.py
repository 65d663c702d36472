"""Compile throughput of compile_source against the interpreter's own compile()
and Lua's loader, on programs written alike in the three languages, from two
corpora: "uniform", many functions each with lets, arithmetic, if/else, a
loop, a call and a switch; and "varied", four kinds of function in turn (see
varied_quarn_function).

Every measurement runs in a fresh subprocess so that its peak resident size
(the kernel's high-water mark, reset just before) can be read against the
resident size just before the first call. The
list of ints that compile_source returns is part of the measured call.

Run: PYTHONPATH=build python bench/bench_compile.py [sizes in KB ...] [uniform|varied]
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


# A second corpus of varied functions, four kinds in turn: arrays and
# strings in a loop, objects and an else-if chain, boolean logic with nested
# calls, float arithmetic with a switch. It holds forms the first corpus does
# not (literal lists and maps, indexing, fields, compound assignment, prefix
# operators, comments), so that a speed-up tuned to one shape shows if it does
# not carry over.
def varied_quarn_function(i):
    k = i % 9 + 1
    kind = i % 4
    if kind == 0:
        return (
            f"    // sums the first eight items, weighted\n"
            f"    fn tally{i}(items: [int], label: string) -> int {{\n"
            f"        let total = 0;\n"
            f"        let k = 0;\n"
            f"        loop (k < 8, 1000) {{\n"
            f"            total += items[k] * {k};\n"
            f"            k += 1;\n"
            f"        }}\n"
            f"        let names: [string] = [\"alpha\", \"beta\", label];\n"
            f"        names[1] = \"item {i}\";\n"
            f"        print_str(names[1]);\n"
            f"        return total;\n"
            f"    }}\n"
        )
    if kind == 1:
        return (
            f"    fn grade{i}(score: int, bonus: int) -> int {{\n"
            f"        let r = {{value: score, extra: bonus, \"tag\": \"g{i}\"}};\n"
            f"        r.value = r.value + r.extra * {k};\n"
            f"        if r.value > 90 {{ return 4; }}\n"
            f"        else if r.value > 75 {{ return 3; }}\n"
            f"        else if r.value > 50 {{ return 2; }}\n"
            f"        else {{ return 1; }}\n"
            f"    }}\n"
        )
    if kind == 2:
        return (
            f"    fn check{i}(a: int, b: int, c: int) -> bool {{\n"
            f"        let ok = a > 0 && b > 0 || c == {k};\n"
            f"        if ok && !(a == b) {{\n"
            f"            let m = max(a, min(b, c - {k}));\n"
            f"            print(m, a, b);\n"
            f"            return m >= {k};\n"
            f"        }}\n"
            f"        return false;\n"
            f"    }}\n"
        )
    return (
        f"    fn mix{i}(x: float, y: float, mode: int) -> float {{\n"
        f"        let s = x * 0.5 + y * 1.25;\n"
        f"        let t = sqrt(s * s + 1.0) / (y + {k}.0);\n"
        f"        switch mode {{\n"
        f"            0 => {{ s = s + t; }}\n"
        f"            1 | 2 => {{ s = s - t; }}\n"
        f"            _ => {{ s = s * t; }}\n"
        f"        }}\n"
        f"        return s;\n"
        f"    }}\n"
    )


def varied_python_function(i):
    k = i % 9 + 1
    kind = i % 4
    if kind == 0:
        return (
            f"# sums the first eight items, weighted\n"
            f"def tally{i}(items, label):\n"
            f"    total = 0\n"
            f"    k = 0\n"
            f"    while k < 8:\n"
            f"        total += items[k] * {k}\n"
            f"        k += 1\n"
            f"    names = [\"alpha\", \"beta\", label]\n"
            f"    names[1] = \"item {i}\"\n"
            f"    print_str(names[1])\n"
            f"    return total\n\n"
        )
    if kind == 1:
        return (
            f"def grade{i}(score, bonus):\n"
            f"    r = {{\"value\": score, \"extra\": bonus, \"tag\": \"g{i}\"}}\n"
            f"    r[\"value\"] = r[\"value\"] + r[\"extra\"] * {k}\n"
            f"    if r[\"value\"] > 90:\n        return 4\n"
            f"    elif r[\"value\"] > 75:\n        return 3\n"
            f"    elif r[\"value\"] > 50:\n        return 2\n"
            f"    else:\n        return 1\n\n"
        )
    if kind == 2:
        return (
            f"def check{i}(a, b, c):\n"
            f"    ok = a > 0 and b > 0 or c == {k}\n"
            f"    if ok and not (a == b):\n"
            f"        m = max(a, min(b, c - {k}))\n"
            f"        print(m, a, b)\n"
            f"        return m >= {k}\n"
            f"    return False\n\n"
        )
    return (
        f"def mix{i}(x, y, mode):\n"
        f"    s = x * 0.5 + y * 1.25\n"
        f"    t = sqrt(s * s + 1.0) / (y + {k}.0)\n"
        f"    match mode:\n"
        f"        case 0:\n            s = s + t\n"
        f"        case 1 | 2:\n            s = s - t\n"
        f"        case _:\n            s = s * t\n"
        f"    return s\n\n"
    )


def varied_lua_function(i):
    k = i % 9 + 1
    kind = i % 4
    if kind == 0:
        return (
            f"-- sums the first eight items, weighted\n"
            f"function tally{i}(items, label)\n"
            f"  local total = 0\n"
            f"  local k = 0\n"
            f"  while k < 8 do\n"
            f"    total = total + items[k] * {k}\n"
            f"    k = k + 1\n"
            f"  end\n"
            f"  local names = {{\"alpha\", \"beta\", label}}\n"
            f"  names[1] = \"item {i}\"\n"
            f"  print_str(names[1])\n"
            f"  return total\n"
            f"end\n"
        )
    if kind == 1:
        return (
            f"function grade{i}(score, bonus)\n"
            f"  local r = {{value = score, extra = bonus, tag = \"g{i}\"}}\n"
            f"  r.value = r.value + r.extra * {k}\n"
            f"  if r.value > 90 then return 4\n"
            f"  elseif r.value > 75 then return 3\n"
            f"  elseif r.value > 50 then return 2\n"
            f"  else return 1 end\n"
            f"end\n"
        )
    if kind == 2:
        return (
            f"function check{i}(a, b, c)\n"
            f"  local ok = a > 0 and b > 0 or c == {k}\n"
            f"  if ok and not (a == b) then\n"
            f"    local m = max(a, min(b, c - {k}))\n"
            f"    print(m, a, b)\n"
            f"    return m >= {k}\n"
            f"  end\n"
            f"  return false\n"
            f"end\n"
        )
    return (
        f"function mix{i}(x, y, mode)\n"
        f"  local s = x * 0.5 + y * 1.25\n"
        f"  local t = sqrt(s * s + 1.0) / (y + {k}.0)\n"
        f"  if mode == 0 then s = s + t\n"
        f"  elseif mode == 1 or mode == 2 then s = s - t\n"
        f"  else s = s * t end\n"
        f"  return s\n"
        f"end\n"
    )


CORPORA = {
    "uniform": (quarn_function, python_function, lua_function),
    "varied": (varied_quarn_function, varied_python_function, varied_lua_function),
}


def generate(size_kb, corpus="uniform"):
    """Returns (quarn, python, lua, function count) with the Quarn text near size_kb."""
    quarn_f, python_f, lua_f = CORPORA[corpus]
    target = size_kb * 1024
    parts, n, total = [], 0, 0
    while total < target:
        f = quarn_f(n)
        parts.append(f)
        total += len(f)
        n += 1
    quarn = "program bench {\n" + "".join(parts) + "}\n"
    python = "".join(python_f(i) for i in range(n))
    lua = "".join(lua_f(i) for i in range(n))
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

def status_kb(key):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1])

# Resets the high-water mark to the current resident size, so that memory
# the interpreter freed while starting up does not hide the call's growth.
with open("/proc/self/clear_refs", "w") as fh:
    fh.write("5")
base = status_kb("VmRSS")
best = float("inf")
peak = None
encoded = 0
faults = []
for _ in range(repeat):
    f = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    t = time.process_time()
    out = call()
    best = min(best, time.process_time() - t)
    faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - f)
    if peak is None:
        peak = status_kb("VmHWM")
    ok = out["success"] if kind == "quarn" else True
    if kind == "quarn" and ok:
        encoded = len(out["bytecode"])
    out = None
# Page faults per call, the first call (which warms up) left out.
later = faults[1:] or faults
print(json.dumps({"seconds": best, "peak_kb": peak - base, "ok": ok, "encoded": encoded,
                  "faults": sum(later) / len(later)}))
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


# Rounds over all sizes and peers. The machine may be slowed for seconds at
# a time by its neighbours; spreading each measurement's tries over rounds
# keeps one slow spell from deciding a size's best time.
ROUNDS = 3
REPEAT = 5


def best_of(a, b):
    """Merges two child reports: the lower time, the higher peak."""
    if a is None:
        return b
    return {"seconds": min(a["seconds"], b["seconds"]),
            "peak_kb": max(a["peak_kb"], b["peak_kb"]),
            "ok": a["ok"] and b["ok"],
            "encoded": max(a["encoded"], b["encoded"]),
            "faults": (a["faults"] + b["faults"]) / 2}


def measure(corpus, sizes, work):
    """Rows (size KB, functions, source bytes, quarn, python, lua) of one corpus."""
    programs = {}
    for kb in sizes:
        quarn, python, lua, n = generate(kb, corpus)
        paths = {}
        for kind, text in (("quarn", quarn), ("python", python), ("lua", lua)):
            paths[kind] = os.path.join(work, f"{corpus}-{kind}-{kb}")
            with open(paths[kind], "w", encoding="utf-8") as fh:
                fh.write(text)
        programs[kb] = (n, len(quarn), paths)
    results = {kb: [None, None, None] for kb in sizes}
    for _ in range(ROUNDS):
        for kb in sizes:
            paths = programs[kb][2]
            q, p, lua_s = results[kb]
            q = best_of(q, run_python("quarn", paths["quarn"], REPEAT))
            p = best_of(p, run_python("python", paths["python"], REPEAT))
            lua_now = run_lua(paths["lua"], REPEAT, work)
            if lua_now is not None:
                lua_s = lua_now if lua_s is None else min(lua_s, lua_now)
            results[kb] = [q, p, lua_s]
    return [(kb, programs[kb][0], programs[kb][1], *results[kb]) for kb in sizes]


def report(corpus, rows):
    # peak/src is the growth of one call; list/src is what the returned list
    # of ints alone takes (one 8-byte pointer per encoded byte), and bytes/src
    # the encoded program, which the list is built from.
    print(f"== {corpus} corpus")
    print(f"{'size':>8} {'funcs':>7} {'quarn MB/s':>11} {'us/func':>8} {'peak/src':>9} "
          f"{'list/src':>9} {'bytes/src':>10} {'faults':>7} "
          f"{'py us/func':>11} {'x py':>6} {'lua us/func':>12} {'x lua':>6}")
    for kb, n, nbytes, q, p, lua_s in rows:
        q_us = q["seconds"] * 1e6 / n
        p_us = p["seconds"] * 1e6 / n
        lua_us = lua_s * 1e6 / n if lua_s is not None else float("nan")
        print(f"{kb:>6}KB {n:>7} {nbytes / q['seconds'] / 1e6:>11.1f} {q_us:>8.2f} "
              f"{q['peak_kb'] * 1024 / nbytes:>9.1f} {8 * q['encoded'] / nbytes:>9.1f} "
              f"{q['encoded'] / nbytes:>10.2f} {q['faults']:>7.0f} {p_us:>11.2f} {p_us / q_us:>6.1f} "
              f"{lua_us:>12.2f} {lua_us / q_us:>6.2f}"
              + ("" if q["ok"] else "  (compile failed!)"))
    by_kb = {r[0]: r for r in rows}
    if 1024 in by_kb and 4096 in by_kb:
        ratio = by_kb[4096][3]["seconds"] / by_kb[1024][3]["seconds"]
        print(f"time 4MB / time 1MB: {ratio:.2f}")


def main():
    # Arguments: sizes in KB, and corpus names to limit the run to those.
    args = sys.argv[1:]
    sizes = [int(a) for a in args if a.isdigit()] or SIZES_KB
    corpora = [a for a in args if a in CORPORA] or list(CORPORA)
    with tempfile.TemporaryDirectory() as work:
        measured = [(corpus, measure(corpus, sizes, work)) for corpus in corpora]
    for corpus, rows in measured:
        report(corpus, rows)


if __name__ == "__main__":
    main()
