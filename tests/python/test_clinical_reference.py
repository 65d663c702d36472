"""Plain-Python statements of the clinical rules, used as oracles by the
clinical tests. Python's own classes differ from the Unicode ones the module
uses (str.isalnum is not the Alphabetic property, str.split also splits at
U+001C-U+001F), so the oracles are only used on ALPHABET, where they agree."""
import re

WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
               "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
_SPLIT = re.compile("[" + re.escape(WHITE_SPACE) + "]+")

# Characters whose classes Python and Unicode agree on: ASCII, white space,
# letters of several scripts (with case pairs that change length or depend on
# context), digits and numbers, marks of punctuation, a zero-width space, a
# file separator, astral and private-use characters, NUL.
ALPHABET = (
    "abcxyzABCXYZ0129_ .,;:'\"-/()!?#%\t\n\r\x0b\x0c\x00\x1c"
    "\x85\xa0\u1680\u2000\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
    "éÉßẞİıΣσςΟΔΩΑKÅǅǄ東京ー₂²½Ⅻⅻ٣"
    "\u200b\u00b7\u2019\u2014\u00ab\u00bb\U0001F600\U00010400\U00010428\U000F0000\U0010FFFD"
)

DICTIONARY = [
    ("symptom", ["pain", "fever", "cough", "dyspnea", "chest pain", "headache"]),
    ("medication", ["aspirin", "ibuprofen", "amoxicillin", "lisinopril", "metformin"]),
    ("condition", ["diabetes", "hypertension", "asthma", "copd", "pneumonia"]),
    ("procedure", ["biopsy", "mri", "ct scan", "xray", "ultrasound"]),
    ("anatomy", ["heart", "lung", "liver", "kidney", "brain"]),
]
TERMS = [(t, c) for c, ts in DICTIONARY for t in ts]


def is_word(c):
    return c.isalnum() or c == "_"


def tokenize(text):
    out = []
    for piece in _SPLIT.split(text):
        i, j = 0, len(piece)
        while i < j and not is_word(piece[i]):
            i += 1
        while j > i and not is_word(piece[j - 1]):
            j -= 1
        if i < j:
            out.append(piece[i:j].lower())
    return out


def extract_entities(text):
    """Per term a find loop restarting one byte after each hit; the characters
    around a hit by counting characters from the start, as the rule says."""
    low = text.lower()
    lb = low.encode("utf-8")
    chars = list(low)
    recs = []
    for term, cat in TERMS:
        t = term.encode()
        p = lb.find(t)
        while p >= 0:
            e = p + len(t)
            cs = len(lb[:p].decode("utf-8"))
            ce = len(lb[:e].decode("utf-8"))
            if (cs == 0 or not chars[cs - 1].isalnum()) and (ce == len(chars) or not chars[ce].isalnum()):
                recs.append({"text": term, "type": cat, "start": p, "end": e})
            p = lb.find(t, p + 1)
    recs.sort(key=lambda r: r["start"])
    out = []
    for r in recs:
        if out and (out[-1]["start"], out[-1]["end"]) == (r["start"], r["end"]):
            continue
        out.append(r)
    return out


# The oracles are only worth their agreement with the stated examples.

def test_oracles_agree_with_the_examples():
    assert tokenize("Hello, World! e.g. ΟΔΟΣ") == ["hello", "world", "e.g", "οδος"]
    assert tokenize("a\x1cb") == ["a\x1cb"]
    got = [(e["text"], e["start"]) for e in extract_entities("Chest Pain, İ pain")]
    assert got == [("chest pain", 0), ("pain", 6), ("pain", 16)]


def test_alphabet_classes_agree_with_unicode():
    # Characters whose Python class differs from the Unicode one stay out.
    assert "\u0345" not in ALPHABET and "\u093e" not in ALPHABET
    assert all(not c.isspace() or c in WHITE_SPACE or c in "\x1c\x1d\x1e\x1f" for c in ALPHABET)
