"""Throughput of each function from 1, 2 and 4 threads, relative to 1 thread.

Calls on inputs from a few kilobytes up work without the interpreter lock, so
on a machine with several cores more threads get more calls done. For each
function and input size (1 KB, 100 KB, 1 MB) every thread makes the same
number of calls on the same input; the figure is calls per second of wall
time with N threads divided by that with one thread. The 1-, 2- and 4-thread
runs are interleaved over several rounds and the best of each is kept, so
that other load on the machine moves all of them alike.

Run: .venvs/3.12/bin/python bench/bench_threads.py [--quick]
"""
import json
import os
import sys
import threading
import time

import quarn_py

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_clinical import make_note  # noqa: E402
from bench_compile import generate  # noqa: E402
from bench_decode import build_program  # noqa: E402

QUICK = "--quick" in sys.argv
# Function names given on the command line limit the rows to those functions.
ONLY = [a for a in sys.argv[1:] if not a.startswith("--")]
SIZES = [("1 KB", 1 << 10), ("100 KB", 100 << 10), ("1 MB", 1 << 20)]
THREADS = [1, 2, 4]
ROUNDS = 2 if QUICK else 4
MEASURE_SECONDS = 0.15 if QUICK else 0.4


def entities_json(size):
    note = make_note(size * 4)
    text = json.dumps(quarn_py.extract_entities(note))
    while len(text) < size:  # short notes hold few entities
        text = text[:-1] + ", " + text[1:]
    return text


def workloads(size):
    """(name, call) pairs: each call does one unit of work on a size-byte input."""
    note = make_note(size)
    ents = entities_json(size)
    record = quarn_py.create_audit("note-1", ents, 1_700_000_000)
    source = generate(size // 1024)[0]
    program = build_program(size)
    assert quarn_py.compile_source(source)["success"]
    assert quarn_py.execute_bytecode(program)["success"]
    return [
        ("tokenize", lambda: quarn_py.tokenize(note)),
        ("extract_entities", lambda: quarn_py.extract_entities(note)),
        ("create_audit", lambda: quarn_py.create_audit("note-1", ents, 1_700_000_000)),
        ("verify_audit", lambda: quarn_py.verify_audit(record, ents)),
        ("compile_source", lambda: quarn_py.compile_source(source)),
        ("execute_bytecode (bytes)", lambda: quarn_py.execute_bytecode(program)),
    ]


def throughput(call, threads, calls_each):
    """Calls per second of wall time with `threads` threads making
    `calls_each` calls each."""
    start = threading.Barrier(threads + 1)

    def work():
        start.wait()
        for _ in range(calls_each):
            call()

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    return threads * calls_each / (time.perf_counter() - t0)


def main():
    print(f"== throughput relative to 1 thread ({os.cpu_count()} CPUs)")
    print(f"{'function':<26}{'size':>8}" + "".join(f"{f'{n} thr':>10}" for n in THREADS)
          + f"{'1 thr calls/s':>16}")
    for label, size in SIZES:
        for name, call in workloads(size):
            if ONLY and name.split(" ")[0] not in ONLY:
                continue
            call()
            t0 = time.perf_counter()
            call()
            one = max(time.perf_counter() - t0, 1e-6)
            calls_each = max(4, int(MEASURE_SECONDS / one))
            best = {n: 0.0 for n in THREADS}
            for _ in range(ROUNDS):
                for n in THREADS:
                    best[n] = max(best[n], throughput(call, n, calls_each))
            print(f"{name:<26}{label:>8}" + "".join(f"{best[n] / best[1]:>9.2f}x" for n in THREADS)
                  + f"{best[1]:>16,.0f}")


if __name__ == "__main__":
    main()
