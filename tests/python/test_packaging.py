"""pip installs the module offline from this source tree: the wheel's
contents, tags and RECORD, the metadata hooks, the sdist, installing into a
fresh environment, and uninstalling without leftovers."""
import base64
import csv
import hashlib
import io
import json
import re
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import quarn_py
from conftest import SANITIZED

pytestmark = pytest.mark.skipif(SANITIZED, reason="pip builds are not run against the ASan module")

import wheel_support as ws  # noqa: E402

VERSION = quarn_py.version().split()[1]
NODOT = f"{sys.version_info.major}{sys.version_info.minor}"


def call_hook(hook: str, *args) -> str:
    """Calls a backend hook the way a build front end does: in a child
    interpreter started in the source tree."""
    code = ("import json, sys; sys.path.insert(0, 'wheel_backend'); import quarn_build; "
            f"print(json.dumps(quarn_build.{hook}(*json.loads(sys.argv[1]))))")
    out = ws.run([sys.executable, "-c", code, json.dumps([str(a) for a in args])],
                 cwd=ws.ROOT)
    return json.loads(out.stdout.strip().splitlines()[-1])


def wheel_members() -> dict[str, bytes]:
    with zipfile.ZipFile(ws.wheel()) as z:
        return {name: z.read(name) for name in z.namelist()}


def test_wheel_is_tagged_for_this_interpreter():
    name = ws.wheel().name
    assert re.fullmatch(rf"quarn_py-{re.escape(VERSION)}-cp{NODOT}-cp{NODOT}{sys.abiflags}-"
                        r"linux_[a-z0-9_]+\.whl", name), name
    wheel_file = wheel_members()[f"quarn_py-{VERSION}.dist-info/WHEEL"].decode()
    tag = name[len(f"quarn_py-{VERSION}-"):-len(".whl")]
    assert f"Tag: {tag}\n" in wheel_file
    assert "Root-Is-Purelib: false\n" in wheel_file


def test_wheel_holds_the_module_stubs_and_metadata_only():
    dist_info = f"quarn_py-{VERSION}.dist-info"
    assert sorted(wheel_members()) == sorted([
        "quarn_py" + ws.ext_suffix(),
        "quarn_py-stubs/__init__.pyi",
        "quarn_py-stubs/py.typed",
        f"quarn_py-{VERSION}.data/scripts/quarnc",
        f"{dist_info}/METADATA",
        f"{dist_info}/WHEEL",
        f"{dist_info}/top_level.txt",
        f"{dist_info}/RECORD",
    ])


def test_record_lists_every_file_with_its_hash_and_size():
    members = wheel_members()
    record_name = f"quarn_py-{VERSION}.dist-info/RECORD"
    rows = list(csv.reader(io.StringIO(members[record_name].decode())))
    assert sorted(r[0] for r in rows) == sorted(members)
    for path, digest, size in rows:
        if path == record_name:
            assert digest == "" and size == ""
            continue
        expected = base64.urlsafe_b64encode(hashlib.sha256(members[path]).digest()).rstrip(b"=")
        assert digest == "sha256=" + expected.decode(), path
        assert int(size) == len(members[path]), path


def test_metadata_agrees_with_the_module_and_the_hooks(tmp_path):
    metadata = wheel_members()[f"quarn_py-{VERSION}.dist-info/METADATA"].decode()
    assert "Name: quarn_py\n" in metadata
    assert f"Version: {VERSION}\n" in metadata
    assert "Requires-Python: >=3.12\n" in metadata
    assert "Classifier: Typing :: Typed\n" in metadata
    # prepare_metadata_for_build_wheel promises what build_wheel delivers.
    name = call_hook("prepare_metadata_for_build_wheel", tmp_path)
    assert name == f"quarn_py-{VERSION}.dist-info"
    assert (tmp_path / name / "METADATA").read_text() == metadata
    assert call_hook("get_requires_for_build_wheel") == []
    assert call_hook("get_requires_for_build_sdist") == []


def test_installed_module_works_outside_the_source_tree():
    python = ws.installed_python()
    code = ("import importlib.metadata as m, quarn_py, sys; "
            "print(quarn_py.__file__); print(quarn_py.version()); print(m.version('quarn_py'))")
    out = ws.run([python, "-c", code]).stdout.splitlines()
    module_file, version_text, dist_version = out
    assert Path(module_file).parent == ws.site_packages(python)
    assert version_text == quarn_py.version()
    assert dist_version == VERSION


def test_installed_quarnc_runs_from_the_scripts_folder(tmp_path):
    """The command-line compiler comes with the wheel, installed executable
    next to the environment's python, and compiles as the module does."""
    python = ws.installed_python()
    scripts = ws.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['scripts'])"])
    tool = Path(scripts.stdout.strip()) / "quarnc"
    assert tool.is_file() and tool.stat().st_mode & 0o111
    assert ws.run([tool, "--version"]).stdout == f"quarnc {VERSION} (Quarn core {VERSION})\n"
    source = "program demo { fn main() { let x = 1 + 2; } }"
    (tmp_path / "demo.quarn").write_text(source)
    ws.run([tool, "build", "demo.quarn"], cwd=tmp_path)
    assert (tmp_path / "demo.qbc").read_bytes() == bytes(quarn_py.compile_source(source)["bytecode"])
    assert ws.run([tool, "verify", "demo.qbc"], cwd=tmp_path).stdout == "ok\n"


def test_uninstall_removes_everything_it_installed():
    python = ws.make_venv("venv-uninstall")
    site = ws.site_packages(python)
    bin_dir = python.parent
    before = sorted(p.relative_to(site) for p in site.rglob("*"))
    bin_before = sorted(p.name for p in bin_dir.iterdir())
    ws.pip(python, "install", "-q", "--no-deps", ws.wheel())
    installed = {p.relative_to(site) for p in site.rglob("*")} - set(before)
    assert Path("quarn_py" + ws.ext_suffix()) in installed
    assert Path("quarn_py-stubs/__init__.pyi") in installed
    assert (bin_dir / "quarnc").is_file()
    ws.pip(python, "uninstall", "-y", "-q", "quarn_py")
    after = sorted(p.relative_to(site) for p in site.rglob("*"))
    assert after == before
    assert sorted(p.name for p in bin_dir.iterdir()) == bin_before


def test_pip_install_from_the_source_tree_without_isolation():
    """`pip install --no-build-isolation .`, as a user would run it."""
    python = ws.make_venv("venv-source")
    top_before = sorted(p.name for p in ws.ROOT.iterdir())
    ws.run([sys.executable, "-m", "pip", "--python", python, "install", "-q",
            "--no-build-isolation", "--no-deps",
            "--config-settings", f"build-dir={ws.build_cache_dir()}", "."],
           cwd=ws.ROOT, timeout=1500)
    out = ws.run([python, "-c", "import quarn_py; print(quarn_py.version())"])
    assert out.stdout.strip() == quarn_py.version()
    # The build happens elsewhere: no build folder, egg-info or dist appears.
    new = set(p.name for p in ws.ROOT.iterdir()) - set(top_before)
    assert not [n for n in new if n.startswith(("build", "dist")) or n.endswith("egg-info")]


def test_sdist_carries_what_the_build_needs_and_is_reproducible(tmp_path):
    first = call_hook("build_sdist", tmp_path / "a")
    second = call_hook("build_sdist", tmp_path / "b")
    assert first == second == f"quarn_py-{VERSION}.tar.gz"
    data = (tmp_path / "a" / first).read_bytes()
    assert data == (tmp_path / "b" / second).read_bytes()
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        names = set(tar.getnames())
        pkg_info = tar.extractfile(f"quarn_py-{VERSION}/PKG-INFO").read().decode()
    top = f"quarn_py-{VERSION}/"
    assert all(n.startswith(top) for n in names)
    for needed in ["pyproject.toml", "CMakeLists.txt", "wheel_backend/quarn_build.py",
                   "quarn_py/lib.cpp", "quarn_py-stubs/__init__.pyi", "cmake/python_module.cmake",
                   "quarnc/CMakeLists.txt", "quarnc/main.cpp",
                   "README.md"]:
        assert top + needed in names, needed
    if (ws.ROOT / ".deps/blake3/c/blake3.h").exists():
        assert top + ".deps/blake3/c/blake3.h" in names
    tops = {n.removeprefix(top).split("/")[0] for n in names}
    assert not any(t.startswith(("build", ".git")) for t in tops), tops
    assert not any(n.endswith((".pyc", ".so", ".o")) for n in names)
    assert pkg_info == wheel_members()[f"quarn_py-{VERSION}.dist-info/METADATA"].decode()


def test_backend_refuses_a_version_that_differs_from_the_cmake_project(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(ws.ROOT / "wheel_backend"))
    import quarn_build

    (tmp_path / "pyproject.toml").write_text(
        (ws.ROOT / "pyproject.toml").read_text().replace(f'version = "{VERSION}"',
                                                          'version = "9.9.9"'))
    (tmp_path / "CMakeLists.txt").write_text((ws.ROOT / "CMakeLists.txt").read_text())
    monkeypatch.setattr(quarn_build, "ROOT", tmp_path)
    with pytest.raises(quarn_build.BuildError, match="9.9.9 differs from CMakeLists.txt"):
        quarn_build.prepare_metadata_for_build_wheel(str(tmp_path / "meta"))
    with pytest.raises(quarn_build.BuildError):
        quarn_build.build_sdist(str(tmp_path / "dist"))
