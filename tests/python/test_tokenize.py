"""tokenize: splitting at Unicode white space, trimming to word characters,
full lower-casing with the piece as the final-sigma context."""
import pytest
from hypothesis import given, strategies as st

import test_clinical_reference as ref


@pytest.mark.parametrize("text, tokens", [
    ("", []),
    (" \t\n\r\x0b\x0c  ", []),
    ("Patient presents with chest pain", ["patient", "presents", "with", "chest", "pain"]),
    ("Hello, World!", ["hello", "world"]),
    ("(BP)", ["bp"]),
    ("e.g.", ["e.g"]),
    ("--", []),
    ("don't 120/80 x-ray a,b", ["don't", "120/80", "x-ray", "a,b"]),
    ("__init__", ["__init__"]),
    ("#12 2.5mg,", ["12", "2.5mg"]),
    ("a\u00a0b\u3000c", ["a", "b", "c"]),
    ("a\u200bb", ["a\u200bb"]),
    ("\u200bab\u200b", ["ab"]),
    ("a\x1cb", ["a\x1cb"]),                      # no White_Space, though str.split splits there
    ("a\x00b \x00", ["a\x00b"]),
    ("ÉCOLE", ["école"]),
    ("ΟΔΟΣ", ["οδος"]),
    ("ΟΔΟΣ!", ["οδος"]),
    ("ΣΟΦΙΑ", ["σοφια"]),
    ("İ", ["i\u0307"]),
    ("\u212aelvin", ["kelvin"]),
    ("STRASSE Straße ẞ", ["strasse", "straße", "ß"]),
    ("\u201cquoted\u201d «guillemets»", ["quoted", "guillemets"]),
    ("Ⅻ ½ ²", ["ⅻ", "½", "²"]),
    ("\U0001F600 ok \U0001F600", ["ok"]),
    ("\U00010400\U00010401", ["\U00010428\U00010429"]),
])
def test_examples(qp, text, tokens):
    assert qp.tokenize(text) == tokens


def test_final_sigma_context_is_the_trimmed_piece(qp):
    # "ΟΣ" ends its piece in the first token; a following letter makes it medial.
    assert [t[-1] for t in qp.tokenize("ΟΣ. ΟΣΟ")] == ["ς", "ο"]
    assert qp.tokenize("ΟΣ.Ο")[0] == "οσ.ο"
    assert qp.tokenize("Σ") == ["σ"]


def test_alphabetic_marks_and_numbers_are_word_characters(qp):
    # Alphabetic combining marks count (Python's isalnum says no).
    assert qp.tokenize("-\u0345-") == ["\u0345"]
    assert qp.tokenize("\u093e") == ["\u093e"]
    assert qp.tokenize("\u2160") == ["\u2170"]


def test_str_subclass_and_keyword(qp):
    class Note(str):
        pass

    assert qp.tokenize(Note("A b")) == ["a", "b"]
    assert qp.tokenize(text="X") == ["x"]


def test_refused_arguments(qp):
    with pytest.raises(TypeError) as e:
        qp.tokenize(123)
    assert str(e.value) == "argument 'text': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        qp.tokenize(b"bytes")
    assert str(e.value) == "argument 'text': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        qp.tokenize("a\ud800b")


def test_one_character_tokens_and_long_tokens(qp):
    assert qp.tokenize("A b C") == ["a", "b", "c"]
    long = "Ab" * 50_000
    assert qp.tokenize(" " + long + " ") == [long.lower()]


@given(st.text(alphabet=ref.ALPHABET, max_size=60))
def test_matches_the_plain_rules(qp, text):
    assert qp.tokenize(text) == ref.tokenize(text)


@given(st.text(max_size=80))
def test_tokens_are_nonempty_and_hold_no_separator(qp, text):
    try:
        tokens = qp.tokenize(text)
    except UnicodeEncodeError:
        return  # lone surrogates have no UTF-8 form
    for token in tokens:
        assert token
        assert not any(c in ref.WHITE_SPACE for c in token)
    assert qp.tokenize(text) == tokens  # deterministic


def test_many_distinct_and_repeated_words(qp):
    # Enough different short words to fill any table of recent tokens many
    # times over, in mixed case, each repeated at random.
    import random
    rng = random.Random(5)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"
    vocab = ["".join(rng.choice(letters) for _ in range(rng.randint(1, 20))) for _ in range(30_000)]
    words = [rng.choice(vocab) for _ in range(100_000)]
    text = " ".join(words)
    assert qp.tokenize(text) == [w.lower() for w in words]


def test_long_note_of_repeated_words_in_every_script(qp):
    # A note long enough to be read without the lock, where a word and its
    # repeats share one str: words whose lower cases are equal across scripts
    # (the Kelvin sign and "k") or differ only in case, in random order.
    import random
    rng = random.Random(11)
    vocab = ["K", "\u212a", "k", "\u00c9T\u00c9", "\u00e9t\u00e9", "\u0130", "i\u0307",
             "\u039f\u0394\u039f\u03a3", "x-ray", "X-Ray", "a", "A", "(pain)", "Stra\u00dfe",
             "fifteen_bytes_x", "sixteen_bytes_xx", "\u6771\u4eac"]
    text = " ".join(rng.choice(vocab) for _ in range(5_000))
    tokens = qp.tokenize(text)
    assert tokens == ref.tokenize(text)
