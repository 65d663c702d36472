"""Running the module's functions in other processes: they pickle by
reference, keep no state between calls, give the same results in forked
workers, and the Dask example gives exactly what a serial run gives; its
partitions (by bytes, of notes in memory or in files) hand out every note
exactly once. The runs on a real cluster are in test_scale_out_cluster.py."""
import json
import multiprocessing
import os
import pickle
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

import quarn_py
from conftest import FUNCTIONS, SANITIZED, scale_out_example

ROOT = Path(__file__).resolve().parents[2]
TIMESTAMP = 1_700_000_000


@pytest.fixture(scope="module")
def example():
    return scale_out_example()


@pytest.fixture(scope="module")
def corpus(example):
    return example.generate_corpus(60 if SANITIZED else 240, seed=7)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_pickle_by_reference(name):
    fn = getattr(quarn_py, name)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(fn, protocol=protocol)
        # By reference: the pickle names the function, it does not carry it.
        assert b"quarn_py" in data and len(data) < 100
        assert pickle.loads(data) is fn


def test_functions_keep_no_state_between_calls(example, corpus):
    """Interleaving calls in any order, repeating them, or feeding a call
    odd input first changes nothing about the next call's result."""
    first = [example.process_note(n, TIMESTAMP) for n in corpus[:40]]
    # Disturb: calls with other inputs, failures and exceptions in between.
    quarn_py.compile_source("program p { fn main() { let x = ; } }")
    quarn_py.execute_bytecode(b"\x01\x02")
    with pytest.raises(ValueError):
        quarn_py.verify_audit("{", "[]")
    with pytest.raises(TypeError):
        quarn_py.tokenize(None)
    quarn_py.tokenize("ΣΑΣ " * 100)
    again = [example.process_note(n, TIMESTAMP) for n in reversed(corpus[:40])]
    assert again[::-1] == first


def _process_chunk(chunk):
    # Module-level so that the fork pool can name it.
    example = sys.modules["scale_out"]
    return [example.process_note(n, TIMESTAMP) for n in chunk]


def test_forked_workers_give_the_serial_results(example, corpus):
    serial = example.process_serially(corpus, TIMESTAMP)
    chunks = [corpus[i:i + 17] for i in range(0, len(corpus), 17)]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        forked = [r for part in pool.map(_process_chunk, chunks) for r in part]
    assert forked == serial
    assert all(quarn_py.verify_audit(r["audit"], r["entities_json"]) for r in serial)


def test_audits_are_reproducible_across_reruns(example, corpus):
    """A retried task must seal the same record: nothing but the note and the
    fixed time stamp goes into it."""
    note = corpus[3]
    records = {example.process_note(note, TIMESTAMP)["audit"] for _ in range(5)}
    assert len(records) == 1
    record = json.loads(records.pop())
    assert record["timestamp"] == TIMESTAMP and record["note_id"] == note[0]


@pytest.mark.skipif(SANITIZED, reason="Dask worker processes are too slow under ASan")
def test_dask_multiprocessing_run_equals_serial_run(example, corpus):
    pytest.importorskip("dask.bag")
    serial = example.process_serially(corpus, TIMESTAMP)
    parallel = example.process_with_dask(corpus, TIMESTAMP, partitions=6, workers=2)
    assert parallel == serial
    counts = example.entity_type_counts(corpus, partitions=6, workers=2)
    expected = {}
    for r in serial:
        for entity in json.loads(r["entities_json"]):
            expected[entity["type"]] = expected.get(entity["type"], 0) + 1
    assert counts == expected
    assert sum(expected.values()) > len(corpus)  # the corpus does hold entities


def test_dask_threaded_run_on_long_notes_equals_serial_run(example):
    """Long notes are worked on without the interpreter lock, from Dask's
    thread pool: the results are still exactly the serial ones."""
    pytest.importorskip("dask.bag")
    notes = example.generate_corpus(8 if SANITIZED else 24, seed=11, min_size=16 * 1024)
    assert min(len(text) for _, text in notes) >= 16 * 1024
    serial = example.process_serially(notes, TIMESTAMP)
    assert example.process_with_dask(notes, TIMESTAMP, partitions=6, workers=4,
                                     scheduler="threads") == serial
    counts = example.entity_type_counts(notes, partitions=6, workers=4, scheduler="threads")
    assert sum(counts.values()) == sum(len(json.loads(r["entities_json"])) for r in serial)


@pytest.mark.skipif(SANITIZED, reason="Dask worker processes are too slow under ASan")
@pytest.mark.parametrize("how", [
    ["--partitions", "4"],
    ["--cluster", "local", "--partition-kb", "32"],
    ["--cluster", "local", "--partition-kb", "32", "--via-file"],
], ids=["local schedulers", "local cluster", "local cluster, notes in a file"])
def test_example_runs_as_a_script(tmp_path, how):
    import subprocess

    if "--cluster" in how:
        pytest.importorskip("distributed")

    run = subprocess.run([sys.executable, str(ROOT / "examples" / "scale_out.py"),
                          "--notes", "300", "--workers", "2", *how],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 mismatches; 0 audits failed verification" in run.stdout
    assert (" on 2 cluster workers, " in run.stdout) == ("--cluster" in how)


# --- partitions for a cluster --------------------------------------------------

@given(st.lists(st.integers(0, 5000), max_size=200), st.integers(1, 8000))
def test_partitions_cover_every_item_once_and_close_at_the_target(sizes, target):
    example = scale_out_example()
    bounds = example.partition_bounds(sizes, target)
    # Contiguous, in order, nothing left out or repeated.
    assert [i for s, e in bounds for i in range(s, e)] == list(range(len(sizes)))
    assert all(s < e for s, e in bounds)
    for s, e in bounds:
        # A range closes with the item that takes it to the target, and no
        # later: all but the last reach it, none reached it before its end.
        assert sum(sizes[s:e - 1]) < target
        if (s, e) != bounds[-1]:
            assert sum(sizes[s:e]) >= target


def test_partition_sizes_follow_bytes_not_note_counts(example):
    short = example.generate_corpus(400, seed=5)
    long = example.generate_corpus(40, seed=5, min_size=8 * 1024)
    target = 64 << 10
    for notes in (short, long, short[:200] + long[:20] + short[200:]):
        packed = example.partition_notes(notes, target)
        weights = [len(texts.encode()) + len(ends) * example.NOTE_FIXED_BYTES
                   for _, _, texts, ends in packed]
        assert all(w >= target for w in weights[:-1])
        assert max(weights) < target + 10 * 1024  # one note past the target at most
    # The same budget holds ten times fewer long notes than short ones.
    assert (len(example.partition_notes(long, target))
            > 3 * len(example.partition_notes(short[:40], target)))


@given(st.lists(st.tuples(st.text(max_size=12), st.text(max_size=300)), max_size=40))
def test_packed_notes_come_back_as_they_went(notes):
    example = scale_out_example()
    packed = example.pack_notes(notes)
    assert example.unpack_notes(pickle.loads(pickle.dumps(packed, protocol=5))) == notes


def test_a_partition_run_twice_writes_the_same_records(example, corpus, tmp_path):
    """A retried task (same partition, same fixed time stamp) replaces its
    file with identical content and leaves no partial file behind."""
    packed = example.pack_notes(corpus[:50])
    first = example.process_partition(7, packed, TIMESTAMP, out_dir=str(tmp_path))
    content = (tmp_path / "part-00007.jsonl").read_bytes()
    again = example.process_partition(7, packed, TIMESTAMP, out_dir=str(tmp_path))
    assert first == again and first["records"] is None and first["notes"] == 50
    assert [p.name for p in tmp_path.iterdir()] == ["part-00007.jsonl"]
    assert (tmp_path / "part-00007.jsonl").read_bytes() == content
    lines = [json.loads(line) for line in content.decode().splitlines()]
    assert lines == example.process_serially(corpus[:50], TIMESTAMP)
    kept = example.process_partition(7, packed, TIMESTAMP)
    assert example.records_of([kept]) == lines
    without = example.process_partition(7, packed, TIMESTAMP, keep_records=False)
    with pytest.raises(ValueError):
        example.records_of([without])


def test_compile_batch_results_carry_bytecode_and_errors(example):
    sources = example.generate_programs(30, seed=4)
    results = [example.compile_and_run(s) for s in sources]
    for source, (ok, payload, run) in zip(sources, results):
        compiled = quarn_py.compile_source(source)
        assert ok == compiled["success"]
        if ok:
            assert payload == bytes(compiled["bytecode"])
            assert run == quarn_py.execute_bytecode(payload)
        else:
            assert payload == compiled["error"] and run is None
    assert sum(ok for ok, _, _ in results) == 27  # every tenth one is broken


_note_text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=200)


@given(st.lists(st.tuples(st.text(max_size=10), _note_text), max_size=30),
       st.integers(1, 3000))
def test_file_ranges_hand_out_every_note_once(tmp_path_factory, notes, partition_bytes):
    """Whatever byte a range ends on (inside a note, an escape, a multi-byte
    character, or right on a line's end), the ranges' notes are the file's
    notes, each once, in order."""
    example = scale_out_example()
    path = tmp_path_factory.mktemp("notes") / "notes.jsonl"
    example.write_notes_file(path, notes)
    ranges = example.file_ranges([str(path)], partition_bytes)
    assert sum(e - s for _, s, e in ranges) == path.stat().st_size
    assert [n for r in ranges for n in example.read_notes_range(*r)] == notes


def test_file_ranges_span_several_files(example, corpus, tmp_path):
    # Three thirds of the corpus, and an empty file, which has no range.
    third = len(corpus) // 3
    parts = [corpus[:third], [], corpus[third:2 * third], corpus[2 * third:]]
    paths = [str(tmp_path / f"notes-{k}.jsonl") for k in range(len(parts))]
    for path, part in zip(paths, parts):
        example.write_notes_file(path, part)
    ranges = example.file_ranges(paths, 1024)
    assert len(ranges) > 6 and {p for p, _, _ in ranges} == set(paths) - {paths[1]}
    results = [example.process_file_range(i, *r, TIMESTAMP) for i, r in enumerate(ranges)]
    assert example.records_of(results) == example.process_serially(corpus, TIMESTAMP)
    with pytest.raises(ValueError):
        example.file_ranges(paths, 0)
