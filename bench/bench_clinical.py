"""Clinical functions against their peers, measured in one run.

Peers are plain Python (a find loop, the stdlib re module, json + hashlib)
and PyPI packages (pyahocorasick, flashtext, regex, orjson, blake3, and the
b3sum program), see clinical_peers.py. Prints, for each function and note
size, the best time of several runs of quarn_py and of each peer, and the
ratio peer time / quarn_py time (above 1.0 means quarn_py is faster), then a
summary with a "behind:" line for every peer that is faster than quarn_py.

Times are the CPU time of the calling thread (of the child process for
b3sum), so that other load on a shared machine moves both sides alike, and
the runs of quarn_py and of its peers take turns round by round, so that a
burst of noise hits all of them rather than one. Every peer is first checked
to give the same result as quarn_py on the corpus, so the ratios compare
equal work; a peer that disagrees stops the run with a non-zero exit. The
only exception is the lower().split() baseline of tokenize, marked as such.

Run: python3 bench/bench_clinical.py [--quick]   (quarn_py importable; with
--quick the largest note is 1 MB instead of 10 MB and runs are shorter)
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

try:
    import quarn_py
except ImportError as exc:
    sys.exit(f"bench_clinical: cannot import quarn_py ({exc}); install it into "
             f"this interpreter's environment ({sys.executable}) or set PYTHONPATH")

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

# The exact tokenizer and the dictionary, as the clinical tests state them,
# and the package peers next to this file (also when not run as a script).
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(_HERE, "..", "tests", "python"))
sys.path.insert(0, _HERE)
from test_clinical_reference import TERMS as FLAT, tokenize as py_tokenize  # noqa: E402
import clinical_peers as pkg  # noqa: E402  (exits naming any missing package)

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
# Identity checks. Plain code rather than assert statements, so that they
# also hold under python -O; the first disagreement ends the run non-zero.

def same(what, got, want):
    if got == want:
        return
    detail = ""
    if isinstance(got, list) and isinstance(want, list):
        k = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        detail = (f" (lengths {len(got)} and {len(want)}; first difference at index {k}: "
                  f"{got[k] if k < len(got) else '<end>'!r} vs quarn_py "
                  f"{want[k] if k < len(want) else '<end>'!r})")
    elif isinstance(got, str) and isinstance(want, str):
        k = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        detail = f" (first difference at {k}: {got[k:k + 40]!r} vs quarn_py {want[k:k + 40]!r})"
    else:
        detail = f" ({got!r} vs quarn_py {want!r})"
    sys.exit(f"bench_clinical: IDENTITY FAILED: {what} disagrees with quarn_py{detail}")


# ---------------------------------------------------------------------------
# Timing.

def cpu_timer(fn, *args, batch=1):
    """One timed run: thread CPU time of `batch` calls, per call. Batching
    keeps reading the clock (about 0.6 us) off calls of a few microseconds."""
    def run():
        t0 = time.thread_time()
        for _ in range(batch):
            fn(*args)
        return (time.thread_time() - t0) / batch
    return run


def child_cpu(fn):
    """CPU time (user + system) of the child processes fn runs."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    fn()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def checked_batch(fn, *args, sample=1e-3):
    """Calls fn once, returns (result, calls per run for a run of about
    `sample` seconds): the identity check's own call sizes the batch."""
    t0 = time.thread_time()
    result = fn(*args)
    spent = time.thread_time() - t0
    if spent < 1e-4:  # too short to size a batch from one cold call
        t0 = time.thread_time()
        for _ in range(10):
            fn(*args)
        spent = (time.thread_time() - t0) / 10
    return result, max(1, int(sample / max(spent, 1e-7)))


def race(timers, budget, min_rounds=3, max_rounds=200):
    """Best time of each timer. Rounds run every timer once, in an order
    rotated each round; at least min_rounds rounds, more while the whole
    takes less than `budget` seconds of wall time."""
    best = [float("inf")] * len(timers)
    start = time.perf_counter()
    rounds = 0
    while True:
        for k in range(len(timers)):
            i = (k + rounds) % len(timers)
            best[i] = min(best[i], timers[i]())
        rounds += 1
        if rounds >= max_rounds or (rounds >= min_rounds and time.perf_counter() - start > budget):
            return best


QUICK = "--quick" in sys.argv
BUDGET = 0.6 if QUICK else 2.0
SAMPLE = 1e-3 if QUICK else 3e-3
SIZES = [("1 KB", 1 << 10), ("100 KB", 100 << 10)] + \
    ([("1 MB", 1 << 20)] if QUICK else [("10 MB", 10 << 20)])
RESULTS = []  # (label, quarn_py time, [(peer, time)])
BASELINES = {"lower().split()"}  # peers doing less work, kept for scale
_NOTES = {}


def note_of(size):
    if size not in _NOTES:
        _NOTES[size] = make_note(size)
    return _NOTES[size]


def fmt(t):
    return f"{t * 1e6:9.2f} us" if t < 1e-3 else f"{t * 1e3:9.3f} ms"


def row(label, ours, peers):
    RESULTS.append((label, ours, peers))
    print(f"{label:<36} quarn_py {fmt(ours)}")
    for name, t in peers:
        print(f"{'':<38}{name:<28} {fmt(t)}  ({t / ours:6.2f}x)")


def measure(label, ours, peers, *args):
    """Checks every peer against quarn_py on args, then races them all.
    peers: (name, fn) or (name, fn, project), where project maps both
    results to the part the peer can match; baselines are not checked."""
    want, ours_batch = checked_batch(ours, *args, sample=SAMPLE)
    timers = [cpu_timer(ours, *args, batch=ours_batch)]
    for name, fn, *project in peers:
        got, batch = checked_batch(fn, *args, sample=SAMPLE)
        if project:
            same(f"{label}: {name}", project[0](got), project[0](want))
        elif name not in BASELINES:
            same(f"{label}: {name}", got, want)
        timers.append(cpu_timer(fn, *args, batch=batch))
    times = race(timers, BUDGET)
    row(label, times[0], list(zip((p[0] for p in peers), times[1:])))
    return want


# ---------------------------------------------------------------------------
# The functions.

# Where the corpus cannot reach: the Unicode cases the package peers are
# meant to cover (non-ASCII offsets, length-changing lower case, final sigma,
# characters that are Alphabetic but not str.isalnum such as U+24D0 and
# U+0345, underscore and hyphen boundaries, nesting). Checked once, untimed.
# The find loop and stdlib re peers test boundaries with str.isalnum and so
# hold on the corpus only.
EDGE_NOTES = [
    "", "Chest Pain", "heart pain", "painful pain2 spain mris", "pain. (pain) back-pain _pain_ mri's",
    "chest  pain chest\npain CT-scan", "pain pain", "fièvre pain", "İ pain", "İpain",
    "ΟΔΟΣ pain ΣΣpain", "\u212aPain", "chest chest pain", "ct ct scan", "xpain painx éxray xrayé",
    "ⓐpain pain\u0345 \u0301pain ２pain pain² a\u200bpain", "CHEST PAIN,PAIN", "ct scanner, ct scan",
    "Hello, World! e.g. ΟΔΟΣ", "__init__ #12 2.5mg, (BP) --", "a\u3000b\u00a0c\u200bd", "Straße İzmir ǅ Å",
]


def check_edges():
    for text in EDGE_NOTES:
        want = quarn_py.extract_entities(text)
        for name, fn in ENTITY_PEERS:
            if fn in (regex_entities, py_entities):
                continue
            same(f"extract_entities on {text!r}: {name}", fn(text), want)
        same(f"tokenize on {text!r}: regex", pkg.regex_tokenize(text), quarn_py.tokenize(text))


TOKENIZE_PEERS = [("regex", pkg.regex_tokenize), ("pure Python", py_tokenize),
                  ("lower().split()", lambda t: t.lower().split())]
ENTITY_PEERS = [("pyahocorasick", pkg.aho_entities), ("flashtext (+nested)", pkg.flashtext_entities),
                ("regex overlapped", pkg.regex_overlapped_entities), ("re (stdlib)", regex_entities),
                ("find loop", py_entities)]


def bench_tokenize():
    print("== tokenize (ratios: peer time / quarn_py time; lower().split() is a baseline that "
          "neither trims nor is checked)")
    for label, size in SIZES:
        measure(f"tokenize {label}", quarn_py.tokenize, TOKENIZE_PEERS, note_of(size))


def bench_entities():
    print("== extract_entities")
    for label, size in SIZES:
        note = note_of(size)
        n = len(quarn_py.extract_entities(note))
        measure(f"extract_entities {label} ({n})", quarn_py.extract_entities, ENTITY_PEERS, note)


def bench_audit():
    print("== create_audit / verify_audit on 10,000 entities")
    rng = random.Random(3)
    entities = []
    for i in range(10_000):
        term, cat = rng.choice(FLAT)
        start = rng.randrange(1_000_000)
        entities.append({"text": term, "type": cat, "start": start, "end": start + len(term)})
    ej = json.dumps(entities)
    args = ("note-123", ej, 1234567890)
    ours_record = quarn_py.create_audit(*args)

    # json + blake2b does the same parse, sort and write, but hashes with
    # BLAKE2b (hashlib has no BLAKE3): only its entities can be compared.
    peer_record = py_create(*args)
    same("create_audit: json+blake2b entities", json.loads(peer_record)["entities"],
         json.loads(ours_record)["entities"])
    if not (quarn_py.verify_audit(ours_record, ej) and py_verify(peer_record, ej)):
        sys.exit("bench_clinical: IDENTITY FAILED: verify_audit or json+blake2b rejects its record")

    # orjson + blake3 writes the very same record.
    same("create_audit: orjson+blake3 record", pkg.orjson_create(*args), ours_record)
    for record, text in ((ours_record, ej), (ours_record, ej + " "), (ours_record, ej.replace("1", "2", 1)),
                         (ours_record.replace('"hash":"', '"hash":"A', 1), ej)):
        same("verify_audit: orjson+blake3", pkg.orjson_verify(record, text),
             quarn_py.verify_audit(record, text))
    for record in ("[]", '{"hash":5}', "{", '{"note_id":"n"}'):
        errors = []
        for fn in (pkg.orjson_verify, quarn_py.verify_audit):
            try:
                errors.append(fn(record, ej))
            except ValueError as exc:
                errors.append(f"ValueError {exc}")
        same(f"verify_audit on {record!r}: orjson+blake3", errors[0], errors[1])
    # Escapes, key order by bytes, repeated keys, integers at the 64-bit
    # edges, negative exponents, invalid texts, the deepest accepted nesting
    # (orjson takes deeper ones too, where quarn_py gives null: not checked).
    for text in ['[{"b":1,"a":2,"a":3,"\u00e9":1,'
                 '"z":"\\u001f\\b\\u007f/\\\\ \\u2028 \\ud83d\\ude00 \\"\\n\\t\\r\\f"}]',
                 "[1.0, 1.5e-7, 0.1, -0.0, 18446744073709551615, -9223372036854775808, 1e-5, 5e-324]",
                 "not json", "[1, 2] x", "", " [] ", "[" * 127 + "]" * 127, "1e400", '"\u00e9\u6771"']:
        same(f"create_audit on {text[:30]!r}: orjson+blake3", pkg.orjson_create("n\u00e9\"", text, 0),
             quarn_py.create_audit("n\u00e9\"", text, 0))

    def entities_of(record):
        return json.loads(record)["entities"]

    measure(f"create_audit ({len(ej)} B)", quarn_py.create_audit,
            [("orjson+blake3", pkg.orjson_create), ("json+blake2b", py_create, entities_of)], *args)
    # The json+blake2b peer checks its own record (same length), since a
    # BLAKE2b digest never matches quarn_py's BLAKE3 one.
    measure(f"verify_audit ({len(ours_record)} B)", quarn_py.verify_audit,
            [("orjson+blake3", pkg.orjson_verify),
             ("json+blake2b", lambda _record, text: py_verify(peer_record, text))], ours_record, ej)


def bench_blake3():
    size = 64 << 20
    print(f"== BLAKE3 in verify_audit vs b3sum --num-threads 1 and the blake3 package "
          f"(max_threads=1), {size >> 20} MB")
    text = ("abcdefghijklmnopqrstuvwxyz0123456789" * (size // 36 + 1))[:size]
    data = text.encode()
    audit = quarn_py.create_audit("n", text, 0)
    digest = json.loads(audit)["hash"]
    same("BLAKE3 of 64 MB: blake3 package", pkg.blake3_hex(data), digest)
    same("verify_audit 64 MB: orjson+blake3", pkg.orjson_verify(audit, text),
         quarn_py.verify_audit(audit, text))
    if not quarn_py.verify_audit(audit, text):
        sys.exit("bench_clinical: IDENTITY FAILED: verify_audit rejects its own 64 MB record")
    b3sum = shutil.which("b3sum")
    peers = [("blake3 pkg (bytes only)", cpu_timer(pkg.blake3_hex, data)),
             ("orjson+blake3 verify", cpu_timer(pkg.orjson_verify, audit, text))]
    path = None
    try:
        if b3sum is None:
            print("   (b3sum not found: that peer is skipped)")
        else:
            with tempfile.NamedTemporaryFile(dir="/dev/shm" if os.path.isdir("/dev/shm") else None,
                                             delete=False) as f:
                f.write(data)
                path = f.name
            cmd = [b3sum, "--num-threads", "1", path]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            same("BLAKE3 of 64 MB: b3sum", out.split()[0], digest)
            peers.insert(0, ("b3sum --num-threads 1", lambda: child_cpu(
                lambda: subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL))))
        times = race([cpu_timer(quarn_py.verify_audit, audit, text)] + [t for _, t in peers],
                     BUDGET, min_rounds=3 if QUICK else 7)
    finally:
        if path:
            os.unlink(path)
    row(f"verify_audit {size >> 20} MB", times[0], list(zip((n for n, _ in peers), times[1:])))
    print(f"{'':<38}throughput: quarn_py {size / times[0] / 1e9:.2f} GB/s, "
          + ", ".join(f"{n} {size / t / 1e9:.2f} GB/s" for (n, _), t in zip(peers, times[1:])))


def summary():
    print("== summary: peer time / quarn_py time (above 1.00 quarn_py is faster; * baseline "
          "doing less work)")
    behind = []
    for label, ours, peers in RESULTS:
        cells = []
        for name, t in peers:
            mark = "*" if name in BASELINES else ""
            cells.append(f"{name}{mark} {t / ours:.2f}x")
            if t < ours:
                behind.append((label, ours, name + mark, t))
        print(f"{label:<36} " + " | ".join(cells))
    for label, ours, name, t in behind:
        print(f"behind: {label}: {name} is faster, {fmt(t).strip()} vs quarn_py {fmt(ours).strip()} "
              f"(ratio {t / ours:.2f}x; quarn_py takes {ours / t:.2f}x its time, "
              f"+{(ours / t - 1) * 100:.0f}%)")
    if not behind:
        print("behind: none (quarn_py is at least as fast as every peer)")


if __name__ == "__main__":
    t0 = time.perf_counter()
    check_edges()
    bench_tokenize()
    bench_entities()
    bench_audit()
    bench_blake3()
    summary()
    print(f"(done in {time.perf_counter() - t0:.0f} s wall{', --quick' if QUICK else ''})")
