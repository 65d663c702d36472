"""quarnc, run as a user runs it: every subcommand and exit status, standard
input, error texts equal to the module's, build output equal to
compile_source, verify equal to execute_bytecode, check --json positions,
unreadable and malformed files, a 4 MB source, and the listing against
golden files (tests/quarnc/*.quarn and their .dis listings; set
QUARNC_REGOLD=1 to rewrite those after a deliberate change)."""
import json
import os
import random
import re
import stat
import subprocess
from pathlib import Path

import pytest

import quarn_py

ROOT = Path(__file__).resolve().parents[2]
GOLDEN = ROOT / "tests" / "quarnc"
EXAMPLES = ROOT / "examples"
VERSION = quarn_py.version().split()[1]


def find_quarnc() -> Path:
    """$QUARNC, else the build folder the module was imported from (the
    module for a second interpreter sits one folder below it), else build/."""
    if os.environ.get("QUARNC"):
        return Path(os.environ["QUARNC"])
    here = Path(quarn_py.__file__).resolve().parent
    for folder in (here, here.parent, ROOT / "build"):
        if (folder / "quarnc").is_file():
            return folder / "quarnc"
    pytest.fail("quarnc is not built (make build leaves build/quarnc)")


QUARNC = find_quarnc()
# The executable is an ordinary build even when the module under test is the
# sanitized one: it runs without the sanitizer runtime that stage preloads.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def quarnc(*args, stdin: bytes | None = None, cwd=None, timeout=120):
    """Runs quarnc; returns (exit status, stdout bytes, stderr text)."""
    result = subprocess.run([str(QUARNC), *map(str, args)], input=stdin if stdin is not None else b"",
                            capture_output=True, cwd=cwd, timeout=timeout, env=ENV)
    return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace")


def complaint(file, error: str) -> str:
    """What quarnc writes to standard error for a failed program: the file,
    ": ", the module's text, and a line feed unless it ends with one."""
    text = f"{file}: {error}"
    return text if text.endswith("\n") else text + "\n"


def module_error(source: str) -> str:
    result = quarn_py.compile_source(source)
    assert result["success"] is False
    return result["error"]


def module_bytes(source: str) -> bytes:
    result = quarn_py.compile_source(source)
    assert result["success"], result.get("error")
    return bytes(result["bytecode"])


def write(path: Path, data) -> Path:
    if isinstance(data, str):
        data = data.encode()
    path.write_bytes(data)
    return path


SIMPLE = "program demo { fn main() { let x = 1 + 2; } }"

# Failing programs of every stage that source can reach, with what the text
# names as the innermost position (None: no position).
FAILING = {
    "missing_semicolon": ("program p {\n  fn main() {\n    let x = 1\n  }\n}\n", "parse", (4, 3)),
    "empty": ("", "parse", None),
    "unclosed": ("program p { fn main() {", "parse", None),
    # The '$' follows 26 characters of its line (27 bytes: "é" takes two).
    "bad_token_after_multibyte": ("program p {\n  fn main() { let s = \"é\" $ 1; }\n}", "parse",
                                  (2, 27)),
    "undefined": ("program p { fn main() { x = 1; } }", "lowering", None),
    "scale_outside_main": ("program p { @scale(size=4) fn worker() { } fn main() { } }",
                           "lowering", None),
    # The lowering quotes the node it cannot lower; a cast's own operand has
    # no place in the source (line 0), the operand's children have.
    "cast": ("program p {\n  fn main() {\n    let x = 2;\n    let y = x as int;\n  }\n}",
             "lowering", None),
    "cast_of_sum": ("program p {\n  fn main() {\n    let x = 2;\n    let y = (x + 1) as int;\n"
                    "  }\n}", "lowering", (4, 14)),
    "span_in_a_string": ("program p { fn main() {\n let y = \"Span { start: 1, end: 2, line: 9, "
                         "col: 9 }\" as int; } }", "lowering", None),
}


# --- command line -------------------------------------------------------------

class TestCommandLine:
    def test_version_and_help(self):
        assert quarnc("--version") == (0, f"quarnc {VERSION} (Quarn core {VERSION})\n".encode(), "")
        status, out, err = quarnc("--help")
        assert status == 0 and err == ""
        for usage in (b"check [--json] FILE...", b"build FILE [-o OUT]", b"dis FILE",
                      b"verify FILE", b"--version | --help"):
            assert usage in out
        assert quarnc("-h")[1] == out

    @pytest.mark.parametrize("args, message", [
        ((), "no command given"),
        (("compile", "x"), "unknown command 'compile'"),
        (("--version", "extra"), "unexpected argument 'extra' after --version"),
        (("--help", "extra"), "unexpected argument 'extra' after --help"),
        (("-h", "check"), "unexpected argument 'check' after -h"),
        (("check",), "check needs at least one FILE"),
        (("check", "--jsn", "x"), "unknown option '--jsn' for check"),
        (("check", "--json", "--json", "x"), "--json given twice"),
        (("check", "-", "-"), "standard input ('-') named twice; it can be read only once"),
        (("check", "a", "-", "--", "-"), "standard input ('-') named twice; it can be read only once"),
        (("check", "--help", "x"), "'--help' takes no other arguments"),
        (("check", "x", "-h"), "'-h' takes no other arguments"),
        (("build",), "build takes one FILE"),
        (("build", "a", "b"), "unexpected argument 'b': build takes one FILE"),
        (("build", "a", "-o"), "-o needs a file name"),
        (("build", "a", "-o", ""), "-o needs a file name"),
        (("build", "a", "-o", "x", "-o", "y"), "-o given twice"),
        (("build", "-"), "build reads standard input only with -o OUT (-o - for standard output)"),
        (("dis", "--json", "a"), "unknown option '--json' for dis"),
        (("dis", "a", "b"), "unexpected argument 'b': dis takes one FILE"),
        (("verify",), "verify takes one FILE"),
        (("verify", "a", "b"), "unexpected argument 'b': verify takes one FILE"),
        (("verify", "-o", "x", "a"), "unknown option '-o' for verify"),
    ])
    def test_usage_errors_exit_2_and_say_what_is_wrong(self, args, message):
        """One line naming the problem, then a hint to the help of the
        command named (the general help when none is)."""
        status, out, err = quarnc(*args)
        assert (status, out) == (2, b"")
        command = args[0] if args and not args[0].startswith("-") and args[0] != "compile" else None
        hint = f"Try 'quarnc {command} --help'." if command else "Try 'quarnc --help'."
        assert err == f"quarnc: {message}\n{hint}\n"

    @pytest.mark.parametrize("command, usage", [
        ("check", "usage: quarnc check [--json] FILE...\n"),
        ("build", "usage: quarnc build FILE [-o OUT]\n"),
        ("dis", "usage: quarnc dis FILE\n"),
        ("verify", "usage: quarnc verify FILE\n"),
    ])
    def test_each_command_has_its_own_help(self, command, usage):
        status, out, err = quarnc(command, "--help")
        assert (status, err) == (0, "")
        assert out.decode().startswith(usage)
        assert quarnc(command, "-h") == (status, out, err)
        # A command's help is its own, and the general help lists them all.
        others = {"check", "build", "dis", "verify"} - {command}
        assert not any(f"quarnc {other}" in out.decode() for other in others)
        assert usage.removeprefix("usage: ").strip().encode() in quarnc("--help")[1]

    def test_standard_input_is_read_once_and_doubled_files_are_refused_before_reading(self):
        # Nothing is read or checked when the command line is wrong: the
        # source on stdin would compile.
        assert quarnc("check", "-", "-", stdin=SIMPLE.encode())[:2] == (2, b"")
        assert quarnc("check", "--json", "-", "--json", stdin=SIMPLE.encode())[:2] == (2, b"")

    def test_any_command_line_ends_with_a_status_not_a_signal(self, tmp_path):
        rng = random.Random(11)
        write(tmp_path / "p.quarn", SIMPLE)
        write(tmp_path / "p.qbc", module_bytes(SIMPLE)[:30])
        words = ["check", "build", "dis", "verify", "--json", "-o", "-", "--", "--help",
                 "--version", "p.quarn", "p.qbc", "out.qbc", "nope", ".", "", "-x"]
        for _ in range(80):
            args = [rng.choice(words) for _ in range(rng.randint(0, 5))]
            status, out, err = quarnc(*args, stdin=SIMPLE.encode(), cwd=tmp_path)
            assert status in (0, 1, 2), (args, status, err)
            # A failure always says why (check --json says it on stdout).
            assert status == 0 or err or (status == 1 and "--json" in args and out), args

    def test_double_dash_ends_options(self, tmp_path):
        write(tmp_path / "-o", SIMPLE)
        assert quarnc("check", "--", "-o", cwd=tmp_path) == (0, b"", "")


# --- check ----------------------------------------------------------------------

class TestCheck:
    def test_valid_programs_print_nothing(self, tmp_path):
        files = [write(tmp_path / f"p{i}.quarn", s) for i, s in enumerate(
            [SIMPLE, "program p { }", "program p { } anything at all"])]
        files.append(EXAMPLES / "triage.quarn")
        assert quarnc("check", *files) == (0, b"", "")

    @pytest.mark.parametrize("name", sorted(FAILING))
    def test_error_text_is_the_modules(self, tmp_path, name):
        source, stage, _ = FAILING[name]
        path = write(tmp_path / f"{name}.quarn", source)
        status, out, err = quarnc("check", path)
        assert (status, out) == (1, b"")
        assert err == complaint(path, module_error(source))
        prefix = {"parse": "Parse error: E_PARSE_ERROR: ",
                  "lowering": "Lowering error: E_VALIDATION_FAIL: "}[stage]
        assert module_error(source).startswith(prefix)

    def test_every_file_is_tried_and_the_worst_status_wins(self, tmp_path):
        good = write(tmp_path / "good.quarn", SIMPLE)
        bad1 = write(tmp_path / "bad1.quarn", FAILING["undefined"][0])
        bad2 = write(tmp_path / "bad2.quarn", FAILING["missing_semicolon"][0])
        status, out, err = quarnc("check", bad1, good, bad2)
        assert status == 1
        assert err == (complaint(bad1, module_error(FAILING["undefined"][0]))
                       + complaint(bad2, module_error(FAILING["missing_semicolon"][0])))
        missing = tmp_path / "missing.quarn"
        status, _, err = quarnc("check", bad1, missing, good)
        assert status == 2
        assert err.endswith(f"{missing}: cannot open: No such file or directory\n")

    def test_standard_input(self):
        assert quarnc("check", "-", stdin=SIMPLE.encode()) == (0, b"", "")
        source = FAILING["missing_semicolon"][0]
        assert quarnc("check", "-", stdin=source.encode()) == (
            1, b"", complaint("<stdin>", module_error(source)))

    def test_compiled_programs_are_decoded(self, tmp_path):
        compiled = module_bytes(SIMPLE)
        # Bytes that decode are a compiled program, whatever the name.
        assert quarnc("check", write(tmp_path / "prog.bin", compiled)) == (0, b"", "")
        assert quarnc("check", "-", stdin=compiled) == (0, b"", "")
        # A damaged one named .qbc is reported as the decoder sees it.
        damaged = write(tmp_path / "prog.qbc", compiled[:-1])
        expected = quarn_py.execute_bytecode(compiled[:-1])["error"]
        assert quarnc("check", damaged) == (1, b"", complaint(damaged, expected))


class TestCheckJson:
    @pytest.mark.parametrize("name", sorted(FAILING))
    def test_one_line_per_failing_file_with_stage_and_position(self, tmp_path, name):
        source, stage, position = FAILING[name]
        path = write(tmp_path / f"{name}.quarn", source)
        status, out, err = quarnc("check", "--json", path)
        assert (status, err) == (1, "")
        assert out.endswith(b"\n") and out.count(b"\n") == 1
        record = json.loads(out)
        message = module_error(source)
        expected = {"file": str(path), "stage": stage}
        found = text_position(message)
        if position is not None:
            assert found == position, message
        if found is not None:
            expected.update(line=found[0], column=found[1])
        expected["message"] = message
        # Key order is part of the format: file, stage, line, column, message.
        assert list(record.items()) == list(expected.items())

    def test_parse_positions_follow_the_caret(self, tmp_path):
        """For many broken programs the JSON position is where the first
        block of the text points: its line number and its caret column."""
        rng = random.Random(13)
        lines = ["program p {", "  fn main() {", "    let x = (1 + 2) * 3;", "    print(x);",
                 "  }", "}"]
        text = "\n".join(lines) + "\n"
        paths = []
        for k in range(40):
            cut = rng.randrange(1, len(text) - 1)
            broken = text[:cut] + rng.choice(["", "$", ";", "{", "let", "\n"]) + text[cut + 1:]
            paths.append(write(tmp_path / f"b{k}.quarn", broken))
        status, out, _ = quarnc("check", "--json", *paths)
        records = [json.loads(line) for line in out.splitlines()]
        assert [r["file"] for r in records] == [str(p) for p in paths]
        assert status == 1
        for record in records:
            source = Path(record["file"]).read_text()
            if record.get("ok"):
                assert quarn_py.compile_source(source)["success"]
                continue
            assert record["message"] == module_error(source)
            if record["stage"] == "parse" and "line" in record:
                assert (record["line"], record["column"]) == text_position(record["message"])
                # The column points into the named line (or just past its end).
                src_line = source.split("\n")[record["line"] - 1]
                assert 1 <= record["column"] <= len(src_line) + 1

    def test_decode_stage_and_file_errors(self, tmp_path):
        damaged = write(tmp_path / "x.qbc", b"\x01")
        status, out, err = quarnc("check", "--json", damaged)
        assert (status, err) == (1, "")
        assert json.loads(out) == {"file": str(damaged), "stage": "decode",
                                   "message": quarn_py.execute_bytecode(b"\x01")["error"]}
        # A file that cannot be read is not a program, but it is named on the
        # command line: it gets its line too, with the reason as `error`.
        status, out, err = quarnc("check", "--json", tmp_path / "nope.quarn")
        assert (status, err) == (2, "")
        assert json.loads(out) == {"file": str(tmp_path / "nope.quarn"),
                                   "error": "cannot open: No such file or directory"}

    def test_standard_input_and_non_utf8_file_names(self, tmp_path):
        out = quarnc("check", "--json", "-", stdin=b"program p {")[1]
        assert json.loads(out)["file"] == "<stdin>"
        odd = tmp_path / os.fsdecode(b"bad\xff.quarn")
        write(odd, "program p {")
        assert json.loads(quarnc("check", "--json", odd)[1])["file"].endswith("bad\ufffd.quarn")

    @pytest.mark.parametrize("blanks", [0, 16351, 70000])
    def test_column_is_exact_on_any_line_length(self, tmp_path, blanks):
        """The ';' is due where the '}' stands: after the head and the blanks,
        however far beyond what the message text shows of the line."""
        head = "program p { fn main() { let x = 1"
        path = write(tmp_path / "long.quarn", head + " " * blanks + "}")
        record = json.loads(quarnc("check", "--json", path)[1])
        assert (record["stage"], record["line"], record["column"]) == ("parse", 1,
                                                                       len(head) + blanks + 1)

    def test_columns_count_characters(self, tmp_path):
        """Characters before the place on its line count one each, however
        many bytes they take: here 2, 3 and 4 bytes."""
        line = "  fn main() { let s = \"é€😀\"; let t = (s + 1) as int; }"
        source = "program p {\n" + line + "\n}"
        lowering = json.loads(quarnc("check", "--json", write(tmp_path / "l.quarn", source))[1])
        assert (lowering["stage"], lowering["line"], lowering["column"]) == (
            "lowering", 2, line.index("s + 1") + 1)
        broken = source.replace("(s + 1)", "(s + 1) $")
        parse = json.loads(quarnc("check", "--json", write(tmp_path / "p.quarn", broken))[1])
        assert (parse["stage"], parse["line"], parse["column"]) == ("parse", 2, line.index(" as") + 2)


def text_position(message: str):
    """The innermost position an error text names, read the way a person
    reads it: a parse error's first block ("0: at line N" and its caret, which
    stands after as many blanks as there are bytes before the place; the
    column counts the characters of the quoted line in front of it), or the
    first span a lowering message quotes."""
    m = re.match(r"Parse error: E_PARSE_ERROR: 0: at line (\d+)[^\n]*\n([^\n]*)\n( *)\^", message)
    if m:
        shown, before = m.group(2).encode(), len(m.group(3))
        # Past the shown line stand only the blanks its display dropped.
        chars = len(shown[:before].decode()) + max(0, before - len(shown))
        return int(m.group(1)), chars + 1
    unquoted = re.sub(r'"(?:\\.|[^"\\])*"', '""', message)
    m = re.search(r"Span \{ start: \d+, end: \d+, line: ([1-9]\d*), col: (\d+) \}", unquoted)
    if m and message.startswith("Lowering error: "):
        return int(m.group(1)), int(m.group(2))
    return None


# --- build ---------------------------------------------------------------------

class TestBuild:
    def test_writes_exactly_the_compiled_bytes(self, tmp_path):
        src = write(tmp_path / "demo.quarn", SIMPLE)
        assert quarnc("build", src) == (0, b"", "")
        assert (tmp_path / "demo.qbc").read_bytes() == module_bytes(SIMPLE)
        triage = (EXAMPLES / "triage.quarn").read_text()
        out = tmp_path / "sub" / "t.out"
        out.parent.mkdir()
        assert quarnc("build", EXAMPLES / "triage.quarn", "-o", out) == (0, b"", "")
        assert out.read_bytes() == module_bytes(triage)
        assert quarnc("build", "-", "-o", "-", stdin=triage.encode()) == (0, module_bytes(triage), "")

    @pytest.mark.parametrize("name, expected", [
        ("prog.quarn", "prog.qbc"), ("prog", "prog.qbc"), ("a.b.quarn", "a.b.qbc"),
        (".hidden", ".hidden.qbc"),
    ])
    def test_default_output_replaces_the_extension(self, tmp_path, name, expected):
        folder = tmp_path / "dir.v"
        folder.mkdir()
        write(folder / name, SIMPLE)
        assert quarnc("build", Path("dir.v") / name, cwd=tmp_path)[0] == 0
        assert sorted(p.name for p in folder.iterdir()) == sorted([name, expected])

    def test_a_failed_build_leaves_the_old_output_alone(self, tmp_path):
        source = FAILING["undefined"][0]
        src = write(tmp_path / "p.quarn", source)
        old = write(tmp_path / "p.qbc", b"previous build")
        assert quarnc("build", src) == (1, b"", complaint(src, module_error(source)))
        assert old.read_bytes() == b"previous build"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["p.qbc", "p.quarn"]

    def test_replaces_atomically_with_ordinary_permissions(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        out = write(tmp_path / "p.qbc", b"old")
        os.chmod(out, 0o600)
        old_inode = out.stat().st_ino
        umask = os.umask(0o027)
        try:
            assert quarnc("build", src)[0] == 0
        finally:
            os.umask(umask)
        # A new file renamed into place (not the old one rewritten), no
        # temporary left beside it, mode as a plain create gives it.
        assert out.stat().st_ino != old_inode
        assert out.read_bytes() == module_bytes(SIMPLE)
        assert stat.S_IMODE(out.stat().st_mode) == 0o640
        assert sorted(p.name for p in tmp_path.iterdir()) == ["p.qbc", "p.quarn"]

    def test_output_errors(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        status, out, err = quarnc("build", src, "-o", tmp_path / "no" / "such" / "p.qbc")
        assert (status, out) == (2, b"")
        assert err == f"{tmp_path / 'no' / 'such' / 'p.qbc'}: cannot write: No such file or directory\n"
        (tmp_path / "d").mkdir()
        status, _, err = quarnc("build", src, "-o", tmp_path / "d")
        assert status == 2 and "cannot write: Is a directory" in err
        assert sorted(p.name for p in (tmp_path / "d").iterdir()) == []
        # Standard input has no name to derive the output's from.
        status, _, err = quarnc("build", "-", stdin=SIMPLE.encode())
        assert status == 2 and err.startswith("quarnc: build reads standard input only with -o OUT")
        # A source already named .qbc would be replaced by its own build.
        same = write(tmp_path / "x.qbc", SIMPLE)
        status, _, err = quarnc("build", same)
        assert (status, err) == (2, f"quarnc: the output '{same}' is the source file '{same}' itself; "
                                    "give another one with -o OUT\nTry 'quarnc build --help'.\n")
        assert same.read_text() == SIMPLE


# --- verify ----------------------------------------------------------------------

class TestVerify:
    def damaged_variants(self, good: bytes):
        rng = random.Random(7)
        yield good
        yield good + b"trailing bytes"
        yield bytes([7]) + good[1:]
        yield b""
        yield bytes([1]) + bytes(8) + bytes(32) + b"\x00"       # the empty container
        yield bytes([1]) + bytes(8) + bytes(32) + b"\x02"       # bad optional marker
        yield bytes([1]) + (1).to_bytes(8, "little") + (126).to_bytes(4, "little")
        yield bytes([1]) + (1 << 63).to_bytes(8, "little")      # forged huge count
        for cut in sorted(rng.sample(range(len(good)), 12)):
            yield good[:cut]
        for _ in range(25):
            b = bytearray(good)
            for _ in range(rng.randint(1, 3)):
                b[rng.randrange(len(b))] = rng.randrange(256)
            yield bytes(b)
        yield bytes(rng.randrange(256) for _ in range(300))

    def test_agrees_with_execute_bytecode(self, tmp_path):
        good = module_bytes((EXAMPLES / "triage.quarn").read_text())
        for k, data in enumerate(self.damaged_variants(good)):
            path = write(tmp_path / f"v{k}.qbc", data)
            result = quarn_py.execute_bytecode(data)
            if result["success"]:
                assert quarnc("verify", path) == (0, b"ok\n", ""), k
            else:
                assert quarnc("verify", path) == (1, b"", complaint(path, result["error"])), k

    def test_standard_input_and_unreadable_files(self, tmp_path):
        good = module_bytes(SIMPLE)
        assert quarnc("verify", "-", stdin=good) == (0, b"ok\n", "")
        assert quarnc("verify", "-", stdin=b"") == (
            1, b"", "<stdin>: Deserialization error: io error: unexpected end of file\n")
        assert quarnc("verify", tmp_path) == (2, b"", f"{tmp_path}: is a directory\n")


# --- dis ----------------------------------------------------------------------------

class TestDis:
    @pytest.mark.parametrize("name", sorted(p.stem for p in GOLDEN.glob("*.quarn")))
    def test_listing_matches_the_golden_file(self, tmp_path, name):
        source = GOLDEN / f"{name}.quarn"
        status, listing, err = quarnc("dis", source)
        assert (status, err) == (0, "")
        golden = GOLDEN / f"{name}.dis"
        if os.environ.get("QUARNC_REGOLD"):
            golden.write_bytes(listing)
        assert listing.decode() == golden.read_text()
        # The same listing from the compiled file, under any name, or piped.
        compiled = write(tmp_path / "c.bin", module_bytes(source.read_text()))
        assert quarnc("dis", compiled)[1] == listing
        assert quarnc("dis", "-", stdin=compiled.read_bytes())[1] == listing
        assert quarnc("dis", "-", stdin=source.read_bytes())[1] == listing

    @pytest.mark.parametrize("name", sorted(p.stem for p in GOLDEN.glob("*.quarn")))
    def test_listing_agrees_with_the_program(self, name):
        """Held against the bytes, not the golden file: the header, one line
        per instruction in order, every named target marked and only those,
        the source map complete."""
        data = module_bytes((GOLDEN / f"{name}.quarn").read_text())
        lines = quarnc("dis", GOLDEN / f"{name}.quarn")[1].decode().splitlines()
        assert lines[0] == f"format version: {data[0]}"
        count = int.from_bytes(data[1:9], "little")
        assert lines[4] == f"instructions: {count}"
        code = lines[5:5 + count]
        assert [int(re.match(r"[> ] (\d+): ", l).group(1)) for l in code] == list(range(count))
        targets = {int(t) for l in code for t in re.findall(r"@(\d+)", l)}
        marked = {i for i, l in enumerate(code) if l.startswith("> ")}
        after = [l for l in lines[5 + count:] if l.startswith("> ")]
        assert marked | {int(re.match(r"> (\d+)", l).group(1)) for l in after} == targets
        assert "parameter types:" in lines and "exports:" in lines

    def test_header_of_the_sample_program(self):
        data = module_bytes((EXAMPLES / "triage.quarn").read_text())
        head = quarnc("dis", EXAMPLES / "triage.quarn")[1].decode().splitlines()[:4]
        assert head[0] == "format version: 1"
        assert re.fullmatch(r"content hash: [0-9a-f]{64}", head[1])
        assert bytes.fromhex(head[1].split()[-1]) in data
        assert re.fullmatch(r"register count: [1-9]\d*", head[2])
        assert head[3] == 'source name: "triage.vekl"'

    def test_a_hand_made_program_without_metadata(self, tmp_path):
        """Targets the decoder lets through (past the end) are listed too."""
        def u32(n):
            return n.to_bytes(4, "little")
        code = (u32(79) + u32(2)              # 0: Jump @2 (the end)
                + u32(79) + u32(9)            # 1: Jump @9 (past the end)
                )
        data = bytes([3]) + (2).to_bytes(8, "little") + code + bytes(range(32)) + b"\x00"
        assert quarn_py.execute_bytecode(data)["success"]
        path = write(tmp_path / "hand.qbc", data)
        assert quarnc("dis", path) == (0, (
            "format version: 3\n"
            f"content hash: {bytes(range(32)).hex()}\n"
            "register count: none\n"
            "source name: none\n"
            "instructions: 2\n"
            "  0: Jump @2\n"
            "  1: Jump @9\n"
            "> 2: (end)\n"
            "> 9: (past the end)\n"
            "metadata: none\n").encode(), "")

    def test_failures(self, tmp_path):
        source = FAILING["cast"][0]
        src = write(tmp_path / "p.quarn", source)
        assert quarnc("dis", src) == (1, b"", complaint(src, module_error(source)))
        damaged = write(tmp_path / "p.qbc", module_bytes(SIMPLE)[:-3])
        assert quarnc("dis", damaged) == (
            1, b"", complaint(damaged, quarn_py.execute_bytecode(damaged.read_bytes())["error"]))
        # Not a program and not text: a file error, as for check.
        status, out, err = quarnc("dis", write(tmp_path / "g.bin", b"\x80garbage"))
        assert (status, out) == (2, b"") and "not valid UTF-8" in err


# --- files that are not what they should be ---------------------------------------

class TestBadFiles:
    @pytest.mark.parametrize("command", ["check", "build", "dis", "verify"])
    def test_missing_and_directory(self, tmp_path, command):
        missing = tmp_path / "missing.quarn"
        assert quarnc(command, missing) == (
            2, b"", f"{missing}: cannot open: No such file or directory\n")
        assert quarnc(command, tmp_path) == (2, b"", f"{tmp_path}: is a directory\n")

    def test_unreadable(self, tmp_path):
        if os.geteuid() == 0:
            pytest.skip("root reads every file")
        path = write(tmp_path / "p.quarn", SIMPLE)
        os.chmod(path, 0)
        assert quarnc("check", path) == (2, b"", f"{path}: cannot open: Permission denied\n")

    def test_empty_file(self, tmp_path):
        empty = write(tmp_path / "empty.quarn", b"")
        assert quarnc("check", empty) == (1, b"", complaint(empty, module_error("")))
        assert quarnc("verify", empty) == (
            1, b"", f"{empty}: Deserialization error: io error: unexpected end of file\n")

    @pytest.mark.parametrize("data, offset, line, column", [
        (b"\xff", 0, 1, 1),
        (b"program p { }\n\n  let s = \"caf\xc3\xa9 \xc3(\";", 32, 3, 17),  # bad continuation
        (b"ab\xc3", 2, 1, 3),                                               # cut short
        (b"\xed\xa0\x80", 0, 1, 1),                                         # a surrogate
        (b"\xc0\xaf", 0, 1, 1),                                             # overlong
        (b"\xe2\x82\xac\xf4\x90\x80\x80", 3, 1, 2),                         # above U+10FFFF
    ])
    def test_invalid_utf8_says_where(self, tmp_path, data, offset, line, column):
        path = write(tmp_path / "bad.quarn", data)
        for command in ("check", "build", "dis"):
            status, out, err = quarnc(command, path)
            assert (status, out) == (2, b"")
            assert err == (f"{path}: not valid UTF-8: byte 0x{data[offset]:02X} at offset {offset} "
                           f"(line {line}, column {column})\n")
        assert not (tmp_path / "bad.qbc").exists()

    def test_binary_garbage(self, tmp_path):
        rng = random.Random(3)
        garbage = bytes(rng.randrange(256) for _ in range(4096))
        path = write(tmp_path / "junk", garbage)
        assert quarnc("check", path)[0] == 2
        assert quarnc("verify", path) == (
            1, b"", complaint(path, quarn_py.execute_bytecode(garbage)["error"]))


# --- size ------------------------------------------------------------------------------

def big_source(size: int) -> str:
    fn = ("  fn f{k}(a: int, b: int) -> int {{\n"
          "    let t = a * {k} + b;\n"
          "    if t > 100 {{ return t - 1; }}\n"
          "    return t;\n"
          "  }}\n")
    parts, total, k = ["program big {\n"], 0, 0
    while total < size:
        parts.append(fn.format(k=k))
        total += len(parts[-1])
        k += 1
    parts.append("  fn main() { let x = f0(1, 2); }\n}\n")
    return "".join(parts)


def test_a_4mb_source(tmp_path):
    source = big_source(4 << 20)
    assert len(source) >= 4 << 20
    src = write(tmp_path / "big.quarn", source)
    assert quarnc("check", src, timeout=300) == (0, b"", "")
    assert quarnc("build", src, timeout=300) == (0, b"", "")
    assert (tmp_path / "big.qbc").read_bytes() == module_bytes(source)
    assert quarnc("verify", tmp_path / "big.qbc", timeout=300) == (0, b"ok\n", "")
    broken = source[:-3] + "$\n}\n"
    assert quarnc("check", "-", stdin=broken.encode(), timeout=300) == (
        1, b"", complaint("<stdin>", module_error(broken)))


def test_running_out_of_memory_is_a_message_not_a_crash(tmp_path):
    """A compile that needs more memory than the process may have ends with
    a message and status 2, as a file that cannot be read does."""
    import resource

    src = write(tmp_path / "big.quarn", big_source(16 << 20))

    # The source and its encoding (about three bytes per byte of source)
    # alone take more than 64 MiB; a small program still runs within it.
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))

    result = subprocess.run([str(QUARNC), "check", str(src)], capture_output=True,
                            preexec_fn=limit, timeout=300, env=ENV)
    assert (result.returncode, result.stdout, result.stderr) == (2, b"", b"quarnc: out of memory\n")


# --- the documented session ----------------------------------------------------------------

def test_the_documented_session_is_real(tmp_path):
    """docs/quarnc.md shows a session in ```console blocks; each command, run
    in a folder holding the examples, prints what the page shows."""
    page = (ROOT / "docs" / "quarnc.md").read_text()
    blocks = re.findall(r"```console\n(.*?)```", page, re.S)
    assert blocks
    for name in ("triage.quarn", "broken.quarn"):
        write(tmp_path / name, (EXAMPLES / name).read_bytes())
    commands = 0
    for block in blocks:
        for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, _, shown = chunk.partition("\n")
            env = dict(ENV, PATH=f"{QUARNC.parent}{os.pathsep}{os.environ['PATH']}")
            result = subprocess.run(["bash", "-c", command], env=env, cwd=tmp_path,
                                    capture_output=True, text=True, timeout=120)
            assert result.stdout + result.stderr == shown, command
            commands += 1
    assert commands >= 6
