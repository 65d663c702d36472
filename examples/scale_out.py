"""Processing a large collection of clinical notes (or compiling a large batch
of programs) in parallel: on a dask.distributed cluster, or with Dask's
single-machine schedulers.

Every note is tokenized, its entities extracted and serialised in one fixed
form, the extraction sealed in an audit record, and the record verified. The
only input that is not part of the note is the audit's time stamp, and it is
fixed per run here (not read from the clock inside a task) so that a task
the cluster retries, or re-runs on another worker after one died, produces a
byte-identical audit.

On a cluster
------------

    from dask.distributed import Client
    client = Client("tcp://scheduler-host:8786")
    # Notes in JSON Lines files on storage every worker sees: the client
    # sends a file name and a byte range per task, the workers read.
    results = process_files_on_cluster(client, paths, timestamp=1_700_000_000,
                                       out_dir="/shared/audits")
    # Notes in this process: each task carries its partition, packed.
    results = process_on_cluster(client, notes, timestamp=1_700_000_000)
    records = records_of(results)      # what process_serially(notes, ...) gives

Work goes out in partitions of about PARTITION_BYTES (2 MiB) of notes, one
task each: byte ranges of the files, or runs of the in-memory notes counted
in UTF-8 bytes plus NOTE_FIXED_BYTES per note (not by a count of notes: see
below). A result is one compact dict per partition: its counts (notes,
tokens, entities by type), the ids of any audits that failed to verify, and,
unless keep_records=False, its records as four flat lists. With out_dir=,
each worker writes its partition's records to out_dir/part-NNNNN.jsonl
(under a temporary name, then renamed: whole or not at all) and only the
counts come back, which is what a run over millions of notes wants. The
audit time stamp is fixed for the run, so a partition that is run again
(its worker died, or the scheduler retried it) writes the same records, and
results are keyed by partition index, so its second run replaces the first
rather than adding to it. Every worker needs quarn_py installed (for example
from the wheel that `pip wheel .` builds) and this module importable.

    PYTHONPATH=examples .venvs/3.12/bin/python examples/scale_out.py --cluster tcp://host:8786
    .venvs/3.12/bin/python examples/scale_out.py --cluster local --notes 100000 --via-file

run a generated corpus on a running cluster (or on a LocalCluster of
--workers single-thread worker processes), check it against a serial run
and verify every audit. Figures from bench/bench_cluster.py on the 2-core
development machine (100,000 visit notes of ~190 bytes, 2 worker processes
of one thread each):

    notes from               serial CPU  workers CPU  client CPU  bound on 2 idle cores
    a file, counts returned    1.60 s      1.55 s       0.05 s      2.00x
    memory, counts returned    1.23 s      1.40 s       0.20 s      1.53x
    memory, records returned   1.25 s      1.63 s       0.33 s      1.28x

(The serial loop with the file parses its JSON too, hence its longer time.)
The bound is what the CPU time allows: the cluster's work plus its own
overhead, spread over both cores, against the serial loop's CPU time. The
machine was shared with other builds when these were taken, and Linux then
shares the cores between sessions, not processes: the serial loop kept 0.85
of a core busy, the whole cluster (three processes) only 0.75 to 1.1 cores,
so the wall-clock ratios of that run (1.31x from a file, 1.00x and 0.81x
from memory) say more about the other load than about the cluster. What the bound leaves out of 2x is the
cluster's own CPU: for notes in a file almost nothing (tasks name a file
range, the workers read); for notes in memory, this process cutting,
packing and pickling 19 MB of notes and the scheduler (which LocalCluster
runs in the same process) passing them on, and the workers unpacking them;
returning every record adds the 86 MB of records travelling back. On a
real cluster the client and the scheduler have cores of their own.

Why bytes, and why 2 MiB: the pipeline's time grows with a note's length
(about 33 ns a byte on long notes: tokenizing and the dictionary search
scan every byte, and the entities they find grow with it), plus some 6 us
a note for the calls themselves (a 190-byte visit note takes 12 us, a 32 KB
discharge summary 1.1 ms). A count of notes would make tasks of wildly
different lengths as soon as note lengths vary; a byte budget (with a
note's fixed part counted as NOTE_FIXED_BYTES) keeps every task near the
same time. A task also costs the cluster a few milliseconds of CPU of its
own (the client, the scheduler and the worker each handle it, and its
notes travel), so it must carry much more than that: 2 MiB is 60-70 ms of
work, and the cluster's own CPU time (100,000 notes read from a file by 2
workers) came to about 15% of the work with 512 KiB partitions, 7-10% with
1 MiB and 3-5% with 2 and 4 MiB.
Larger partitions gain little more, and cost elsewhere: the last partition
to finish keeps the other workers idle for up to its length, and a worker
that dies takes up to a partition's work per task it held.

On one machine
--------------

Two of Dask's local schedulers suit this work as well (process_with_dask):

- threads ("threads"): quarn_py releases the interpreter lock while it works
  on a note of more than a few kilobytes, so a pool of threads in one process
  uses every core, with no pickling of notes or results; small notes gain
  less, as their calls hold the lock for most of their (short) time.
- processes ("processes"): the functions hold no state and pickle by
  reference, so they run unchanged in worker processes; each task's notes
  and results are pickled to and from the workers.

    .venvs/3.12/bin/python examples/scale_out.py --notes 20000

runs a generated corpus through both (or the one named by --scheduler).
Figures from the idle 2-core development machine, with --workers 2:

    10,000 visit notes of ~300 bytes  serial 0.22 s  threads 0.80 s  processes 0.89 s
    600 notes of 32 KB (--note-kb 32)  serial 1.26 s  threads 1.09 s  processes 1.93 s

Here a task carries one note per item of a Dask bag, and for short notes
the cost of moving every note and result between processes one at a time
is larger than the work: the cluster path's partitions are what pays off.
"""


from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
import time
import uuid
from array import array
from collections import Counter
from itertools import accumulate, chain
from pathlib import Path
from typing import Iterable

import quarn_py

# Entities are serialised in one fixed form, since the audit hash covers the
# exact text: the same entities written with other spacing or key order would
# give another hash.
ENTITIES_JSON_SEPARATORS = (",", ":")


def entities_json_of(entities: list[dict]) -> str:
    return json.dumps(entities, separators=ENTITIES_JSON_SEPARATORS, ensure_ascii=False)


def process_note(note: tuple[str, str], timestamp: int) -> dict:
    """Tokenizes, extracts and seals one (note_id, text) pair. Pure: the same
    note and time stamp always give the same result."""
    note_id, text = note
    tokens = quarn_py.tokenize(text)
    entities = quarn_py.extract_entities(text)
    entities_json = entities_json_of(entities)
    audit = quarn_py.create_audit(note_id, entities_json, timestamp=timestamp)
    return {
        "note_id": note_id,
        "token_count": len(tokens),
        "entities_json": entities_json,
        "audit": audit,
    }


def process_serially(notes: Iterable[tuple[str, str]], timestamp: int) -> list[dict]:
    return [process_note(note, timestamp) for note in notes]


# --- on a dask.distributed cluster ---------------------------------------------

# The work a partition should carry: see the module's notes on sizes.
PARTITION_BYTES = 2 << 20
# What a note's fixed steps (four calls into quarn_py and a json.dumps) cost,
# in bytes of text that take as long (some 6 us at 33 ns a byte, rounded up).
NOTE_FIXED_BYTES = 256


def partition_bounds(sizes: list[int], target: int = PARTITION_BYTES) -> list[tuple[int, int]]:
    """Cuts items of the given sizes, in order, into [start, end) ranges of
    about `target` each: a range closes with the item that takes it to the
    target, so every range but the last holds at least that much, and at
    most one item's size more. No item is left out or repeated."""
    if target <= 0:
        raise ValueError("target must be positive")
    bounds = []
    start = total = 0
    for i, size in enumerate(sizes):
        total += size
        if total >= target:
            bounds.append((start, i + 1))
            start, total = i + 1, 0
    if start < len(sizes):
        bounds.append((start, len(sizes)))
    return bounds


def _joined(texts: list[str]) -> tuple[str, array]:
    return "".join(texts), array("Q", accumulate(map(len, texts)))


def _split(joined: str, ends: array) -> list[str]:
    return [joined[s:e] for s, e in zip(chain((0,), ends), ends)]


def pack_notes(notes: list[tuple[str, str]]) -> tuple[str, array, str, array]:
    """A partition in a form that pickles at memory speed: the ids joined
    into one string and the texts into another, with where each one ends. A
    list of (id, text) pairs instead costs the client, the scheduler and the
    worker an object per note and per string to write and to read back."""
    return (*_joined([note_id for note_id, _ in notes]), *_joined([text for _, text in notes]))


def unpack_notes(packed: tuple[str, array, str, array]) -> list[tuple[str, str]]:
    ids, id_ends, texts, text_ends = packed
    return list(zip(_split(ids, id_ends), _split(texts, text_ends)))


def utf8_size(text: str) -> int:
    # An ASCII str knows it is one (no scan), and its length is its size.
    return len(text) if text.isascii() else len(text.encode())


def partition_notes(notes: list[tuple[str, str]],
                    partition_bytes: int = PARTITION_BYTES) -> list[tuple[str, array, str, array]]:
    sizes = [utf8_size(text) + NOTE_FIXED_BYTES for _, text in notes]
    return [pack_notes(notes[s:e]) for s, e in partition_bounds(sizes, partition_bytes)]


def process_notes(notes: Iterable[tuple[str, str]], timestamp: int, *,
                  keep_records: bool = True) -> dict:
    """Every note through the pipeline, its audit verified as well: the
    counts (notes, tokens, entities by type), the ids of audits that failed
    to verify, and (keep_records) the records as four flat lists, which
    pickle as four objects rather than a dict per note."""
    columns = {"note_id": [], "token_count": [], "entities_json": [], "audit": []}
    types: Counter = Counter()
    count = tokens = 0
    unverified = []
    for note_id, text in notes:
        token_count = len(quarn_py.tokenize(text))
        entities = quarn_py.extract_entities(text)
        entities_json = entities_json_of(entities)
        audit = quarn_py.create_audit(note_id, entities_json, timestamp=timestamp)
        if not quarn_py.verify_audit(audit, entities_json):
            unverified.append(note_id)
        count += 1
        tokens += token_count
        types.update(e["type"] for e in entities)
        if keep_records:
            columns["note_id"].append(note_id)
            columns["token_count"].append(token_count)
            columns["entities_json"].append(entities_json)
            columns["audit"].append(audit)
    return {"notes": count, "tokens": tokens, "entity_types": dict(types),
            "unverified": unverified, "records": columns if keep_records else None}


def process_partition(index: int, packed, timestamp: int, *, keep_records: bool = True,
                      out_dir: str | None = None) -> dict:
    """process_notes over a packed partition, its result marked with the
    partition's index. With out_dir the records go to
    out_dir/part-<index>.jsonl instead of back to the caller, written under a
    temporary name and renamed, so that a retried task replaces the file
    whole and a reader never sees half of one."""
    result = process_notes(unpack_notes(packed), timestamp,
                           keep_records=keep_records or out_dir is not None)
    if out_dir is not None:
        _write_records(Path(out_dir) / f"part-{index:05d}.jsonl", result["records"])
        result["records"] = None
    return {"index": index, **result}


def _write_records(path: Path, columns: dict) -> None:
    # A name of its own per attempt: two attempts at one partition may
    # overlap (a worker the scheduler gave up on can still be writing), and
    # on storage that several hosts share a process id is not unique. An
    # attempt killed mid-write leaves its hidden .partial file behind; the
    # part files themselves are always whole.
    partial = path.with_name(f".{path.name}.{uuid.uuid4().hex}.partial")
    with open(partial, "w", encoding="utf-8") as f:
        for row in zip(*columns.values()):
            f.write(json.dumps(dict(zip(columns, row)), ensure_ascii=False, separators=(",", ":")))
            f.write("\n")
    os.replace(partial, path)


def records_of(results: list[dict]) -> list[dict]:
    """The per-note records of partition results, in note order: equal to what
    process_serially gives for the same notes and time stamp."""
    out = []
    for result in sorted(results, key=lambda r: r["index"]):
        columns = result["records"]
        if columns is None:
            raise ValueError(f"partition {result['index']} was run without keep_records")
        out += [dict(zip(columns, row)) for row in zip(*columns.values())]
    return out


def process_on_cluster(client, notes: list[tuple[str, str]], timestamp: int, *,
                       partition_bytes: int = PARTITION_BYTES, keep_records: bool = True,
                       out_dir: str | None = None, timeout: float | None = None) -> list[dict]:
    """process_partition over the notes' partitions on the client's cluster:
    one result per partition, in partition order (each carries its index).
    With a timeout (seconds), a run that has not finished by then raises
    TimeoutError instead of waiting on."""
    return gather(client, submit_notes(client, notes, timestamp, partition_bytes=partition_bytes,
                                       keep_records=keep_records, out_dir=out_dir), timeout)


def gather(client, futures: list, timeout: float | None = None) -> list:
    if timeout is not None:
        from distributed import wait

        wait(futures, timeout=timeout)
    return client.gather(futures)


def submit_notes(client, notes: list[tuple[str, str]], timestamp: int, *,
                 partition_bytes: int = PARTITION_BYTES, keep_records: bool = True,
                 out_dir: str | None = None) -> list:
    """The futures of process_on_cluster, one per partition, in order. Each
    task carries its partition's notes (one submit per partition, so no graph
    holds more than one partition), and so the scheduler can run it again on
    another worker if its worker dies, which notes scattered to a worker's
    memory would not allow."""
    run = uuid.uuid4().hex[:12]
    return [client.submit(process_partition, i, packed, timestamp, keep_records=keep_records,
                          out_dir=out_dir, key=f"quarn-notes-{run}-{i:05d}")
            for i, packed in enumerate(partition_notes(notes, partition_bytes))]


# --- notes in files, read by the workers --------------------------------------

def write_notes_file(path: str | os.PathLike, notes: Iterable[tuple[str, str]]) -> None:
    """Notes as JSON Lines, one {"note_id", "text"} object a line."""
    with open(path, "w", encoding="utf-8") as f:
        for note_id, text in notes:
            f.write(json.dumps({"note_id": note_id, "text": text}, ensure_ascii=False))
            f.write("\n")


def file_ranges(paths: list[str],
                partition_bytes: int = PARTITION_BYTES) -> list[tuple[str, int, int]]:
    """(path, start, end) byte ranges of about partition_bytes that cover the
    files. Only the files' sizes are needed: the ranges' ends fall anywhere,
    and read_notes_range settles which notes belong to which range."""
    if partition_bytes <= 0:
        raise ValueError("partition_bytes must be positive")
    ranges = []
    for path in paths:
        size = os.path.getsize(path)
        ranges += [(str(path), start, min(start + partition_bytes, size))
                   for start in range(0, size, partition_bytes)]
    return ranges


def read_notes_range(path: str, start: int, end: int) -> list[tuple[str, str]]:
    """The notes whose line begins in [start, end) of a JSON Lines file: the
    line that straddles `start` belongs to the range before, the one that
    straddles `end` to this one, so adjacent ranges share no note and miss
    none."""
    notes = []
    with open(path, "rb") as f:
        if start > 0:
            # Reading from the byte before: if it ends a line, the next line
            # starts at `start` and is ours; otherwise skip to the next line.
            f.seek(start - 1)
            f.readline()
        position = f.tell()
        while position < end:
            line = f.readline()
            if not line:
                break
            position += len(line)
            if line.strip():
                note = json.loads(line)
                notes.append((note["note_id"], note["text"]))
    return notes


def process_file_range(index: int, path: str, start: int, end: int, timestamp: int, *,
                       keep_records: bool = True, out_dir: str | None = None) -> dict:
    """process_partition for the notes of a range of a notes file: the task
    carries a file name and two numbers, and the worker reads the notes
    itself (the files must be on storage every worker sees)."""
    result = process_notes(read_notes_range(path, start, end), timestamp,
                           keep_records=keep_records or out_dir is not None)
    if out_dir is not None:
        _write_records(Path(out_dir) / f"part-{index:05d}.jsonl", result["records"])
        result["records"] = None
    return {"index": index, **result}


def submit_files(client, paths: list[str], timestamp: int, *,
                 partition_bytes: int = PARTITION_BYTES, keep_records: bool = True,
                 out_dir: str | None = None) -> list:
    """Futures of process_file_range over the files' ranges, in order."""
    run = uuid.uuid4().hex[:12]
    return [client.submit(process_file_range, i, path, start, end, timestamp,
                          keep_records=keep_records, out_dir=out_dir,
                          key=f"quarn-files-{run}-{i:05d}")
            for i, (path, start, end) in enumerate(file_ranges(paths, partition_bytes))]


def process_files_on_cluster(client, paths: list[str], timestamp: int, *,
                             timeout: float | None = None, **options) -> list[dict]:
    """process_on_cluster for notes that are already in files: the client
    never reads them, which is what a run over millions of notes wants."""
    return gather(client, submit_files(client, paths, timestamp, **options), timeout)


def compile_and_run(source: str) -> tuple:
    """(True, bytecode as bytes, the execution's result) for a program that
    compiles, (False, the compile error, None) for one that does not."""
    compiled = quarn_py.compile_source(source)
    if not compiled["success"]:
        return (False, compiled["error"], None)
    bytecode = bytes(compiled["bytecode"])
    return (True, bytecode, quarn_py.execute_bytecode(bytecode))


def compile_partition(index: int, sources: list[str]) -> tuple[int, list[tuple]]:
    # The bytecode goes back as bytes: a list of ints costs a pointer per byte
    # to pickle, send and read back, bytes cost one byte.
    return index, [compile_and_run(s) for s in sources]


def compile_on_cluster(client, sources: list[str], *, partition_bytes: int = PARTITION_BYTES,
                       timeout: float | None = None) -> list[tuple]:
    """compile_and_run over every source on the client's cluster, in order.
    Compiling and running a byte of these programs takes about as long as a
    byte of note takes through the notes' pipeline (some 34 ns), so the same
    partition size suits it."""
    run = uuid.uuid4().hex[:12]
    bounds = partition_bounds([utf8_size(s) + NOTE_FIXED_BYTES for s in sources], partition_bytes)
    futures = [client.submit(compile_partition, i, sources[s:e], key=f"quarn-compile-{run}-{i:05d}")
               for i, (s, e) in enumerate(bounds)]
    out = []
    for _, results in gather(client, futures, timeout):
        out += results
    return out


def generate_programs(count: int, seed: int = 2024, broken_every: int = 10) -> list[str]:
    """`count` small Quarn programs, the same for the same seed; every
    `broken_every`-th one has a syntax error (so failures travel too)."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        functions = []
        for j in range(rng.randint(1, 4)):
            callee = f"f{j - 1}(x, y)" if j > 0 else "x"
            functions.append(
                f"    fn f{j}(a: int, b: int) -> int {{\n"
                f"        let x = a + b * {rng.randint(2, 9)};\n"
                f"        let y = x - {rng.randint(1, 5)};\n"
                f"        if x > y {{ y = y + 1; }} else {{ y = y - 1; }}\n"
                f"        let i = 0;\n"
                f"        loop (i < {rng.randint(1, 20)}, 100) {{ i = i + 1; x = x + i; }}\n"
                f"        switch y {{ 1 => {{ x = 2; }} 2 | 3 => {{ x = 3; }} "
                f"_ => {{ x = 4; }} }}\n"
                f"        let z = {callee};\n"
                f"        return x + y + z;\n"
                f"    }}\n")
        call = f"f{len(functions) - 1}({rng.randint(0, 99)}, 2)"
        main = f"    fn main() {{ let r = {call}; print_str(\"p{i}\"); }}\n"
        if broken_every and i % broken_every == broken_every - 1:
            main = main.replace("let r =", "let r = ;")
        out.append(f"program p{i} {{\n" + "".join(functions) + main + "}\n")
    return out


def process_with_dask(notes: list[tuple[str, str]], timestamp: int, *,
                      partitions: int = 8, workers: int = 2,
                      scheduler: str | None = "processes") -> list[dict]:
    """The same results as process_serially, in the same order, computed by
    Dask: "processes" (the default), "threads", or None for a connected
    dask.distributed client."""
    import dask.bag as db

    bag = db.from_sequence(notes, npartitions=max(1, min(partitions, len(notes) or 1)))
    return bag.map(process_note, timestamp=timestamp).compute(**_where(scheduler, workers))


def _where(scheduler: str | None, workers: int) -> dict:
    """compute() arguments: a local scheduler with its pool size, or (None)
    whatever a connected dask.distributed client provides."""
    if scheduler is None:
        return {}
    return {"scheduler": scheduler, "num_workers": workers}


def entity_types(note: tuple[str, str]) -> list[str]:
    return [e["type"] for e in quarn_py.extract_entities(note[1])]


def entity_type_counts(notes: list[tuple[str, str]], *, partitions: int = 8,
                       workers: int = 2, scheduler: str | None = "processes") -> dict[str, int]:
    """How often each entity type occurs over the whole collection: a map and
    a reduction, computed in the workers."""
    import dask.bag as db

    bag = db.from_sequence(notes, npartitions=max(1, min(partitions, len(notes) or 1)))
    kinds = bag.map(entity_types)
    return dict(kinds.flatten().frequencies().compute(**_where(scheduler, workers)))


# --- a generated corpus -------------------------------------------------------

_OPENINGS = [
    "Patient presents with {s1} and {s2} since {n} days.",
    "{n}-year-old with a history of {c1} and {c2}.",
    "Seen in clinic for {s1}; denies {s2}.",
    "Follow-up visit. Known {c1}, on {m1} {n} mg daily.",
    "ED note: acute {s1}, tachycardic, BP {n}/80.",
]
_MIDDLES = [
    "Started {m1} and continued {m2}.",
    "Ordered {p1} of the {a1}; {p2} pending.",
    "Exam of the {a1} and {a2} unremarkable.",
    "Reports {s1} at night, worse with exertion.",
    "No {s2}, no {s1}. {c1} well controlled.",
    "Plan: {p1} today, review {m1} dose.",
]
_CLOSINGS = [
    "Return if {s1} worsens.",
    "Discussed {c1} management with the patient.",
    "Next review in {n} weeks.",
    "Café au lait spots noted; Ölander's sign negative.",
    "",
]
_WORDS = {
    "s": ["pain", "fever", "cough", "dyspnea", "chest pain", "headache", "fatigue", "nausea"],
    "m": ["aspirin", "ibuprofen", "amoxicillin", "lisinopril", "metformin", "insulin"],
    "c": ["diabetes", "hypertension", "asthma", "COPD", "pneumonia", "anaemia"],
    "p": ["biopsy", "MRI", "CT scan", "x-ray", "ultrasound", "ECG"],
    "a": ["heart", "lung", "liver", "kidney", "brain", "spleen"],
}


def generate_corpus(count: int, seed: int = 2024, min_size: int = 0) -> list[tuple[str, str]]:
    """`count` (note_id, text) pairs of realistic-looking notes, the same for
    the same seed; with `min_size`, each note runs on for as many paragraphs
    as make it at least that many characters (a discharge summary rather than
    a visit note)."""
    rng = random.Random(seed)

    def fill(template: str) -> str:
        values = {f"{k}{i}": rng.choice(words) for k, words in _WORDS.items() for i in (1, 2)}
        values["n"] = rng.randint(1, 99)
        text = template.format(**values)
        return text.upper() if rng.random() < 0.05 else text

    notes = []
    for i in range(count):
        text = ""
        while not text or len(text) < min_size:
            parts = [fill(rng.choice(_OPENINGS))]
            parts += [fill(rng.choice(_MIDDLES)) for _ in range(rng.randint(1, 4))]
            parts.append(fill(rng.choice(_CLOSINGS)))
            text += ("\n\n" if text else "") + " ".join(p for p in parts if p)
        notes.append((f"note-{i:07d}", text))
    return notes


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--notes", type=int, default=20000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--timestamp", type=int, default=1_700_000_000,
                        help="time stamp sealed into every audit (seconds since the epoch)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--scheduler", choices=["threads", "processes", "both"], default=None,
                        help="Dask's local schedulers to run (default: both, unless --cluster)")
    parser.add_argument("--cluster", metavar="ADDRESS",
                        help="run on the dask.distributed scheduler at ADDRESS, or with 'local' "
                             "on a LocalCluster of --workers single-thread worker processes")
    parser.add_argument("--partition-kb", type=float, default=PARTITION_BYTES / 1024,
                        help="bytes of notes per cluster task, in KiB")
    parser.add_argument("--via-file", action="store_true",
                        help="with --cluster: write the notes to a JSON Lines file that the "
                             "workers read (it must be on storage they all see)")
    parser.add_argument("--note-kb", type=float, default=0,
                        help="make every note at least this many kilobytes long")
    args = parser.parse_args(argv)

    notes = generate_corpus(args.notes, args.seed, int(args.note_kb * 1024))
    if args.scheduler is None:
        args.scheduler = None if args.cluster else "both"
    schedulers = {"both": ["threads", "processes"], None: []}.get(args.scheduler, [args.scheduler])
    started = time.perf_counter()
    process_serially(notes, args.timestamp)
    serial_time = time.perf_counter() - started
    print(f"{len(notes)} notes serially in {serial_time:.2f} s "
          f"({len(notes) / serial_time:,.0f} notes/s)")
    sample = notes[:: max(1, len(notes) // 500)]
    expected = {r["note_id"]: r for r in process_serially(sample, args.timestamp)}
    mismatches: list[str] = []
    unverified: list[str] = []

    def report(results: list[dict], elapsed: float, how: str) -> None:
        print(f"{len(results)} notes in {elapsed:.2f} s {how} "
              f"({len(results) / elapsed:,.0f} notes/s, {serial_time / elapsed:.2f}x serial)")
        by_id = {r["note_id"]: r for r in results}
        mismatches.extend(i for i, r in expected.items() if by_id.get(i) != r)
        if len(by_id) != len(notes):
            mismatches.append(f"{len(results)} results for {len(notes)} notes")

    if args.cluster:
        from dask.distributed import Client, LocalCluster

        cluster = None
        if args.cluster == "local":
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
        try:
            with Client(cluster or args.cluster) as client:
                partition_bytes = int(args.partition_kb * 1024)
                if args.via_file:
                    with tempfile.TemporaryDirectory() as folder:
                        path = os.path.join(folder, "notes.jsonl")
                        write_notes_file(path, notes)
                        started = time.perf_counter()
                        results = process_files_on_cluster(client, [path], args.timestamp,
                                                           partition_bytes=partition_bytes)
                        elapsed = time.perf_counter() - started
                else:
                    started = time.perf_counter()
                    results = process_on_cluster(client, notes, args.timestamp,
                                                 partition_bytes=partition_bytes)
                    elapsed = time.perf_counter() - started
                where = f"on {len(client.scheduler_info()['workers'])} cluster workers"
            report(records_of(results), elapsed, f"{where}, {len(results)} partitions")
            unverified += [i for r in results for i in r["unverified"]]
            types = Counter()
            for r in results:
                types.update(r["entity_types"])
            print("entities by type:", ", ".join(f"{k} {v}" for k, v in sorted(types.items())))
        finally:
            if cluster is not None:
                cluster.close()
    for scheduler in schedulers:
        started = time.perf_counter()
        results = process_with_dask(notes, args.timestamp, partitions=args.partitions,
                                    workers=args.workers, scheduler=scheduler)
        report(results, time.perf_counter() - started, f"with {args.workers} worker {scheduler}")
        unverified += [r["note_id"] for r in results
                       if not quarn_py.verify_audit(r["audit"], r["entities_json"])]
    if schedulers:
        counts = entity_type_counts(notes, partitions=args.partitions, workers=args.workers,
                                    scheduler=schedulers[0])
        print("entities by type:", ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print(f"serial sample of {len(sample)}: {len(mismatches)} mismatches; "
          f"{len(unverified)} audits failed verification")
    return 1 if mismatches or unverified else 0


if __name__ == "__main__":
    sys.exit(main())
