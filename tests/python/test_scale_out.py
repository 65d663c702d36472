"""Running the module's functions in other processes: they pickle by
reference, keep no state between calls, give the same results in forked
workers, and the Dask example gives exactly what a serial run gives."""
import importlib
import json
import multiprocessing
import os
import pickle
import sys
from pathlib import Path

import pytest

import quarn_py
from conftest import FUNCTIONS, SANITIZED

ROOT = Path(__file__).resolve().parents[2]
TIMESTAMP = 1_700_000_000


def load_example():
    # Imported by name from a folder on sys.path, so that worker processes
    # (which get the parent's sys.path) find its functions by reference.
    examples = str(ROOT / "examples")
    if examples not in sys.path:
        sys.path.insert(0, examples)
    return importlib.import_module("scale_out")


@pytest.fixture(scope="module")
def example():
    return load_example()


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
def test_example_runs_as_a_script(tmp_path):
    import subprocess

    run = subprocess.run([sys.executable, str(ROOT / "examples" / "scale_out.py"),
                          "--notes", "300", "--workers", "2", "--partitions", "4"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 mismatches; 0 audits failed verification" in run.stdout
