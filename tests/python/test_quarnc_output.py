"""quarnc build's output rules and the inputs around them, run as a user runs
them (as root in CI): outputs that are devices, FIFOs, sockets, links or the
source itself; the temporary file under SIGINT, SIGTERM and SIGHUP; sources
with a byte-order mark and files of the wrong kind; check --json naming
every file; and dis listing a 100 MB program in bounded memory.

Device nodes are made here, in a temporary folder (a character device with
/dev/null's numbers, 1,3, and a block device 0,0 that nothing answers to);
the system's own /dev entries are never used."""
import json
import os
import signal
import socket
import stat
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import quarn_py
from test_quarnc import ENV, QUARNC, SIMPLE, complaint, module_bytes, module_error, quarnc, write

TRIAGE = (Path(__file__).resolve().parents[2] / "examples" / "triage.quarn").read_text()


def listing(folder: Path):
    return sorted(p.name for p in folder.iterdir())


def temporaries(*folders: Path):
    return [name for folder in folders for name in listing(folder) if ".tmp-" in name]


def make_node(path: Path, mode: int, major: int, minor: int) -> Path:
    """mknod, or a skip saying why it cannot be done here."""
    if os.geteuid() != 0:
        pytest.skip("making device nodes needs root")
    try:
        os.mknod(path, mode | 0o666, os.makedev(major, minor))
    except OSError as e:
        pytest.skip(f"mknod is not possible here: {e}")
    return path


def null_device(path: Path) -> Path:
    return make_node(path, stat.S_IFCHR, 1, 3)


# --- what the output is -----------------------------------------------------------------

class TestOutputKinds:
    def test_a_character_device_is_written_through(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        dev = null_device(tmp_path / "sink")
        before = os.stat(dev)
        assert quarnc("build", src, "-o", dev) == (0, b"", "")
        after = os.stat(dev)
        assert stat.S_ISCHR(after.st_mode) and after.st_rdev == before.st_rdev
        assert after.st_ino == before.st_ino
        assert listing(tmp_path) == ["p.quarn", "sink"]
        # The default output too, when it is a device.
        null_device(tmp_path / "p.qbc")
        assert quarnc("build", src) == (0, b"", "")
        assert stat.S_ISCHR(os.stat(tmp_path / "p.qbc").st_mode)
        assert temporaries(tmp_path) == []

    def test_a_fifo_is_written_through_to_its_reader(self, tmp_path):
        src = write(tmp_path / "t.quarn", TRIAGE)
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
        reader.start()
        status = quarnc("build", src, "-o", fifo)
        reader.join(timeout=60)
        assert status == (0, b"", "")
        assert received == [module_bytes(TRIAGE)]
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
        assert listing(tmp_path) == ["pipe", "t.quarn"]

    def test_a_socket_and_a_block_device_are_refused(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        sock_path = tmp_path / "sock"
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.bind(str(sock_path))
            assert quarnc("build", src, "-o", sock_path) == (
                2, b"", f"{sock_path}: is a socket; quarnc cannot write to one\n")
            assert stat.S_ISSOCK(os.lstat(sock_path).st_mode)
        block = make_node(tmp_path / "disk", stat.S_IFBLK, 0, 0)
        assert quarnc("build", src, "-o", block) == (
            2, b"", f"{block}: is a block device; quarnc does not write over one "
                    "(it holds a file system)\n")
        assert stat.S_ISBLK(os.lstat(block).st_mode)
        assert temporaries(tmp_path) == []

    def test_a_symbolic_link_is_followed_and_stays(self, tmp_path):
        """The file the link leads to is replaced atomically, beside itself;
        the link (and a chain of them) is left as it was."""
        src = write(tmp_path / "p.quarn", SIMPLE)
        here, there = tmp_path / "here", tmp_path / "there"
        here.mkdir()
        there.mkdir()
        target = write(there / "real.qbc", b"old")
        old_inode = target.stat().st_ino
        (here / "second").symlink_to(target)
        (here / "out.qbc").symlink_to("second")
        assert quarnc("build", src, "-o", here / "out.qbc") == (0, b"", "")
        assert os.readlink(here / "out.qbc") == "second"
        assert os.readlink(here / "second") == str(target)
        assert target.read_bytes() == module_bytes(SIMPLE)
        assert target.stat().st_ino != old_inode
        assert temporaries(here, there) == []

    def test_a_link_to_nothing_gets_its_target_created(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        (tmp_path / "sub").mkdir()
        (tmp_path / "out.qbc").symlink_to(Path("sub") / "made.qbc")
        assert quarnc("build", src, "-o", tmp_path / "out.qbc") == (0, b"", "")
        assert (tmp_path / "out.qbc").is_symlink()
        assert (tmp_path / "sub" / "made.qbc").read_bytes() == module_bytes(SIMPLE)
        assert temporaries(tmp_path, tmp_path / "sub") == []

    def test_a_link_to_a_device_writes_through_it(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        dev = null_device(tmp_path / "sink")
        (tmp_path / "out.qbc").symlink_to("sink")
        assert quarnc("build", src, "-o", tmp_path / "out.qbc") == (0, b"", "")
        assert os.readlink(tmp_path / "out.qbc") == "sink"
        assert stat.S_ISCHR(os.stat(dev).st_mode)

    def test_a_loop_of_links_is_an_error(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        (tmp_path / "a").symlink_to("b")
        (tmp_path / "b").symlink_to("a")
        assert quarnc("build", src, "-o", tmp_path / "a") == (
            2, b"", f"{tmp_path / 'a'}: cannot write: Too many levels of symbolic links\n")
        assert listing(tmp_path) == ["a", "b", "p.quarn"]


class TestOutputIsNotTheSource:
    @pytest.mark.parametrize("spelling", ["./p.quarn", "sub/../p.quarn", "ABSOLUTE", "soft",
                                          "hard", "soft-to-soft"])
    def test_any_name_of_the_source_is_refused(self, tmp_path, spelling):
        src = write(tmp_path / "p.quarn", SIMPLE)
        (tmp_path / "sub").mkdir()
        os.symlink("p.quarn", tmp_path / "soft")
        os.symlink("soft", tmp_path / "soft-to-soft")
        os.link(src, tmp_path / "hard")
        out = str(src) if spelling == "ABSOLUTE" else spelling
        before = os.stat(src)
        status, stdout, err = quarnc("build", "p.quarn", "-o", out, cwd=tmp_path)
        assert (status, stdout) == (2, b"")
        assert err == (f"quarnc: the output '{out}' is the source file 'p.quarn' itself; "
                       "give another one with -o OUT\nTry 'quarnc build --help'.\n")
        after = os.stat(src)
        assert src.read_text() == SIMPLE
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
        assert temporaries(tmp_path, tmp_path / "sub") == []

    def test_the_source_reached_through_a_link_is_refused(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        os.symlink("p.quarn", tmp_path / "link.quarn")
        assert quarnc("build", "link.quarn", "-o", "p.quarn", cwd=tmp_path)[0] == 2
        assert src.read_text() == SIMPLE

    def test_standard_input_redirected_from_the_output_is_refused(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        with open(src, "rb") as stdin:
            result = subprocess.run([str(QUARNC), "build", "-", "-o", str(src)], stdin=stdin,
                                    capture_output=True, env=ENV, timeout=60)
        assert result.returncode == 2
        assert b"is the source file '<stdin>' itself" in result.stderr
        assert src.read_text() == SIMPLE

    @pytest.mark.parametrize("args", [("build", "{f}", "-o", "-"), ("dis", "{f}"), ("check", "{f}"),
                                      ("verify", "-")])
    def test_standard_output_appending_to_an_input_is_refused(self, tmp_path, args):
        """`>> FILE` does not empty the file as `>` does: what quarnc wrote
        would land in the very file it reads."""
        data = module_bytes(SIMPLE) if args[0] == "verify" else SIMPLE.encode()
        path = write(tmp_path / "p.x", data)
        args = [a.format(f=path) for a in args]
        with open(path, "ab") as out, open(path, "rb") as stdin:
            result = subprocess.run([str(QUARNC), *args], stdin=stdin, stdout=out,
                                    stderr=subprocess.PIPE, env=ENV, timeout=60)
        name = "<stdin>" if args[-1] == "-" and args[0] == "verify" else str(path)
        assert result.returncode == 2
        assert result.stderr.decode() == (f"quarnc: standard output is the input file '{name}' itself; "
                                          f"write it elsewhere\nTry 'quarnc {args[0]} --help'.\n")
        assert path.read_bytes() == data

    def test_another_file_of_the_same_text_is_not_the_source(self, tmp_path):
        src = write(tmp_path / "p.quarn", SIMPLE)
        copy = write(tmp_path / "copy.quarn", SIMPLE)
        assert quarnc("build", src, "-o", copy) == (0, b"", "")
        assert copy.read_bytes() == module_bytes(SIMPLE)

    def test_a_character_device_may_be_both(self, tmp_path):
        """A device is a stream, not stored text: reading it and writing it
        destroys nothing. The null device reads as an empty source."""
        dev = null_device(tmp_path / "null")
        assert quarnc("build", dev, "-o", dev) == (1, b"", complaint(dev, module_error("")))


# --- signals ------------------------------------------------------------------------------

SLOW_FSYNC = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

/* fsync, held up by SLOW_FSYNC_MS: keeps quarnc build inside the window in
   which its temporary file exists. */
int fsync(int fd) {
  const char* ms = getenv("SLOW_FSYNC_MS");
  if (ms != NULL) {
    long n = atol(ms);
    struct timespec t = {n / 1000, (n % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
  }
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}
"""


@pytest.fixture(scope="module")
def slow_fsync(tmp_path_factory):
    folder = tmp_path_factory.mktemp("shim")
    (folder / "slow_fsync.c").write_text(SLOW_FSYNC)
    library = folder / "slow_fsync.so"
    try:
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(folder / "slow_fsync.c"),
                        "-ldl"], check=True, capture_output=True, timeout=120)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"no C compiler to build the fsync shim: {e}")
    return library


def start_slow_build(tmp_path: Path, library: Path, delay_ms: int, preexec_fn=None):
    """Starts a build whose fsync waits; returns the process once its
    temporary file exists."""
    src = write(tmp_path / "p.quarn", TRIAGE)
    env = dict(ENV, LD_PRELOAD=str(library), SLOW_FSYNC_MS=str(delay_ms))

    def dispositions():
        # The build starts with the signals' default actions whatever this
        # test run inherited (a shell's background job ignores SIGINT), since
        # quarnc keeps a signal that it finds ignored ignored.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_DFL)
        if preexec_fn is not None:
            preexec_fn()

    proc = subprocess.Popen([str(QUARNC), "build", str(src)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=dispositions)
    deadline = time.monotonic() + 60
    while not temporaries(tmp_path):
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "no temporary file appeared"
        time.sleep(0.01)
    return proc


class TestSignals:
    @pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
    def test_the_temporary_file_goes_and_the_signal_ends_the_process(self, tmp_path, slow_fsync, sig):
        old = write(tmp_path / "p.qbc", b"previous build")
        proc = start_slow_build(tmp_path, slow_fsync, 60_000)
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
        # Ended by the signal itself: a shell shows 128 + its number.
        assert (proc.returncode, out, err) == (-sig, b"", b"")
        assert listing(tmp_path) == ["p.qbc", "p.quarn"]
        assert old.read_bytes() == b"previous build"

    def test_status_in_a_shell_is_128_plus_the_signal(self, tmp_path, slow_fsync):
        src = write(tmp_path / "p.quarn", TRIAGE)
        env = dict(ENV, LD_PRELOAD=str(slow_fsync), SLOW_FSYNC_MS="60000", Q=str(QUARNC))
        shell = subprocess.Popen(["bash", "-c", '"$Q" build p.quarn & echo $!; wait $!; echo "status $?"'],
                                 cwd=tmp_path, env=env, stdout=subprocess.PIPE, text=True)
        pid = int(shell.stdout.readline())
        deadline = time.monotonic() + 60
        while not temporaries(tmp_path):
            assert time.monotonic() < deadline
            time.sleep(0.01)
        os.kill(pid, signal.SIGTERM)
        assert shell.communicate(timeout=60)[0] == f"status {128 + signal.SIGTERM}\n"
        assert listing(tmp_path) == [src.name]

    def test_an_ignored_signal_stays_ignored(self, tmp_path, slow_fsync):
        """As under nohup: SIGHUP does not stop the build, which completes."""
        proc = start_slow_build(tmp_path, slow_fsync, 1500,
                                preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        proc.send_signal(signal.SIGHUP)
        out, err = proc.communicate(timeout=60)
        assert (proc.returncode, out, err) == (0, b"", b"")
        assert (tmp_path / "p.qbc").read_bytes() == module_bytes(TRIAGE)
        assert listing(tmp_path) == ["p.qbc", "p.quarn"]


# --- what the input is --------------------------------------------------------------------

BOM_MESSAGE = ("starts with a UTF-8 byte-order mark (bytes EF BB BF); Quarn source is plain UTF-8 "
               "without one: save the file without the mark")
BYTECODE_MESSAGE = ("looks like Quarn bytecode (a compiled program), not source; "
                    "did you mean 'quarnc dis'?")
SOURCE_MESSAGE = ("looks like Quarn source, not bytecode (a compiled program); "
                  "did you mean 'quarnc check'?")


class TestInputKinds:
    def test_a_byte_order_mark_is_refused_by_name(self, tmp_path):
        text = "\ufeff" + SIMPLE
        # The module takes the text as given and does not build it either, so
        # refusing keeps the two in agreement.
        assert not quarn_py.compile_source(text)["success"]
        path = write(tmp_path / "bom.quarn", text.encode("utf-8"))
        for command in ("check", "build", "dis"):
            assert quarnc(command, path) == (2, b"", f"{path}: {BOM_MESSAGE}\n"), command
        assert quarnc("check", "-", stdin=text.encode()) == (2, b"", f"<stdin>: {BOM_MESSAGE}\n")
        assert listing(tmp_path) == ["bom.quarn"]
        # Without the mark the same file builds to the module's bytes.
        write(path, SIMPLE)
        assert quarnc("build", path) == (0, b"", "")
        assert (tmp_path / "bom.qbc").read_bytes() == module_bytes(SIMPLE)

    def test_a_utf16_byte_order_mark_is_named_too(self, tmp_path):
        for name, encoding in (("le.quarn", "utf-16-le"), ("be.quarn", "utf-16-be")):
            mark = "\ufeff".encode(encoding)
            path = write(tmp_path / name, mark + SIMPLE.encode(encoding))
            assert quarnc("check", path) == (
                2, b"", f"{path}: starts with a UTF-16 byte-order mark; Quarn source is read as UTF-8\n")

    def test_a_mark_further_on_is_only_a_character(self, tmp_path):
        """Only a mark at the very start is a mark; U+FEFF elsewhere is text
        and goes to the compiler, which says what it makes of it."""
        text = "program p {\n \ufeff }"
        path = write(tmp_path / "p.quarn", text)
        result = quarn_py.compile_source(text)
        expected = (0, b"", "") if result["success"] else (1, b"", complaint(path, result["error"]))
        assert quarnc("check", path) == expected

    @pytest.mark.parametrize("cut", [None, 100, 20, 13])
    def test_build_refuses_bytecode(self, tmp_path, cut):
        compiled = module_bytes(TRIAGE)[:cut]
        for name in ("t.qbc", "t.quarn", "t"):
            path = write(tmp_path / name, compiled)
            assert quarnc("build", path, "-o", tmp_path / "out") == (
                2, b"", f"{path}: {BYTECODE_MESSAGE}\n")
        assert "out" not in listing(tmp_path)

    def test_check_and_dis_report_cut_bytecode_as_bytecode_whatever_its_name(self, tmp_path):
        compiled = module_bytes(TRIAGE)
        for cut in (13, 100, len(compiled) - 1):
            data = compiled[:cut]
            path = write(tmp_path / "t.bin", data)
            expected = (1, b"", complaint(path, quarn_py.execute_bytecode(data)["error"]))
            assert quarnc("check", path) == expected, cut
            assert quarnc("dis", path) == expected, cut

    def test_verify_refuses_source(self, tmp_path):
        for name in ("p.quarn", "p.qbc"):
            path = write(tmp_path / name, TRIAGE)
            assert quarnc("verify", path) == (2, b"", f"{path}: {SOURCE_MESSAGE}\n")
        assert quarnc("verify", "-", stdin=b"program p {") == (2, b"", f"<stdin>: {SOURCE_MESSAGE}\n")
        # Not text and not a program: the decoder's word, as before.
        for data in (b"", b"\x00\x01\x02", b"   \n", "caf\u00e9\x07".encode()):
            path = write(tmp_path / "x.qbc", data)
            assert quarnc("verify", path) == (
                1, b"", complaint(path, quarn_py.execute_bytecode(data)["error"])), data

    def test_source_named_like_bytecode_is_still_source_to_check_and_dis(self, tmp_path):
        path = write(tmp_path / "p.qbc", TRIAGE)
        assert quarnc("check", path) == (0, b"", "")
        assert quarnc("dis", path)[1] == quarnc("dis", "-", stdin=TRIAGE.encode())[1]
        broken = write(tmp_path / "b.qbc", "program p {")
        assert quarnc("check", broken) == (1, b"", complaint(broken, module_error("program p {")))


# --- check --json tells the whole story ---------------------------------------------------

class TestJsonNamesEveryFile:
    def test_one_line_per_file_in_order(self, tmp_path):
        good = write(tmp_path / "good.quarn", SIMPLE)
        bad = write(tmp_path / "bad.quarn", "program p {")
        compiled = write(tmp_path / "c.qbc", module_bytes(SIMPLE))
        cut = write(tmp_path / "cut.qbc", module_bytes(SIMPLE)[:-1])
        latin1 = write(tmp_path / "latin1.quarn", b"program p { }\n// caf\xe9\n")
        bom = write(tmp_path / "bom.quarn", "\ufeff" + SIMPLE)
        missing = tmp_path / "missing.quarn"
        files = [good, bad, compiled, cut, latin1, bom, missing, tmp_path, "-"]
        status, out, err = quarnc("check", "--json", *files, stdin=b"program q {")
        assert (status, err) == (2, "")
        records = [json.loads(line) for line in out.decode().splitlines()]
        assert [r["file"] for r in records] == [str(f) for f in files[:-1]] + ["<stdin>"]
        by_file = dict(zip([str(f) for f in files], records))
        assert by_file[str(good)] == {"file": str(good), "ok": True}
        assert by_file[str(compiled)] == {"file": str(compiled), "ok": True}
        assert by_file[str(bad)]["message"] == module_error("program p {")
        assert by_file[str(cut)]["stage"] == "decode"
        assert by_file[str(cut)]["message"] == quarn_py.execute_bytecode(cut.read_bytes())["error"]
        assert by_file[str(latin1)] == {
            "file": str(latin1),
            "error": "not valid UTF-8: byte 0xE9 at offset 20 (line 2, column 7)"}
        assert by_file[str(bom)] == {"file": str(bom), "error": BOM_MESSAGE}
        assert by_file[str(missing)] == {"file": str(missing),
                                         "error": "cannot open: No such file or directory"}
        assert by_file[str(tmp_path)] == {"file": str(tmp_path), "error": "is a directory"}
        assert by_file["-"]["message"] == module_error("program q {")

    def test_plain_mode_says_the_same_on_standard_error(self, tmp_path):
        """Each JSON line carries the text plain mode writes after FILE: ."""
        files = [write(tmp_path / "bad.quarn", "program p {"),
                 write(tmp_path / "latin1.quarn", b"\xff"), tmp_path / "missing.quarn"]
        status, out, _ = quarnc("check", "--json", *files)
        plain_status, _, plain = quarnc("check", *files)
        assert status == plain_status == 2
        said = "".join(complaint(r["file"], r.get("message") or r.get("error"))
                       for r in map(json.loads, out.decode().splitlines()))
        assert said == plain


# --- dis of a large program ------------------------------------------------------------------

def u32(n):
    return struct.pack("<I", n)


# Runs a command and writes its peak resident size in kilobytes to standard
# error. A child's peak counts what it held between fork and exec, so
# measured straight from the test process (hundreds of MB after a full
# session) it would be the test process's; from this small one it is the
# command's own, give or take this interpreter's few MB.
PEAK_OF_CHILD = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:])
_, status, usage = os.wait4(child.pid, 0)
sys.stderr.write(f"peak {usage.ru_maxrss}")
sys.exit(os.waitstatus_to_exitcode(status))
"""


def test_dis_of_a_100mb_program_streams(tmp_path):
    """The listing of a program of more than 100 MB of mostly small
    instructions (where a decoded instruction costs ten times its bytes)
    comes out whole, with the peak memory of the process below twice the
    file's size."""
    # A block of four instructions, 56 bytes: LoadConst r0, Int(7);
    # Move r1, r0; JumpIf r1, @1, @3; Jump @0.
    block_count = (100 << 20) // 56 + 1
    count = 4 * block_count
    block = (u32(0) + u32(0) + u32(2) + struct.pack("<q", 7)
             + u32(1) + u32(1) + u32(0)
             + u32(78) + u32(1) + u32(1) + u32(3)
             + u32(79) + u32(0))
    assert len(block) == 56
    path = tmp_path / "big.qbc"
    with open(path, "wb") as f:
        f.write(bytes([1]) + struct.pack("<Q", count))
        chunk = block * 65536
        for _ in range(block_count // 65536):
            f.write(chunk)
        f.write(block * (block_count % 65536))
        f.write(bytes(32) + b"\x00")
    size = path.stat().st_size
    assert size >= 100 << 20
    small = (bytes([1]) + struct.pack("<Q", 4) + block + bytes(32) + b"\x00")
    assert quarn_py.execute_bytecode(small)["success"]

    try:
        started = time.monotonic()
        proc = subprocess.Popen([sys.executable, "-c", PEAK_OF_CHILD, str(QUARNC), "dis", str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
        lines, head, tail = 0, b"", b""
        while chunk := proc.stdout.read(1 << 20):
            lines += chunk.count(b"\n")
            if len(head) < 4096:
                head += chunk[:4096]
            tail = (tail + chunk)[-4096:]
        err = proc.stderr.read()
        proc.wait()
        elapsed = time.monotonic() - started
    finally:
        path.unlink()
    err, _, peak_kb = err.rpartition(b"peak ")
    peak = int(peak_kb) * 1024  # kilobytes on Linux
    assert (proc.returncode, err) == (0, b"")
    assert head.decode().splitlines()[:10] == [
        "format version: 1", f"content hash: {'00' * 32}", "register count: none",
        "source name: none", f"instructions: {count}",
        "> 0: LoadConst r0, Int(7)", "> 1: Move r1, r0", "  2: JumpIf r1, @1, @3",
        "> 3: Jump @0", "  4: LoadConst r0, Int(7)"]
    assert tail.decode().splitlines()[-2:] == [f"  {count - 1}: Jump @0", "metadata: none"]
    assert lines == 5 + count + 1
    print(f"\ndis of {size / 1e6:.0f} MB: peak RSS {peak / 1e6:.0f} MB "
          f"({peak / size:.2f} x the file), {elapsed:.1f} s")
    assert peak < 2 * size, f"peak RSS {peak} for a file of {size} bytes"
