"""create_audit and verify_audit: the record's exact text, the JSON value
model it rewrites entities with, and the checks verify makes."""
import json
import math
import re
import subprocess
import shutil
import time

import pytest
from hypothesis import given, strategies as st

ENTITIES = '[{"text": "diabetes", "type": "condition", "start": 12, "end": 20}]'


def b3(text):
    """BLAKE3 hex of the text's UTF-8 bytes, by b3sum when it is there."""
    exe = shutil.which("b3sum")
    if exe is None:
        pytest.skip("b3sum not installed")
    out = subprocess.run([exe, "--no-names"], input=text.encode(), capture_output=True, check=True)
    return out.stdout.decode().strip()


def record_hash(record):
    return json.loads(record)["hash"]


def test_record_text(qp):
    rec = qp.create_audit("note-123", ENTITIES, timestamp=1234567890)
    assert rec == ('{"entities":[{"end":20,"start":12,"text":"diabetes","type":"condition"}],'
                   '"hash":"' + b3(ENTITIES) + '","note_id":"note-123","timestamp":1234567890}')


def test_hash_is_blake3_of_the_text_as_given(qp):
    for text in ["", "abc", "not json", "é" * 1000, "x" * 5000]:
        assert record_hash(qp.create_audit("n", text, 0)) == b3(text)


@pytest.mark.parametrize("entities, written", [
    ("not json", "null"),
    ("", "null"),
    ("[1, 2] x", "null"),
    ("\ufeff[]", "null"),                    # a byte-order mark is no JSON
    ("[1]\x00", "null"),
    ("[1e400]", "null"),
    ("[NaN]", "null"),
    ('"\\ud800"', "null"),
    ("[" * 128 + "]" * 128, "null"),
    ("[" * 127 + "]" * 127, "[" * 127 + "]" * 127),
    (' {"b": 1, "a": {"d": [], "c": null}} ', '{"a":{"c":null,"d":[]},"b":1}'),
    ('{"k": 1, "k": 2}', '{"k":2}'),
    ('{"é": 1, "z": 2, "Z": 3}', '{"Z":3,"z":2,"é":1}'),
    ("[18446744073709551615, -9223372036854775808, -0, 1.0, 1.5e-7, 1E2, 0.1]",
     "[18446744073709551615,-9223372036854775808,0,1.0,1.5e-7,100.0,0.1]"),
    # Doubles always read back as doubles: a point or an exponent, the sign of
    # zero kept, the shortest digits.
    ("[-0.0, 18446744073709551616, 1e16, 1e15, 0.00001, 1e-6, 5e-324, 123456.75]",
     "[-0.0,1.8446744073709552e19,1e16,1000000000000000.0,0.00001,1e-6,5e-324,123456.75]"),
    ('["\\u0041\\n\\u001f\\/\\"", "\u2028é\U0001F600"]', '["A\\n\\u001f/\\"","\u2028é\U0001F600"]'),
])
def test_entities_value_model(qp, entities, written):
    rec = qp.create_audit("n", entities, 7)
    assert rec == '{"entities":' + written + ',"hash":"' + record_hash(rec) + \
        '","note_id":"n","timestamp":7}'
    assert qp.verify_audit(rec, entities) is True


def test_deepest_entities_make_a_record_that_verifies(qp):
    deep = "[" * 127 + "]" * 127
    rec = qp.create_audit("n", deep, 1)
    assert rec.startswith('{"entities":' + deep)
    assert qp.verify_audit(rec, deep) is True
    deep_obj = '{"a":' * 127 + "1" + "}" * 127
    assert qp.verify_audit(qp.create_audit("n", deep_obj, 1), deep_obj) is True


def test_note_id_escaping(qp):
    rec = qp.create_audit('a"b\\c\n\x01\u2028é', "[]", 0)
    assert '"note_id":"a\\"b\\\\c\\n\\u0001\u2028é"' in rec
    assert json.loads(rec)["note_id"] == 'a"b\\c\n\x01\u2028é'


def test_timestamps(qp):
    def stamp(*args, **kw):
        return json.loads(qp.create_audit("n", "[]", *args, **kw))["timestamp"]

    class Index:
        def __index__(self):
            return 42

    class Big(int):
        pass

    assert stamp(0) == 0
    assert stamp(True) == 1
    assert stamp(Index()) == 42
    assert stamp(Big(9)) == 9
    assert stamp(2**64 - 1) == 2**64 - 1
    assert '"timestamp":18446744073709551615}' in qp.create_audit("n", "", 2**64 - 1)
    assert stamp(timestamp=5) == 5
    for args, kw in [((), {}), ((None,), {}), ((), {"timestamp": None})]:
        before = int(time.time())
        got = stamp(*args, **kw)
        assert before <= got <= int(time.time())


def test_timestamp_refusals(qp):
    with pytest.raises(OverflowError):
        qp.create_audit("n", "[]", -1)
    with pytest.raises(OverflowError):
        qp.create_audit("n", "[]", 2**64)
    with pytest.raises(TypeError) as e:
        qp.create_audit("n", "[]", 1.5)
    assert str(e.value) == "argument 'timestamp': 'float' object cannot be interpreted as an integer"
    assert isinstance(e.value.__cause__, TypeError)
    with pytest.raises(TypeError) as e:
        qp.create_audit("n", "[]", "5")
    assert str(e.value).startswith("argument 'timestamp': ")

    class Fails:
        def __index__(self):
            raise ValueError("no index")

    with pytest.raises(ValueError, match="no index"):
        qp.create_audit("n", "[]", Fails())


def test_text_argument_refusals(qp):
    with pytest.raises(TypeError) as e:
        qp.create_audit(1, "[]", 0)
    assert str(e.value) == "argument 'note_id': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        qp.create_audit("n", [], 0)
    assert str(e.value) == "argument 'entities_json': 'list' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        qp.verify_audit("{}", None)
    assert str(e.value) == "argument 'entities_json': 'NoneType' object cannot be converted to 'PyString'"
    for call in [lambda: qp.create_audit("\ud800", "[]", 0),
                 lambda: qp.create_audit("n", "\udc00", 0),
                 lambda: qp.verify_audit("\ud800", "x"),
                 lambda: qp.verify_audit("{}", "\ud800")]:
        with pytest.raises(UnicodeEncodeError):
            call()
    # Arguments convert in order: the first bad one is reported.
    with pytest.raises(TypeError, match="argument 'note_id'"):
        qp.create_audit(1, 2, "x")


def test_str_subclasses(qp):
    class S(str):
        pass

    rec = qp.create_audit(S("n"), S("[1]"), 3)
    assert qp.verify_audit(S(rec), S("[1]")) is True


def test_verify_is_byte_exact(qp):
    rec = qp.create_audit("note", ENTITIES, 1)
    assert qp.verify_audit(rec, ENTITIES) is True
    assert qp.verify_audit(rec, ENTITIES + " ") is False
    reordered = json.dumps(json.loads(ENTITIES), sort_keys=True)
    assert qp.verify_audit(rec, reordered) is False
    own = json.dumps(json.loads(rec)["entities"], separators=(",", ":"), sort_keys=True)
    assert qp.verify_audit(rec, own) is False
    same = '{"a":1}'
    assert qp.verify_audit(qp.create_audit("n", same, 1), json.dumps(json.loads(
        qp.create_audit("n", same, 1))["entities"], separators=(",", ":"))) is True


def test_verify_reads_only_the_hash(qp):
    rec = json.loads(qp.create_audit("note", ENTITIES, 1))
    rec["note_id"] = "other"
    rec["timestamp"] = 99
    rec["extra"] = [1, {"hash": "x"}]
    assert qp.verify_audit(json.dumps(rec), ENTITIES) is True
    assert qp.verify_audit(json.dumps({"hash": rec["hash"]}), ENTITIES) is True
    # The last of repeated keys counts.
    assert qp.verify_audit('{"hash":"00","hash":"%s"}' % rec["hash"], ENTITIES) is True
    assert qp.verify_audit('{"hash":"%s","hash":"00"}' % rec["hash"], ENTITIES) is False


@pytest.mark.parametrize("record, error", [
    ("[]", "No hash in audit"),
    ('{"hash": 5}', "No hash in audit"),
    ('{"hash": null}', "No hash in audit"),
    ('{"hash": ["a"]}', "No hash in audit"),
    ("{}", "No hash in audit"),
    ('"hash"', "No hash in audit"),
    ('{"x": {"hash": "a"}}', "No hash in audit"),
    ('{"hash": "a", "hash": 1}', "No hash in audit"),
    ("{", "Invalid audit JSON"),
    ("", "Invalid audit JSON"),
    ('{"hash": "a"} x', "Invalid audit JSON"),
    ('{"hash": "a"}\x00', "Invalid audit JSON"),
    ("\ufeff{}", "Invalid audit JSON"),
    ('{"hash": "a", "e": ' + "[" * 128 + "]" * 128 + "}", "Invalid audit JSON"),
])
def test_verify_errors(qp, record, error):
    with pytest.raises(ValueError) as e:
        qp.verify_audit(record, "x")
    assert str(e.value) == error
    assert type(e.value) is ValueError


def test_verify_false_for_other_renderings(qp):
    h = record_hash(qp.create_audit("n", "x", 0))
    assert qp.verify_audit('{"hash":"%s"}' % h, "x") is True
    assert qp.verify_audit('{"hash":"%s"}' % h.upper(), "x") is False
    assert qp.verify_audit('{"hash":"%s"}' % h[:-1], "x") is False
    assert qp.verify_audit('{"hash":"%s0"}' % h, "x") is False
    assert qp.verify_audit('{"hash":""}', "") is False


@given(st.text(max_size=80), st.text(max_size=20), st.integers(0, 2**64 - 1),
       st.data())
def test_a_record_verifies_and_any_change_breaks_it(qp, entities, note_id, ts, data):
    try:
        rec = qp.create_audit(note_id, entities, ts)
    except UnicodeEncodeError:
        return
    assert qp.verify_audit(rec, entities) is True
    parsed = json.loads(rec)
    assert parsed["note_id"] == note_id and parsed["timestamp"] == ts
    # One character changed, added or dropped.
    kind = data.draw(st.sampled_from(["replace", "insert", "delete"]))
    if not entities:
        kind = "insert"
    i = data.draw(st.integers(0, max(len(entities) - (kind != "insert"), 0)))
    if kind == "insert":
        changed = entities[:i] + data.draw(st.characters(blacklist_categories=("Cs",))) + entities[i:]
    elif kind == "delete":
        changed = entities[:i] + entities[i + 1:]
    else:
        c = data.draw(st.characters(blacklist_categories=("Cs",)).filter(lambda c: c != entities[i]))
        changed = entities[:i] + c + entities[i + 1:]
    assert qp.verify_audit(rec, changed) is False


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.text(max_size=8)
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda kids: st.lists(kids, max_size=4) | st.dictionaries(st.text(max_size=4), kids, max_size=4),
    max_leaves=20)


@given(json_values)
def test_entities_keep_their_value(qp, value):
    def rewrite(text):
        rec = qp.create_audit("n", text, 0)
        return rec[len('{"entities":'):rec.index(',"hash":')]

    once = rewrite(json.dumps(value))
    assert json.loads(once) == value
    # Compact with sorted keys, and every number keeps its kind: a second pass
    # changes nothing.
    assert rewrite(once) == once


@given(st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
    [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 2.0**64, 1e16]))
def test_doubles_read_back_as_the_same_double(qp, x):
    rec = qp.create_audit("n", json.dumps([x]), 0)
    written = rec[len('{"entities":['):rec.index('],"hash":')]
    back = json.loads(written)
    assert type(back) is float, written
    assert back == x and math.copysign(1.0, back) == math.copysign(1.0, x), written
    # The same significant digits as Python's own shortest repr.
    def digits(t):
        return re.split("e", t.lstrip("-"))[0].replace(".", "").strip("0")
    assert digits(written) == digits(repr(x)), written
