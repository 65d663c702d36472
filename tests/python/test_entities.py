"""extract_entities: dictionary terms between word boundaries, byte offsets in
the lower-cased note, ordered by start then dictionary order."""
import json

import pytest
from hypothesis import given, strategies as st

import test_clinical_reference as ref


def brief(entities):
    return [(e["text"], e["type"], e["start"], e["end"]) for e in entities]


def test_record_shape(qp):
    got = qp.extract_entities("Patient has diabetes and takes insulin")
    assert got == [{"text": "diabetes", "type": "condition", "start": 12, "end": 20}]
    assert list(got[0]) == ["text", "type", "start", "end"]
    assert json.loads(json.dumps(got)) == got


@pytest.mark.parametrize("text, want", [
    ("", []),
    ("no terms here", []),
    ("Chest Pain", [("chest pain", "symptom", 0, 10), ("pain", "symptom", 6, 10)]),
    ("heart pain", [("heart", "anatomy", 0, 5), ("pain", "symptom", 6, 10)]),
    ("pain pain", [("pain", "symptom", 0, 4), ("pain", "symptom", 5, 9)]),
    ("chest  pain", [("pain", "symptom", 7, 11)]),
    ("chest\npain", [("pain", "symptom", 6, 10)]),
    ("CT-scan", []),
    ("ct scan of the LUNG", [("ct scan", "procedure", 0, 7), ("lung", "anatomy", 15, 19)]),
    ("mri's", [("mri", "procedure", 0, 3)]),
    ("fièvre pain", [("pain", "symptom", 8, 12)]),
    ("İ pain", [("pain", "symptom", 4, 8)]),
    ("\u212a pain", [("pain", "symptom", 2, 6)]),     # Kelvin sign: 3 bytes become 1
    ("ΣΑ pain", [("pain", "symptom", 5, 9)]),
    ("Aspirin, IBUPROFEN; Metformin.", [("aspirin", "medication", 0, 7),
                                         ("ibuprofen", "medication", 9, 18),
                                         ("metformin", "medication", 20, 29)]),
])
def test_examples(qp, text, want):
    assert brief(qp.extract_entities(text)) == want


@pytest.mark.parametrize("text", ["painful", "pain2", "spain", "mris", "xrays", "é pain"[2:] + "é",
                                  "東pain", "pain\u0345", "pain٣"])
def test_no_match_next_to_alphanumerics(qp, text):
    assert qp.extract_entities(text) == []


@pytest.mark.parametrize("text", ["pain.", "(pain)", "back-pain", "_pain_", "pain\u200b",
                                  "\u00b7pain", "pain\U0001F600", "pain\x00", "«pain»"])
def test_match_between_boundaries(qp, text):
    assert [e["text"] for e in qp.extract_entities(text)] == ["pain"]


def test_every_term_in_table_order(qp):
    text = " ".join(t for t, _ in ref.TERMS)
    got = [(e["text"], e["type"]) for e in qp.extract_entities(text)]
    # "chest pain" also yields the "pain" inside it, right after it.
    want = []
    for t, c in ref.TERMS:
        want.append((t, c))
        if t == "chest pain":
            want.append(("pain", "symptom"))
    assert got == want


def test_str_subclass_keyword_and_refusals(qp):
    class Note(str):
        pass

    assert brief(qp.extract_entities(text=Note("MRI"))) == [("mri", "procedure", 0, 3)]
    with pytest.raises(TypeError) as e:
        qp.extract_entities(None)
    assert str(e.value) == "argument 'text': 'NoneType' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        qp.extract_entities("pain \udfff")


@given(st.lists(st.sampled_from(
    ["pain", "Pain", "chest", " ", "chest pain", "CT scan", "ct", "scan", "mri", "heart", "-",
     "_", "s", "2", "é", "İ", "\u212a", "Σ", "ς", "東", "\u200b", "\n", ".", "xray", "copd",
     "٣", "\U0001F600", "\x00"]), max_size=20).map("".join))
def test_matches_the_plain_algorithm(qp, text):
    assert qp.extract_entities(text) == ref.extract_entities(text)


@given(st.text(max_size=60).map(lambda s: s + " pain " + s))
def test_offsets_fall_on_the_terms(qp, text):
    try:
        got = qp.extract_entities(text)
    except UnicodeEncodeError:
        return
    lb = text.lower().encode("utf-8")
    for e in got:
        assert 0 <= e["start"] < e["end"] <= len(lb)
        assert e["end"] - e["start"] == len(e["text"])
        assert lb[e["start"]:e["end"]] == e["text"].encode()
    starts = [e["start"] for e in got]
    assert starts == sorted(starts)
