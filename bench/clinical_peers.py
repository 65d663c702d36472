"""Peers of the clinical functions built on third-party PyPI packages.

Each peer gives the same result as quarn_py on the benchmark corpus (the
benchmark asserts it before timing), so that its time compares equal work.
Where a package cannot follow a rule of quarn_py exactly, the adapter written
on top of it does the missing part, and the limits that remain are stated
next to the peer.

Character classes follow the Unicode properties quarn_py uses, taken from the
`regex` package's property tables rather than from str.isalnum (which misses
the Other_Alphabetic marks such as U+0345 or the circled letters). The
regex tables follow a newer Unicode version than quarn_py's: checked code
point by code point, they differ only on characters unassigned in Unicode 15
and on the combining Latin small letters U+0363-U+036F and U+1DD3-U+1DE6,
which became Alphabetic in Unicode 16. The corpus and the edge notes of the
benchmark stay clear of those; everywhere else the peers are exact.
"""
import sys

_PACKAGES = (("pyahocorasick", "ahocorasick"), ("flashtext", "flashtext"),
             ("regex", "regex"), ("orjson", "orjson"), ("blake3", "blake3"))


def _require():
    missing = []
    for dist, mod in _PACKAGES:
        try:
            __import__(mod)
        except ImportError:
            missing.append(f"{dist} (import {mod})")
    if missing:
        sys.exit("bench_clinical: missing peer package(s): " + ", ".join(missing)
                 + "; install them into this interpreter's environment "
                 + f"({sys.executable})")


_require()

import ahocorasick  # noqa: E402
import blake3  # noqa: E402
import orjson  # noqa: E402
import regex  # noqa: E402
from flashtext import KeywordProcessor  # noqa: E402


def _dictionary():
    # Imported lazily from the reference tests so that there is one statement
    # of the dictionary for tests and bench alike.
    from test_clinical_reference import TERMS
    return TERMS


TERMS = _dictionary()
CATEGORY = {t: c for t, c in TERMS}
ORDER = {t: i for i, (t, _) in enumerate(TERMS)}

# The sort and the de-duplication of extract_entities only matter when two
# records share a start; several adapters below rely on that never happening
# for distinct terms, which holds when no term is a prefix of another.
if len(ORDER) != len(TERMS):
    raise RuntimeError("clinical_peers: the dictionary repeats a term")
if any(a != b and b.startswith(a) for a, _ in TERMS for b, _ in TERMS):
    raise RuntimeError("clinical_peers: a term is a prefix of another, so two records "
                       "may share a start; the adapters' ordering no longer holds")

# Alphanumeric for the entity boundaries: Alphabetic or a numeric category.
_ALNUM_CLASS = r"[\p{Alphabetic}\p{Nd}\p{Nl}\p{No}]"
# Word characters of the tokenizer: the same plus the underscore.
_WORD_CLASS = r"[\p{Alphabetic}\p{Nd}\p{Nl}\p{No}_]"

ASCII_ALNUM = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
# Every alphanumeric code point, once, so that a boundary test is one set
# look-up (flashtext wants exactly such a set).
ALNUM = frozenset(regex.findall(
    _ALNUM_CLASS, "".join(map(chr, range(0xD800))) + "".join(map(chr, range(0xE000, 0x110000)))))


class _ByteOffsets:
    """Turns ascending character positions of a str into UTF-8 byte offsets
    by encoding only the stretch between two consecutive positions."""
    __slots__ = ("text", "char", "byte")

    def __init__(self, text):
        self.text = text
        self.char = 0
        self.byte = 0

    def __call__(self, c):
        if c < self.char:  # rare step back (a nested term): start over
            self.char = self.byte = 0
        self.byte += len(self.text[self.char:c].encode())
        self.char = c
        return self.byte


# ---------------------------------------------------------------------------
# extract_entities with pyahocorasick.
#
# The automaton runs over a str whose characters are the bytes of the
# lower-cased note (latin-1 decoding of its UTF-8), so the positions it
# reports are already the byte offsets. The boundary test then looks at the
# whole UTF-8 character before and after the hit.

_AUTOMATON = ahocorasick.Automaton()
for _term, _cat in TERMS:
    _AUTOMATON.add_word(_term, (_term, len(_term), ORDER[_term]))
_AUTOMATON.make_automaton()


def _utf8_char_before(view, s):
    k = s - 1
    while ord(view[k]) & 0xC0 == 0x80:
        k -= 1
    return view[k:s].encode("latin-1").decode()


def _utf8_char_at(view, e):
    k = e + 1
    while k < len(view) and ord(view[k]) & 0xC0 == 0x80:
        k += 1
    return view[e:k].encode("latin-1").decode()


def aho_entities(text):
    low = text.lower()
    if low.isascii():
        view = low
        plain = True
    else:
        view = low.encode().decode("latin-1")
        plain = False
    n = len(view)
    hits = []
    for last, (term, size, order) in _AUTOMATON.iter(view):
        s = last + 1 - size
        e = last + 1
        if s:
            c = view[s - 1]
            if c in ASCII_ALNUM or (not plain and c >= "\x80" and _utf8_char_before(view, s) in ALNUM):
                continue
        if e < n:
            c = view[e]
            if c in ASCII_ALNUM or (not plain and c >= "\x80" and _utf8_char_at(view, e) in ALNUM):
                continue
        hits.append((s, order, term))
    # Hits come by end position; a term nested at the end of another ends
    # with it, so order by start (then dictionary order, for the record).
    # Equal start and end would mean equal terms, which the automaton
    # reports once, so there is nothing to de-duplicate.
    hits.sort()
    return [{"text": term, "type": CATEGORY[term], "start": s, "end": s + len(term)}
            for s, _, term in hits]


# ---------------------------------------------------------------------------
# extract_entities with flashtext.
#
# flashtext reports the longest term starting at each word start and then
# resumes after it, so it never reports a term inside another ("pain" inside
# "chest pain"), and its word characters are ASCII letters, digits and "_".
# The adapter gives it the alphanumeric set as its word characters (so "_",
# "-" and non-alphanumeric Unicode are boundaries, Unicode letters are not),
# runs it case-sensitively on the already lower-cased note (its own
# lower-casing would be the same, but is done here once for all peers), and
# adds back every term nested in a reported one. That is exact when every
# overlap between two accepted occurrences is a nesting, checked below.

def _nested(term):
    """Terms occurring inside `term` at word boundaries within it, with
    their offsets (a boundary at term's ends holds since term's does)."""
    found = []
    for inner, _ in TERMS:
        if inner == term:
            continue
        k = term.find(inner)
        while k >= 0:
            end = k + len(inner)
            if (k == 0 or term[k - 1] not in ALNUM) and (end == len(term) or term[end] not in ALNUM):
                found.append((k, inner))
            k = term.find(inner, k + 1)
    return found


NESTED = {t: _nested(t) for t, _ in TERMS}


def _partial_overlaps():
    """Pairs (a, b) where a word-aligned suffix of a is a word-aligned
    prefix of b: such occurrences overlap without nesting, and flashtext,
    having consumed a, would never report b."""
    pairs = []
    for a, _ in TERMS:
        for k in range(1, len(a)):
            if a[k - 1] in ALNUM or a[k] not in ALNUM:
                continue
            tail = a[k:]
            for b, _ in TERMS:
                if len(b) > len(tail) and b.startswith(tail) and b[len(tail)] not in ALNUM:
                    pairs.append((a, b))
    return pairs


PARTIAL_OVERLAPS = _partial_overlaps()
if PARTIAL_OVERLAPS:
    raise RuntimeError(f"clinical_peers: terms overlap without nesting {PARTIAL_OVERLAPS}; "
                       "flashtext would miss the second of each pair")

_FLASH = KeywordProcessor(case_sensitive=True)
_FLASH.set_non_word_boundaries(ALNUM)
for _term, _cat in TERMS:
    _FLASH.add_keyword(_term, _term)


def flashtext_entities(text):
    low = text.lower()
    found = _FLASH.extract_keywords(low, span_info=True)
    to_bytes = None if low.isascii() else _ByteOffsets(low)
    hits = []
    for term, s, _ in found:
        if to_bytes is not None:
            s = to_bytes(s)
        hits.append((s, ORDER[term], term))
        for k, inner in NESTED[term]:
            hits.append((s + k, ORDER[inner], inner))
    hits.sort()
    return [{"text": term, "type": CATEGORY[term], "start": s, "end": s + len(term)}
            for s, _, term in hits]


# ---------------------------------------------------------------------------
# extract_entities with the `regex` package: one alternation of all terms
# between Unicode-property look-arounds, searched with overlapped=True so
# that a match may start inside the previous one (the nested "pain").

_RXO = regex.compile(rf"(?<!{_ALNUM_CLASS})(?:"
                     + "|".join(regex.escape(t) for t, _ in TERMS)
                     + rf")(?!{_ALNUM_CLASS})")


def regex_overlapped_entities(text):
    low = text.lower()
    to_bytes = None if low.isascii() else _ByteOffsets(low)
    out = []
    for m in _RXO.finditer(low, overlapped=True):
        term = m.group()
        s = m.start() if to_bytes is None else to_bytes(m.start())
        out.append({"text": term, "type": CATEGORY[term], "start": s, "end": s + len(term)})
    return out


# ---------------------------------------------------------------------------
# tokenize with the `regex` package: a token runs from the first to the last
# word character of a run of non-separators (the greedy middle backtracks to
# the last word character). The tokens are then lower-cased in one call,
# joined by line feeds: a line feed is neither cased nor case-ignorable, so
# the final-sigma context of each token stays that token, as in quarn_py.

_TOKEN = regex.compile(rf"{_WORD_CLASS}(?:\P{{White_Space}}*{_WORD_CLASS})?")


def regex_tokenize(text):
    tokens = _TOKEN.findall(text)
    if not tokens:
        return tokens
    return "\n".join(tokens).lower().split("\n")


# ---------------------------------------------------------------------------
# create_audit / verify_audit with orjson and the blake3 package.
#
# OPT_SORT_KEYS orders keys by code point at every depth, which is the order
# of their UTF-8 bytes; orjson writes compactly, non-ASCII as UTF-8 and
# control characters with the same escapes. It differs from quarn_py on
# doubles with a positive exponent (orjson "1e+16", quarn_py "1e16") and
# accepts nesting deeper than 127 levels, where quarn_py gives null; entity
# lists hold neither.

def orjson_create(note_id, entities_json, timestamp):
    data = entities_json.encode()
    try:
        value = orjson.loads(data)
    except orjson.JSONDecodeError:
        value = None
    return orjson.dumps({"entities": value, "hash": blake3.blake3(data).hexdigest(),
                         "note_id": note_id, "timestamp": timestamp},
                        option=orjson.OPT_SORT_KEYS).decode()


def orjson_verify(audit_json, entities_json):
    try:
        record = orjson.loads(audit_json)
    except orjson.JSONDecodeError:
        raise ValueError("Invalid audit JSON") from None
    stored = record.get("hash") if isinstance(record, dict) else None
    if not isinstance(stored, str):
        raise ValueError("No hash in audit")
    return stored == blake3.blake3(entities_json.encode()).hexdigest()


def blake3_hex(data):
    """Single-threaded BLAKE3 of bytes, as b3sum --num-threads 1."""
    return blake3.blake3(data, max_threads=1).hexdigest()
