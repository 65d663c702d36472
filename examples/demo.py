"""A tour of quarn_py: every function on a clinical note and on a Quarn
program. Run by `make demo` (.venvs/3.12/bin/python examples/demo.py)."""

import json
import textwrap
from pathlib import Path

import quarn_py

NOTE = """\
ED NOTE 2024-03-14 — 67-year-old with a history of Hypertension and
type 2 diabetes (on Metformin 500 mg BID, Lisinopril 10 mg). Presents with
chest pain radiating to the left arm and dyspnea since this morning; no fever,
mild cough. CT scan of the chest ordered; MRI of the brain if headache persists.
Given aspirin 325 mg. Café-au-lait macules noted. Plan: ultrasound of kidney."""

# The sample program, also what `make demo` shows quarnc on.
PROGRAM = (Path(__file__).resolve().parent / "triage.quarn").read_text(encoding="utf-8")

def heading(text):
    print()
    print(text)
    print("-" * len(text))


def clinical():
    heading("tokenize")
    tokens = quarn_py.tokenize(NOTE)
    print(len(tokens), "tokens:", " ".join(tokens[:24]), "...")

    heading("extract_entities")
    entities = quarn_py.extract_entities(NOTE)
    # Offsets are UTF-8 byte offsets into the lower-cased note; this maps
    # each byte back to the character of the note it came from (the note
    # holds an em dash, three bytes, before every entity).
    original_index = []
    for i, ch in enumerate(NOTE):
        original_index.extend([i] * len(ch.lower().encode("utf-8")))
    original_index.append(len(NOTE))
    for e in entities:
        written = NOTE[original_index[e["start"]]:original_index[e["end"]]]
        print(f"  {e['type']:<10} {e['text']!r:<14} bytes {e['start']:>3}-{e['end']:<3}  "
              f"written {written!r}")

    heading("create_audit / verify_audit")
    entities_json = json.dumps(entities, separators=(",", ":"))
    audit = quarn_py.create_audit("ed-2024-03-14-0042", entities_json, timestamp=1710403200)
    record = json.loads(audit)
    print(f"{len(audit)} characters of JSON: note_id {record['note_id']!r}, "
          f"timestamp {record['timestamp']}, {len(record['entities'])} entities,")
    print(f"hash {record['hash']}")
    print("verifies with the same text:", quarn_py.verify_audit(audit, entities_json))
    respaced = json.dumps(entities)  # same entities, other spacing
    print("verifies with the entities re-serialised:", quarn_py.verify_audit(audit, respaced))


def compiler():
    heading("compile_source")
    result = quarn_py.compile_source(PROGRAM)
    if not result["success"]:
        raise SystemExit(result["error"])
    bytecode = result["bytecode"]
    print(f"{len(bytecode)} bytes, format version {bytecode[0]}, "
          f"first bytes {bytes(bytecode[:12]).hex(' ')}")

    broken = quarn_py.compile_source("program p {\n  fn main() {\n    let x = 1\n  }\n}\n")
    print("a missing semicolon:")
    print(textwrap.indent(broken["error"].rstrip(), "  "))

    scaled = quarn_py.compile_source(
        "program p { @scale(size=4) fn worker() { } fn main() { } }")
    print("a @scale outside main:", scaled["error"])

    heading("execute_bytecode")
    print(quarn_py.execute_bytecode(bytecode))
    print(quarn_py.execute_bytecode(bytes(bytecode[:-1])))


def main():
    print(quarn_py.version())
    clinical()
    compiler()


if __name__ == "__main__":
    main()
