"""Compile throughput of compile_source against the interpreter's own compile()
and Lua's loader, on programs written alike in the three languages, from three
corpora: "uniform", many functions each with lets, arithmetic, if/else, a
loop, a call and a switch; "varied", four kinds of function in turn (see
varied_quarn_function); and "realistic", a module and six kinds of
definition that between them use every form of the language (see
realistic_quarn_function).

Every measurement runs in a fresh subprocess so that its peak resident size
(the kernel's high-water mark, reset just before) can be read against the
resident size just before the first call. The
list of ints that compile_source returns is part of the measured call.

Run: .venvs/3.12/bin/python bench/bench_compile.py [sizes in KB ...] [uniform|varied|realistic]
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


# A third corpus meant to read like real code: a module with a capability
# clause, constants, an enum, a struct and an exported function, then six
# kinds of definition in turn using the rest of the language: contract
# literals and their fields, typed lets, maps with quoted keys, fields and
# indexing, compound assignment, loops nested in branches with switches,
# break and continue, attributes, barriers, asm, bitwise and word
# operators, hexadecimal and float literals, long strings and comments.
# Casts are left out: they parse, but the compiler refuses them.
REALISTIC_QUARN_HEAD = (
    "import { mean, stdev } from \"lib/stats\";\n"
    "import {} from \"lib/empty\";\n\n"
    "program bench {\n"
    "  module vitals {\n"
    "    capability: io, clock\n"
    "    const LIMIT: int = 3;\n"
    "    const SCALE: float = 1.5;\n"
    "    enum Level { Low, Medium, High }\n"
    "    struct Reading { pulse: int, temp: float }\n\n"
    "    // The level of a pulse: above 120 is high, above 90 medium.\n"
    "    export fn classify(pulse: int) -> int {\n"
    "      if pulse > 120 { return Level.High; }\n"
    "      else if pulse > 90 { return Level.Medium; }\n"
    "      return Level.Low;\n"
    "    }\n"
    "  }\n\n"
)
REALISTIC_PYTHON_HEAD = (
    "from lib.stats import mean, stdev\n\n"
    "LIMIT = 3\nSCALE = 1.5\n"
    "class Level:\n    Low, Medium, High = 0, 1, 2\n\n"
    "class Reading:\n    def __init__(self, pulse, temp):\n        self.pulse = pulse\n        self.temp = temp\n\n"
    "# The level of a pulse: above 120 is high, above 90 medium.\n"
    "def classify(pulse):\n"
    "    if pulse > 120:\n        return Level.High\n"
    "    elif pulse > 90:\n        return Level.Medium\n"
    "    return Level.Low\n\n"
)
REALISTIC_LUA_HEAD = (
    "local stats = {mean = mean, stdev = stdev}\n"
    "local LIMIT = 3\nlocal SCALE = 1.5\n"
    "local Level = {Low = 0, Medium = 1, High = 2}\n"
    "local function Reading(pulse, temp) return {pulse = pulse, temp = temp} end\n"
    "-- The level of a pulse: above 120 is high, above 90 medium.\n"
    "function classify(pulse)\n"
    "  if pulse > 120 then return Level.High\n"
    "  elseif pulse > 90 then return Level.Medium end\n"
    "  return Level.Low\n"
    "end\n"
)


def realistic_quarn_function(i):
    k = i % 9 + 1
    kind = i % 6
    if kind == 0:
        return (
            f"  // Builds a claim record and checks it against the policy limit.\n"
            f"  #[no_mangle]\n"
            f"  fn claim{i}(amount: int, code: int, memo: string) -> int {{\n"
            f"    let rec = {{7: {{@0: amount, @1: code, @2: memo}}}};\n"
            f"    let limit: int = LIMIT * {k};\n"
            f"    let text = \"claim {i}: amounts above the limit go to manual review, the rest are settled at once\";\n"
            f"    if rec.@0 > limit && !(code == 0) {{\n"
            f"      print_str(text);\n"
            f"      return -1;\n"
            f"    }} else if rec.@0 == limit || code >= 0x1F {{\n"
            f"      return 0;\n"
            f"    }}\n"
            f"    return rec.@1 + amount % {k};\n"
            f"  }}\n\n"
        )
    if kind == 1:
        return (
            f"  fn scan{i}(rows: [int], n: int) -> int {{\n"
            f"    let total = 0;\n"
            f"    let r = 0;\n"
            f"    loop (r < n, 1000) {{\n"
            f"      r += 1;\n"
            f"      if r % 2 == 0 {{ continue; }}\n"
            f"      let c = 0;\n"
            f"      loop (c < 4, DEFAULT_MAX_ITER()) {{\n"
            f"        switch rows[c] {{\n"
            f"          0 => {{ total += 1; }}\n"
            f"          1 | 2 | 3 => {{ total -= c * {k}; }},\n"
            f"          _ => {{ total *= 2; }}\n"
            f"        }}\n"
            f"        c += 1;\n"
            f"        if total > 1000 {{ break; }}\n"
            f"      }}\n"
            f"    }}\n"
            f"    return total;\n"
            f"  }}\n\n"
        )
    if kind == 2:
        return (
            f"  fn profile{i}(age: int, weight: float) -> float {{\n"
            f"    let p = {{name: \"patient {i}\", \"age\": age, 'unit': \"kg\", scores: [1, 2, 3]}};\n"
            f"    p.age = p.age + 1;\n"
            f"    let s: [int] = p.scores;\n"
            f"    s[0] = s[1] * s[2] - {k};\n"
            f"    let bmi = weight / (1.75 * 1.75);  // height fixed for the sketch\n"
            f"    if bmi > 30.0 {{ bmi = bmi - 0.5; }} else {{ bmi = bmi + 0.25; }}\n"
            f"    return bmi * SCALE;\n"
            f"  }}\n\n"
        )
    if kind == 3:
        return (
            f"  @max_depth(64)\n"
            f"  fn kernel{i}(x: float, y: float) -> float {{\n"
            f"    let a = sqrt(x * x + y * y);\n"
            f"    let b = max(a, min(x, y)) + abs(x - y);\n"
            f"    barrier;\n"
            f"    asm(\"mov %0, %1\" : \"=r\"(out) : \"r\"(a + 1.0) : \"memory\");\n"
            f"    barrier(\"phase{i}\");\n"
            f"    return a * 0.5 + b / 2.0;\n"
            f"  }}\n\n"
        )
    if kind == 4:
        return (
            f"  fn flags{i}(a: int, b: int) -> bool {{\n"
            f"    let mask = a & 0xFF | b << 2 ^ {k};\n"
            f"    let ok = not (mask == 0) and a > b or b >= {k};\n"
            f"    // a long sum, as generated code writes them\n"
            f"    let z = a + b - 1 + a * 2 - b / 3 + a % 4 - {k} + 7 + a * b - 11 + b * 3;\n"
            f"    if (ok) {{ return z > 0; }}\n"
            f"    return false;\n"
            f"  }}\n\n"
        )
    return (
        f"  block init{i}() {{\n"
        f"    let started = true;\n"
        f"    let level = classify({60 + k * 10});\n"
        f"    print(level, started, Level.High);\n"
        f"  }}\n\n"
    )


def realistic_python_function(i):
    k = i % 9 + 1
    kind = i % 6
    if kind == 0:
        return (
            f"# Builds a claim record and checks it against the policy limit.\n"
            f"def claim{i}(amount, code, memo):\n"
            f"    rec = (7, {{0: amount, 1: code, 2: memo}})\n"
            f"    limit: int = LIMIT * {k}\n"
            f"    text = \"claim {i}: amounts above the limit go to manual review, the rest are settled at once\"\n"
            f"    if rec[1][0] > limit and not (code == 0):\n"
            f"        print_str(text)\n"
            f"        return -1\n"
            f"    elif rec[1][0] == limit or code >= 0x1F:\n"
            f"        return 0\n"
            f"    return rec[1][1] + amount % {k}\n\n"
        )
    if kind == 1:
        return (
            f"def scan{i}(rows, n):\n"
            f"    total = 0\n"
            f"    r = 0\n"
            f"    while r < n:\n"
            f"        r += 1\n"
            f"        if r % 2 == 0:\n            continue\n"
            f"        c = 0\n"
            f"        while c < 4:\n"
            f"            match rows[c]:\n"
            f"                case 0:\n                    total += 1\n"
            f"                case 1 | 2 | 3:\n                    total -= c * {k}\n"
            f"                case _:\n                    total *= 2\n"
            f"            c += 1\n"
            f"            if total > 1000:\n                break\n"
            f"    return total\n\n"
        )
    if kind == 2:
        return (
            f"def profile{i}(age, weight):\n"
            f"    p = {{\"name\": \"patient {i}\", \"age\": age, 'unit': \"kg\", \"scores\": [1, 2, 3]}}\n"
            f"    p[\"age\"] = p[\"age\"] + 1\n"
            f"    s: list = p[\"scores\"]\n"
            f"    s[0] = s[1] * s[2] - {k}\n"
            f"    bmi = weight / (1.75 * 1.75)  # height fixed for the sketch\n"
            f"    if bmi > 30.0:\n        bmi = bmi - 0.5\n    else:\n        bmi = bmi + 0.25\n"
            f"    return bmi * SCALE\n\n"
        )
    if kind == 3:
        return (
            f"@max_depth(64)\n"
            f"def kernel{i}(x, y):\n"
            f"    a = sqrt(x * x + y * y)\n"
            f"    b = max(a, min(x, y)) + abs(x - y)\n"
            f"    barrier()\n"
            f"    asm(\"mov %0, %1\", \"=r\", a + 1.0, \"memory\")\n"
            f"    barrier(\"phase{i}\")\n"
            f"    return a * 0.5 + b / 2.0\n\n"
        )
    if kind == 4:
        return (
            f"def flags{i}(a, b):\n"
            f"    mask = a & 0xFF | b << 2 ^ {k}\n"
            f"    ok = not (mask == 0) and a > b or b >= {k}\n"
            f"    # a long sum, as generated code writes them\n"
            f"    z = a + b - 1 + a * 2 - b / 3 + a % 4 - {k} + 7 + a * b - 11 + b * 3\n"
            f"    if (ok):\n        return z > 0\n"
            f"    return False\n\n"
        )
    return (
        f"def init{i}():\n"
        f"    started = True\n"
        f"    level = classify({60 + k * 10})\n"
        f"    print(level, started, Level.High)\n\n"
    )


def realistic_lua_function(i):
    k = i % 9 + 1
    kind = i % 6
    if kind == 0:
        return (
            f"-- Builds a claim record and checks it against the policy limit.\n"
            f"function claim{i}(amount, code, memo)\n"
            f"  local rec = {{id = 7, fields = {{amount, code, memo}}}}\n"
            f"  local limit = LIMIT * {k}\n"
            f"  local text = \"claim {i}: amounts above the limit go to manual review, the rest are settled at once\"\n"
            f"  if rec.fields[1] > limit and not (code == 0) then\n"
            f"    print_str(text)\n"
            f"    return -1\n"
            f"  elseif rec.fields[1] == limit or code >= 0x1F then\n"
            f"    return 0\n"
            f"  end\n"
            f"  return rec.fields[2] + amount % {k}\n"
            f"end\n"
        )
    if kind == 1:
        return (
            f"function scan{i}(rows, n)\n"
            f"  local total = 0\n"
            f"  local r = 0\n"
            f"  while r < n do\n"
            f"    r = r + 1\n"
            f"    if r % 2 ~= 0 then\n"
            f"      local c = 0\n"
            f"      while c < 4 do\n"
            f"        local v = rows[c]\n"
            f"        if v == 0 then total = total + 1\n"
            f"        elseif v == 1 or v == 2 or v == 3 then total = total - c * {k}\n"
            f"        else total = total * 2 end\n"
            f"        c = c + 1\n"
            f"        if total > 1000 then break end\n"
            f"      end\n"
            f"    end\n"
            f"  end\n"
            f"  return total\n"
            f"end\n"
        )
    if kind == 2:
        return (
            f"function profile{i}(age, weight)\n"
            f"  local p = {{name = \"patient {i}\", age = age, unit = \"kg\", scores = {{1, 2, 3}}}}\n"
            f"  p.age = p.age + 1\n"
            f"  local s = p.scores\n"
            f"  s[1] = s[2] * s[3] - {k}\n"
            f"  local bmi = weight / (1.75 * 1.75)  -- height fixed for the sketch\n"
            f"  if bmi > 30.0 then bmi = bmi - 0.5 else bmi = bmi + 0.25 end\n"
            f"  return bmi * SCALE\n"
            f"end\n"
        )
    if kind == 3:
        return (
            f"function kernel{i}(x, y)\n"
            f"  local a = sqrt(x * x + y * y)\n"
            f"  local b = max(a, min(x, y)) + abs(x - y)\n"
            f"  barrier()\n"
            f"  asm(\"mov %0, %1\", \"=r\", a + 1.0, \"memory\")\n"
            f"  barrier(\"phase{i}\")\n"
            f"  return a * 0.5 + b / 2.0\n"
            f"end\n"
        )
    if kind == 4:
        return (
            f"function flags{i}(a, b)\n"
            f"  local mask = a & 0xFF | b << 2 ~ {k}\n"
            f"  local ok = not (mask == 0) and a > b or b >= {k}\n"
            f"  -- a long sum, as generated code writes them\n"
            f"  local z = a + b - 1 + a * 2 - b / 3 + a % 4 - {k} + 7 + a * b - 11 + b * 3\n"
            f"  if (ok) then return z > 0 end\n"
            f"  return false\n"
            f"end\n"
        )
    return (
        f"function init{i}()\n"
        f"  local started = true\n"
        f"  local level = classify({60 + k * 10})\n"
        f"  print(level, started, Level.High)\n"
        f"end\n"
    )


CORPORA = {
    "uniform": (quarn_function, python_function, lua_function),
    "varied": (varied_quarn_function, varied_python_function, varied_lua_function),
    "realistic": (realistic_quarn_function, realistic_python_function, realistic_lua_function),
}

# Text before the functions of each corpus, in Quarn, Python and Lua.
HEADS = {
    "realistic": (REALISTIC_QUARN_HEAD, REALISTIC_PYTHON_HEAD, REALISTIC_LUA_HEAD),
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
    quarn_head, python_head, lua_head = HEADS.get(corpus, ("program bench {\n", "", ""))
    quarn = quarn_head + "".join(parts) + "}\n"
    python = python_head + "".join(python_f(i) for i in range(n))
    lua = lua_head + "".join(lua_f(i) for i in range(n))
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
ROUNDS = 5
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
