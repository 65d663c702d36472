"""Processing a large collection of clinical notes in parallel with Dask.

Every note is tokenized, its entities extracted, and the extraction sealed in
an audit record. The only input that is not part of the note is the audit's
time stamp, and it is fixed per run here (not read from the clock inside a
task) so that a task Dask retries or re-runs on another worker produces a
byte-identical audit.

Two of Dask's schedulers suit this work:

- threads ("threads"): quarn_py releases the interpreter lock while it works
  on a note of more than a few kilobytes, so a pool of threads in one process
  uses every core, with no pickling of notes or results; small notes gain
  less, as their calls hold the lock for most of their (short) time.
- processes ("processes"): the functions hold no state and pickle by
  reference, so they run unchanged in worker processes; each task's notes
  and results are pickled to and from the workers.

    PYTHONPATH=build:.deps/python python3 examples/scale_out.py --notes 20000

runs a generated corpus through both (or the one named by --scheduler),
checks a sample against a serial run and verifies every audit.

Figures from the idle 2-core development machine, with --workers 2:

    10,000 visit notes of ~300 bytes  serial 0.22 s  threads 0.80 s  processes 0.89 s
    600 notes of 32 KB (--note-kb 32)  serial 1.26 s  threads 1.09 s  processes 1.93 s

Short notes stay below the sizes from which quarn_py releases the lock, and
every task also spends time in Python (json.dumps of the entities), so for
them processes, or larger partitions, pay off before threads do.

On a Dask cluster the same code runs unchanged: connect a client before
computing, and every `.compute()` goes to the cluster's workers (each of
which needs quarn_py installed, for example from the wheel that `pip wheel .`
builds):

    from dask.distributed import Client
    client = Client("tcp://scheduler-host:8786")
    results = process_with_dask(notes, 1_700_000_000, scheduler=None)

(`scheduler=None` lets the client choose; dask.distributed's workers run
several threads each, which now share one process's cores.)
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from collections import Counter
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
    parser.add_argument("--scheduler", choices=["threads", "processes", "both"], default="both")
    parser.add_argument("--note-kb", type=float, default=0,
                        help="make every note at least this many kilobytes long")
    args = parser.parse_args(argv)

    notes = generate_corpus(args.notes, args.seed, int(args.note_kb * 1024))
    schedulers = ["threads", "processes"] if args.scheduler == "both" else [args.scheduler]
    started = time.perf_counter()
    process_serially(notes, args.timestamp)
    serial_time = time.perf_counter() - started
    print(f"{len(notes)} notes serially in {serial_time:.2f} s "
          f"({len(notes) / serial_time:,.0f} notes/s)")
    sample = notes[:: max(1, len(notes) // 500)]
    expected = {r["note_id"]: r for r in process_serially(sample, args.timestamp)}
    mismatches: list[str] = []
    unverified: list[str] = []
    for scheduler in schedulers:
        started = time.perf_counter()
        results = process_with_dask(notes, args.timestamp, partitions=args.partitions,
                                    workers=args.workers, scheduler=scheduler)
        elapsed = time.perf_counter() - started
        print(f"{len(results)} notes in {elapsed:.2f} s with {args.workers} worker {scheduler} "
              f"({len(results) / elapsed:,.0f} notes/s, {serial_time / elapsed:.2f}x serial)")
        by_id = {r["note_id"]: r for r in results}
        mismatches += [i for i, r in expected.items() if by_id.get(i) != r]
        unverified += [r["note_id"] for r in results
                       if not quarn_py.verify_audit(r["audit"], r["entities_json"])]
    counts = Counter({k: v for k, v in entity_type_counts(
        notes, partitions=args.partitions, workers=args.workers, scheduler=schedulers[0]).items()})
    print("entities by type:", ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    print(f"serial sample of {len(sample)}: {len(mismatches)} mismatches; "
          f"{len(unverified)} audits failed verification")
    return 1 if mismatches or unverified else 0


if __name__ == "__main__":
    sys.exit(main())
