"""Clinical functions against their pure-Python peers, measured in one run.

Prints, for each function and note size, the best time of several runs of
quarn_py and of each peer, and the ratio peer time / quarn_py time (above 1.0
means quarn_py is faster). Times are the CPU time of the calling thread (of
the child process for b3sum), so that other load on a shared machine moves
both sides alike. Every peer is first checked to give the same result as
quarn_py on the corpus, so the ratios compare equal work.

Run: PYTHONPATH=<build dir> python3 bench/bench_clinical.py [--quick]
"""
import hashlib
import json
import os
import random
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import quarn_py

QUICK = "--quick" in sys.argv

# ---------------------------------------------------------------------------
# Corpus: realistic clinical English with dictionary terms in mixed case,
# readings such as 120/80 and 2.5mg, punctuation clinging to words, and about
# one word in a hundred outside ASCII.

COMMON = ("the patient was is and with for of to in on at a no denies reports "
          "presents history since last week today morning night mild severe "
          "acute chronic bilateral left right noted started continue follow up "
          "given daily twice per oral dose review plan stable improved worse "
          "normal exam lab result pending family social smoking alcohol "
          "admitted discharged clinic visit").split()
TERMS = ("pain fever cough dyspnea chest pain headache aspirin ibuprofen "
         "amoxicillin lisinopril metformin diabetes hypertension asthma copd "
         "pneumonia biopsy MRI CT scan x-ray xray ultrasound heart lung liver "
         "kidney brain painful spain").split()
NON_ASCII = ["café", "naïve", "Müller", "résumé", "São", "fièvre", "Ωmega", "ΟΔΟΣ",
             "İzmir", "東京", "Straße", "Ærø", "piñata", "Łódź", "crème"]
READINGS = ["120/80", "2.5mg", "98.6F", "10mg", "#12", "3x", "0.5%", "7/10", "72bpm"]
PUNCT_AFTER = ["", "", "", "", ",", ".", ";", ":", ")", "!"]
PUNCT_BEFORE = ["", "", "", "", "", "", "(", "\""]


def make_note(size, seed=7):
    rng = random.Random(seed)
    words = []
    total = 0
    while total < size:
        r = rng.random()
        if r < 0.01:
            w = rng.choice(NON_ASCII)
        elif r < 0.12:
            w = rng.choice(TERMS)
        elif r < 0.18:
            w = rng.choice(READINGS)
        else:
            w = rng.choice(COMMON)
        if rng.random() < 0.1:
            w = w.capitalize()
        w = rng.choice(PUNCT_BEFORE) + w + rng.choice(PUNCT_AFTER)
        words.append(w)
        total += len(w) + 1
        if rng.random() < 0.05:
            words.append("\n")
    return " ".join(words)[:size]


# ---------------------------------------------------------------------------
# Peers.

# The exact tokenizer and the dictionary, as the clinical tests state them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from test_clinical_reference import TERMS as FLAT, tokenize as py_tokenize  # noqa: E402

_ASCII_ALNUM = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")


def _alnum_before(lb, s):
    b = lb[s - 1]
    if b < 0x80:
        return b in _ASCII_ALNUM
    k = s - 1
    while lb[k] & 0xC0 == 0x80:
        k -= 1
    return lb[k:s].decode().isalnum()


def _alnum_after(lb, e):
    b = lb[e]
    if b < 0x80:
        return b in _ASCII_ALNUM
    k = e + 1
    while k < len(lb) and lb[k] & 0xC0 == 0x80:
        k += 1
    return lb[e:k].decode().isalnum()


def py_entities(text):
    """The algorithm as written, one find loop per term, on the UTF-8 bytes
    of the lower-cased note (so offsets need no character counting)."""
    lb = text.lower().encode()
    n = len(lb)
    recs = []
    for term, cat in FLAT:
        t = term.encode()
        p = 0
        while True:
            s = lb.find(t, p)
            if s < 0:
                break
            e = s + len(t)
            if (s == 0 or not _alnum_before(lb, s)) and (e == n or not _alnum_after(lb, e)):
                recs.append({"text": term, "type": cat, "start": s, "end": e})
            p = s + 1
    recs.sort(key=lambda r: r["start"])
    out = []
    for r in recs:
        if out and out[-1]["start"] == r["start"] and out[-1]["end"] == r["end"]:
            continue
        out.append(r)
    return out


_CAT = {t: c for t, c in FLAT}
# At most one term can match at a position (no term is a prefix of another),
# so one alternation inside a look-ahead finds every overlapping occurrence.
_RX = re.compile(r"(?<![^\W_])(?=(" + "|".join(re.escape(t) for t, _ in FLAT) + r")(?![^\W_]))")


def regex_entities(text):
    low = text.lower()
    out = []
    byte_pos = 0
    char_pos = 0
    ascii_only = low.isascii()
    for m in _RX.finditer(low):
        s = m.start()
        if not ascii_only:
            byte_pos += len(low[char_pos:s].encode())
            char_pos = s
            s = byte_pos
        term = m.group(1)
        out.append({"text": term, "type": _CAT[term], "start": s, "end": s + len(term)})
    return out


def py_create(note_id, entities_json, timestamp):
    try:
        value = json.loads(entities_json)
    except ValueError:
        value = None
    record = {"entities": value, "hash": hashlib.blake2b(entities_json.encode()).hexdigest(),
              "note_id": note_id, "timestamp": timestamp}
    return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def py_verify(audit_json, entities_json):
    return json.loads(audit_json)["hash"] == hashlib.blake2b(entities_json.encode()).hexdigest()


# ---------------------------------------------------------------------------
# Timing.

def best(fn, *args, runs=None, budget=1.5, batch=1):
    """Best thread CPU time of fn(*args): at least 3 runs, more while the
    whole takes less than `budget` seconds of wall time. With `batch`, each
    run times that many calls and counts their mean, so that reading the
    clock (about 0.6 us) does not weigh on calls of a few microseconds."""
    times = []
    start = time.perf_counter()
    while True:
        t0 = time.thread_time()
        for _ in range(batch):
            fn(*args)
        times.append((time.thread_time() - t0) / batch)
        if runs is not None and len(times) >= runs:
            break
        if runs is None and len(times) >= 3 and time.perf_counter() - start > budget:
            break
        if len(times) >= 200:
            break
    return min(times)


def batch_for(fn, *args, sample=1e-3):
    """Calls per run so that a run of fn(*args) takes about `sample` seconds."""
    fn(*args)
    t0 = time.thread_time()
    fn(*args)
    return max(1, int(sample / max(time.thread_time() - t0, 1e-7)))


def child_cpu(fn):
    """CPU time (user + system) of the child processes fn runs."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    fn()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def fmt(t):
    return f"{t * 1e3:9.3f} ms"


def row(label, ours, peers):
    parts = [f"{label:<34} quarn_py {fmt(ours)}"]
    for name, t in peers:
        parts.append(f"{name} {fmt(t)} ({t / ours:5.2f}x)")
    print("  ".join(parts))


SIZES = [("1 KB", 1 << 10), ("100 KB", 100 << 10), ("10 MB", 10 << 20)]


def bench_tokenize():
    print("== tokenize (ratios: peer time / quarn_py time)")
    for label, size in SIZES:
        note = make_note(size)
        assert quarn_py.tokenize(note) == py_tokenize(note), "peer disagrees"
        budget = 1.0 if QUICK else 2.0
        ours = best(quarn_py.tokenize, note, budget=budget)
        split = best(lambda t: t.lower().split(), note, budget=budget)
        pure = best(py_tokenize, note, budget=budget)
        row(f"tokenize {label}", ours, [("lower().split()", split), ("pure Python", pure)])


def bench_entities():
    print("== extract_entities")
    for label, size in SIZES:
        note = make_note(size)
        ours_result = quarn_py.extract_entities(note)
        assert ours_result == py_entities(note), "find-loop peer disagrees"
        assert ours_result == regex_entities(note), "regex peer disagrees"
        budget = 1.0 if QUICK else 2.0
        ours, finds, rx = (best(fn, note, budget=budget, batch=batch_for(fn, note))
                           for fn in (quarn_py.extract_entities, py_entities, regex_entities))
        row(f"extract_entities {label} ({len(ours_result)})", ours,
            [("find loop", finds), ("regex", rx)])


def bench_blake3():
    print("== BLAKE3 in verify_audit vs b3sum --num-threads 1 (64 MB)")
    b3sum = shutil.which("b3sum")
    size = 64 << 20
    text = ("abcdefghijklmnopqrstuvwxyz0123456789" * (size // 36 + 1))[:size]
    audit = quarn_py.create_audit("n", "", 0)
    with tempfile.NamedTemporaryFile(dir="/dev/shm" if os.path.isdir("/dev/shm") else None,
                                     delete=False) as f:
        f.write(text.encode())
        path = f.name
    try:
        ours = best(quarn_py.verify_audit, audit, text, runs=7)
        if b3sum is None:
            print(f"verify_audit 64 MB: {fmt(ours)} ({size / ours / 1e9:.2f} GB/s); b3sum not found")
            return
        peer = min(child_cpu(lambda: subprocess.run([b3sum, "--num-threads", "1", path],
                                                    check=True, stdout=subprocess.DEVNULL))
                   for _ in range(7))
        print(f"{'verify_audit 64 MB':<34} quarn_py {fmt(ours)} ({size / ours / 1e9:.2f} GB/s)  "
              f"b3sum {fmt(peer)} ({size / peer / 1e9:.2f} GB/s)  throughput ratio "
              f"{peer / ours:.2f}x")
    finally:
        os.unlink(path)


def bench_audit():
    print("== create_audit / verify_audit on 10,000 entities")
    rng = random.Random(3)
    entities = []
    for i in range(10_000):
        term, cat = rng.choice(FLAT)
        start = rng.randrange(1_000_000)
        entities.append({"text": term, "type": cat, "start": start, "end": start + len(term)})
    ej = json.dumps(entities)
    ours_record = quarn_py.create_audit("note-123", ej, 1234567890)
    peer_record = py_create("note-123", ej, 1234567890)
    assert json.loads(ours_record)["entities"] == json.loads(peer_record)["entities"]
    assert quarn_py.verify_audit(ours_record, ej) and py_verify(peer_record, ej)
    ours = best(quarn_py.create_audit, "note-123", ej, 1234567890)
    peer = best(py_create, "note-123", ej, 1234567890)
    row(f"create_audit ({len(ej)} B)", ours, [("json+blake2b", peer)])
    ours = best(quarn_py.verify_audit, ours_record, ej)
    peer = best(py_verify, peer_record, ej)
    row(f"verify_audit ({len(ours_record)} B)", ours, [("json+blake2b", peer)])


if __name__ == "__main__":
    bench_tokenize()
    bench_entities()
    bench_audit()
    bench_blake3()
