"""The clinical functions under stress: very large and strange inputs, a
small thread stack, many calls in a row (no leaks), many threads at once."""
import json
import os
import threading

import pytest

from conftest import SANITIZED, on_small_stack

MB = 1 << 20
# The sanitizer build is several times slower and heavier.
BIG = (8 if SANITIZED else 100) * MB


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_huge_texts(qp):
    assert qp.tokenize(" " * BIG) == []
    word = "Ab" * (BIG // 2)
    assert qp.tokenize(word) == [word.lower()]
    del word
    accented = "É" * (BIG // 2)  # one 100 MB stretch through the Unicode lower-casing
    got = qp.tokenize(accented)
    assert len(got) == 1 and len(got[0]) == BIG // 2 and got[0][0] == "é" and got[0][-1] == "é"
    del accented, got
    block = "x" * 1018 + " Pain"
    note = block * (BIG // len(block) - 1) + "x" * 1019 + " Pain"
    ents = qp.extract_entities(note)
    assert len(ents) == 1  # every other "Pain" runs into the next block's x
    assert ents[0] == {"text": "pain", "type": "symptom", "start": len(note) - 4, "end": len(note)}
    note = note.replace("Pain", "Pain\n")
    ents = qp.extract_entities(note)
    assert len(ents) == BIG // len(block)
    assert ents[-1] == {"text": "pain", "type": "symptom", "start": len(note) - 5, "end": len(note) - 1}
    assert qp.tokenize(note)[-2:] == ["x" * 1019, "pain"]
    del note, ents


def test_huge_audits(qp):
    entities = '["' + "x" * (BIG - 4) + '"]'
    rec = qp.create_audit("n", entities, 1)
    assert len(rec) == len(entities) + len('{"entities":,"hash":"","note_id":"n","timestamp":1}') + 64
    assert qp.verify_audit(rec, entities) is True
    assert qp.verify_audit(rec, entities[:-1] + " ") is False
    del rec
    numbers = "[" + "0," * (BIG // 20) + "0]"  # the densest value list: two bytes a value
    rec = qp.create_audit("n", numbers, 1)
    assert rec.startswith('{"entities":[0,0,') and qp.verify_audit(rec, numbers)


def test_every_plane_and_odd_characters(qp):
    chars = [chr(p << 16 | 0x41) for p in range(17)] + [
        "\x00", "\ufffe", "\uffff", "\U0010ffff", "\U000e0001", "\u0378", "\U00020000", "\ufdd0"]
    text = " ".join(c + "x" + c for c in chars) + " pain " + "".join(chars)
    toks = qp.tokenize(text)
    assert toks == qp.tokenize(text) and all(toks)
    assert "\U00020000x\U00020000" in toks  # CJK extension B is alphabetic
    assert "x" in toks                       # private use and unassigned characters are trimmed
    ents = qp.extract_entities(text)
    assert [e["text"] for e in ents] == ["pain"]
    rec = qp.create_audit(text, json.dumps(text), 1)
    assert json.loads(rec)["entities"] == text and json.loads(rec)["note_id"] == text
    assert qp.verify_audit(rec, json.dumps(text))


def test_deep_input_on_a_small_thread_stack(qp):
    results = []

    def work():
        deep = "[" * 1_000_000 + "]" * 1_000_000
        results.append(json.loads(qp.create_audit("n", deep, 1))["entities"])
        with pytest.raises(ValueError, match="Invalid audit JSON"):
            qp.verify_audit('{"hash":"x","e":' + deep + "}", "")
        results.append(qp.tokenize("(" * 100_000 + "a" + ")" * 100_000))
        results.append(len(qp.extract_entities("ΟΔΟΣ İ pain " * 100_000)))
        results.append(qp.tokenize("ΣΟΣ" * 100_000) == ["σοσ" * 99_999 + "σος"])

    on_small_stack(work)
    assert results == [None, ["a"], 100_000, True]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer holds freed memory back on purpose")
def test_many_calls_keep_the_process_size_flat(qp):
    note = "Chest pain, fever 38.5C; BP 120/80. Started aspirin 81mg. ΟΔΟΣ İ " * 3
    entities = json.dumps(qp.extract_entities(note))
    record = qp.create_audit("note-1", entities, 1)

    def round_of_calls():
        qp.tokenize(note)
        qp.extract_entities(note)
        qp.verify_audit(qp.create_audit("note-1", entities, 1), entities)
        qp.create_audit("n", "not json", None)
        for bad in (lambda: qp.tokenize(1), lambda: qp.verify_audit("[]", ""),
                    lambda: qp.verify_audit("{", ""), lambda: qp.create_audit("n", "", -1),
                    lambda: qp.tokenize("\ud800")):
            try:
                bad()
            except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
                pass
        assert qp.verify_audit(record, entities)

    for _ in range(10_000):
        round_of_calls()
    before = rss_bytes()
    for _ in range(100_000):
        round_of_calls()
    grown = rss_bytes() - before
    assert grown < 4 * MB, f"process grew by {grown} bytes over 100000 rounds"


def test_threads_give_the_serial_results(qp):
    inputs = [
        "Patient presents with chest pain and FEVER; İ ΟΔΟΣ",
        "heart pain " * 200,
        "x-ray of the lung (CT scan), mri's, copd... " * 50,
        "",
        "\u00a0\u3000 ΣΑ pain\u200b",
    ]
    entity_texts = [json.dumps(qp.extract_entities(t)) for t in inputs] + ["not json", "[" * 127 + "]" * 127]
    serial = ([qp.tokenize(t) for t in inputs], [qp.extract_entities(t) for t in inputs],
              [qp.create_audit("n", e, 5) for e in entity_texts])
    failures = []

    def worker():
        try:
            for _ in range(100 if SANITIZED else 400):
                got = ([qp.tokenize(t) for t in inputs], [qp.extract_entities(t) for t in inputs],
                       [qp.create_audit("n", e, 5) for e in entity_texts])
                if got != serial:
                    failures.append("different results")
                    return
                if not all(qp.verify_audit(r, e) for r, e in zip(got[2], entity_texts)):
                    failures.append("record does not verify")
                    return
        except Exception as e:  # pragma: no cover - reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
