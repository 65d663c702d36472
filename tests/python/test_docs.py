"""The documentation's examples hold for the real module: every Quarn
example compiles (or fails as stated), every >>> example prints what the
page says, and the offset recipes map entities back onto the note."""
import doctest
import re
from pathlib import Path

import pytest

import quarn_py

DOCS = Path(__file__).resolve().parents[2] / "docs"


def blocks(path: Path) -> list[tuple[str, str]]:
    """(language, body) of every fenced block, in page order."""
    out, language, body = [], None, []
    for line in path.read_text().splitlines(keepends=True):
        if line.startswith("```"):
            if language is None:
                language, body = line[3:].strip(), []
            else:
                out.append((language, "".join(body)))
                language = None
        elif language is not None:
            body.append(line)
    return out


def fenced(path: Path, language: str) -> list[str]:
    return [body for lang, body in blocks(path) if lang == language]


def test_every_quarn_example_compiles():
    examples = fenced(DOCS / "quarn-language.md", "quarn")
    assert len(examples) >= 6
    for source in examples:
        result = quarn_py.compile_source(source)
        assert result["success"], source + "\n" + result.get("error", "")
        assert quarn_py.execute_bytecode(result["bytecode"])["success"]


def test_error_examples_fail_as_the_page_says():
    page = (DOCS / "quarn-language.md").read_text()
    examples = fenced(DOCS / "quarn-language.md", "quarn-error")
    assert examples
    for source in examples:
        error = quarn_py.compile_source(source)["error"]
        # The page quotes the message right after the example, wrapped.
        assert " ".join(error.split()) in " ".join(page.split()), error


def test_interactive_examples():
    text = "\n".join(b for b in fenced(DOCS / "python-api.md", "python") if ">>>" in b)
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {"quarn_py": quarn_py}, "python-api.md", str(DOCS), 0)
    assert len(test.examples) >= 12
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0


def test_parse_error_example_is_the_real_text():
    plain = fenced(DOCS / "python-api.md", "")
    shown = next(b for b in plain if b.startswith("Parse error: "))
    source = next(b for b in plain if b.startswith("program p {"))
    assert quarn_py.compile_source(source)["error"] == shown.rstrip("\n") + "\n\n"


@pytest.mark.parametrize("note", [
    "Chest Pain radiating to the left arm",
    "İstanbul — Fièvre, CHEST PAIN; ΣΑΣ pain; KELVIN \u212a heart",
    "ΟΔΟΣ\u00a0cough\u3000x-ray ΜΆΣ mri's",
])
def test_offset_recipes_map_entities_onto_the_note(note):
    recipes = fenced(DOCS / "python-api.md", "python")
    section = (DOCS / "python-api.md").read_text().split("### Offsets")[1].split("\n## ")[0]
    recipes = [r for r in recipes if r in section]
    assert len(recipes) == 3
    entities = quarn_py.extract_entities(note)
    assert entities
    for e in entities:
        namespace = {"note": note, "e": e}
        for recipe in recipes:
            exec(recipe, namespace)
        assert namespace["term_bytes"] == e["text"].encode()
        assert namespace["low"][namespace["s"]:namespace["t"]] == e["text"]
        assert namespace["original"].lower() == e["text"]


def test_readme_example_runs_and_shows_real_results():
    (example,) = fenced(DOCS.parent / "README.md", "python")
    namespace = {}
    exec(example, namespace)
    # The results quoted in its comments.
    assert namespace["entities"] == [
        {"text": "diabetes", "type": "condition", "start": 12, "end": 20}]
    assert quarn_py.tokenize("Patient presents with chest pain") == [
        "patient", "presents", "with", "chest", "pain"]
    assert quarn_py.verify_audit(namespace["audit"], namespace["entities_json"])
    assert quarn_py.execute_bytecode(namespace["result"]["bytecode"]) == {
        "success": True, "output": "Execution successful"}
