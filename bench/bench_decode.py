"""Decoding throughput of execute_bytecode, measured in one run.

A 10 MB well-formed program (LoadConst / Add / Call instructions, built here
byte by byte) is handed to execute_bytecode as bytes (read in place) and as a
list of ints (the form compile_source returns), beside bytes(list) on the
same list, the interpreter's own cost of merely turning that list into bytes.
Prints the best of several runs in MB/s and the ratios.

Run: .venvs/3.12/bin/python bench/bench_decode.py [--quick]
"""
import struct
import sys
import time

import quarn_py

QUICK = "--quick" in sys.argv
TARGET_BYTES = (1 if QUICK else 10) * 1000 * 1000
RUNS = 3 if QUICK else 7


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def text(s):
    b = s.encode()
    return u64(len(b)) + b


def build_program(target):
    """Repeats a block of typical instructions until the program is `target` bytes."""
    block = []
    reg = 0
    for i in range(16):
        block.append(u32(0) + u32(reg) + u32(2) + struct.pack("<q", i * 7919))   # LoadConst Int
        block.append(u32(0) + u32(reg + 1) + u32(3) + struct.pack("<d", i / 3))  # LoadConst Float
        block.append(u32(2) + u32(reg + 2) + u32(reg) + u32(reg + 1))            # Add
        reg += 3
    block.append(u32(0) + u32(reg) + u32(4) + text("hello, world"))             # LoadConst String
    block.append(u32(83) + u32(reg + 1) + text("print") + u64(2) + u32(0) + u32(1) + u32(1000))  # Call
    block.append(u32(78) + u32(2) + u32(5) + u32(9))                             # JumpIf
    block = b"".join(block)
    per_block = 16 * 3 + 3
    blocks = max(1, (target - 42) // len(block))
    body = block * blocks
    meta = b"\x01" + b"\x01" + text("bench.vekl") + b"\x00" + b"\x01" + text("0.1.0") + b"\x00" \
        + u64(0) + u64(0) + u64(0) + u64(0)
    return b"\x01" + u64(blocks * per_block) + body + bytes(32) + meta


def best(fn, runs=RUNS):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    data = build_program(TARGET_BYTES)
    as_list = list(data)
    ok = {"success": True, "output": "Execution successful"}
    assert quarn_py.execute_bytecode(data) == ok
    assert quarn_py.execute_bytecode(as_list) == ok
    assert bytes(as_list) == data

    mb = len(data) / 1e6
    t_bytes = best(lambda: quarn_py.execute_bytecode(data))
    t_list = best(lambda: quarn_py.execute_bytecode(as_list))
    t_peer = best(lambda: bytes(as_list))
    print(f"program: {mb:.1f} MB")
    print(f"execute_bytecode(bytes)  {mb / t_bytes:9.0f} MB/s")
    print(f"execute_bytecode(list)   {mb / t_list:9.0f} MB/s")
    print(f"bytes(list)              {mb / t_peer:9.0f} MB/s")
    print(f"list path / bytes(list): {t_peer / t_list:.2f}x  (target >= 0.7x)")
    print(f"bytes path: {mb / t_bytes / 1000:.2f} GB/s  (target >= 1 GB/s)")


if __name__ == "__main__":
    main()
