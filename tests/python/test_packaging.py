"""The package as Python users get it: `pip install .` into a fresh
environment, `pip wheel .`, an sdist and a wheel built from it, and the
repaired manylinux wheel installed far from the source and build trees.
Each installed copy must run all seven functions and the quarnc command,
and report the version that CMakeLists.txt states."""
import re
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import quarn_py
from conftest import SANITIZED

import wheel_support as ws

pytestmark = pytest.mark.skipif(SANITIZED, reason="pip builds are not run against the ASan module")

VERSION = ws.project_version()
NODOT = f"{sys.version_info.major}{sys.version_info.minor}"
SOURCE = "program demo { fn main() { let x = 1 + 2; } }"

# Run inside an installed environment, from a folder outside the source tree:
# every function once, with results checked against what the input says.
SMOKE = r"""
import json, sys, quarn_py
note = "Patient has Diabetes; takes metformin. Straße"
assert quarn_py.tokenize(note) == ["patient", "has", "diabetes", "takes", "metformin", "straße"]
entities = quarn_py.extract_entities(note)
offsets = [(e["text"], note.encode().lower().find(e["text"].encode())) for e in entities]
assert [(e["text"], e["start"]) for e in entities] == offsets, entities
assert {e["text"] for e in entities} == {"diabetes", "metformin"}, entities
ej = json.dumps(entities)
audit = quarn_py.create_audit("note-1", ej, timestamp=1_700_000_000)
assert json.loads(audit)["timestamp"] == 1_700_000_000
assert quarn_py.verify_audit(audit, ej) and not quarn_py.verify_audit(audit, ej + " ")
result = quarn_py.compile_source(sys.argv[1])
assert result["success"], result
assert quarn_py.execute_bytecode(result["bytecode"]) == {"success": True, "output": "Execution successful"}
print(quarn_py.__file__)
print(quarn_py.version())
print(bytes(result["bytecode"]).hex())
"""


def check_installed(python: Path, workdir: Path) -> Path:
    """Runs every function and quarnc in the environment of `python`, from
    `workdir`; returns the folder the module was loaded from."""
    workdir.mkdir(exist_ok=True)
    out = ws.run([python, "-c", SMOKE, SOURCE], cwd=workdir).stdout.splitlines()
    module_file, version_text, bytecode_hex = out
    assert version_text == f"quarn-py {VERSION} (Quarn core {VERSION})"
    meta = ws.run([python, "-c", "import importlib.metadata as m; print(m.version('quarn_py'))"],
                  cwd=workdir)
    assert meta.stdout.strip() == VERSION

    tool = ws.scripts_dir(python) / "quarnc"
    assert tool.is_file() and tool.stat().st_mode & 0o111
    assert ws.run([tool, "--version"], cwd=workdir).stdout == f"quarnc {VERSION} (Quarn core {VERSION})\n"
    (workdir / "demo.quarn").write_text(SOURCE)
    ws.run([tool, "build", "demo.quarn"], cwd=workdir)
    assert (workdir / "demo.qbc").read_bytes().hex() == bytecode_hex
    assert ws.run([tool, "verify", "demo.qbc"], cwd=workdir).stdout == "ok\n"
    assert "LoadConst" in ws.run([tool, "dis", "demo.qbc"], cwd=workdir).stdout
    return Path(module_file).parent


def wheel_members(path: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist()}


def test_the_tests_import_the_installed_module():
    """The suite itself runs against the module as pip installed it into
    the test environment, not a build folder on sys.path."""
    import sysconfig

    assert Path(quarn_py.__file__).parent == Path(sysconfig.get_paths()["platlib"])
    assert quarn_py.version() == f"quarn-py {VERSION} (Quarn core {VERSION})"


def test_pip_wheel_holds_module_stubs_quarnc_and_metadata():
    wheel = ws.tree_wheel()
    assert re.fullmatch(rf"quarn_py-{re.escape(VERSION)}-cp{NODOT}-cp{NODOT}{sys.abiflags}-"
                        r"linux_x86_64\.whl", wheel.name), wheel.name
    members = wheel_members(wheel)
    dist_info = f"quarn_py-{VERSION}.dist-info"
    assert sorted(n for n in members if not n.startswith(dist_info)) == sorted([
        "quarn_py" + ws.ext_suffix(),
        "quarn_py-stubs/__init__.pyi",
        "quarn_py-stubs/py.typed",
        f"quarn_py-{VERSION}.data/scripts/quarnc",
    ])
    assert members["quarn_py-stubs/__init__.pyi"] == (ws.ROOT / "quarn_py-stubs/__init__.pyi").read_bytes()
    assert members[f"quarn_py-{VERSION}.data/scripts/quarnc"].startswith(b"\x7fELF")
    metadata = members[f"{dist_info}/METADATA"].decode()
    for line in ["Name: quarn_py", f"Version: {VERSION}", "Requires-Python: >=3.12",
                 "Classifier: Typing :: Typed"]:
        assert line + "\n" in metadata, line
    assert "Root-Is-Purelib: false\n" in members[f"{dist_info}/WHEEL"].decode()


def test_pip_install_dot_into_a_fresh_environment(tmp_path):
    """`pip install .` as a user types it: the build backend comes from the
    package index into an isolated build environment."""
    python = ws.make_venv("venv-install")
    ws.pip(python, "install", "-q", ws.ROOT)
    assert check_installed(python, tmp_path / "work") == ws.site_packages(python)
    assert (ws.site_packages(python) / "quarn_py-stubs" / "py.typed").is_file()


def test_uninstall_removes_everything_the_wheel_installed():
    python = ws.make_venv("venv-uninstall")
    site = ws.site_packages(python)
    bin_dir = python.parent
    before = sorted(p.relative_to(site) for p in site.rglob("*"))
    bin_before = sorted(p.name for p in bin_dir.iterdir())
    ws.pip(python, "install", "-q", "--no-deps", ws.tree_wheel())
    assert (bin_dir / "quarnc").is_file()
    ws.pip(python, "uninstall", "-y", "-q", "quarn_py")
    assert sorted(p.relative_to(site) for p in site.rglob("*")) == before
    assert sorted(p.name for p in bin_dir.iterdir()) == bin_before


def test_sdist_builds_a_working_wheel_in_a_fresh_environment(tmp_path):
    dist = tmp_path / "dist"
    ws.run([sys.executable, "-m", "build", "--sdist", "-o", dist, ws.ROOT], cwd=ws.ROOT)
    (sdist,) = dist.glob("*.tar.gz")
    assert sdist.name == f"quarn_py-{VERSION}.tar.gz"
    top = f"quarn_py-{VERSION}/"
    with tarfile.open(sdist) as tar:
        names = {n.removeprefix(top) for n in tar.getnames()}
    for needed in ["pyproject.toml", "CMakeLists.txt", "constraints.txt", "README.md",
                   "cmake/python_module.cmake", "quarn_py/lib.cpp", "quarnc/main.cpp",
                   "quarn_py-stubs/__init__.pyi", "quarn_py-stubs/py.typed",
                   "packaging/icudata_stub.c", "PKG-INFO"]:
        assert needed in names, needed
    tops = {n.split("/")[0] for n in names}
    assert not tops & {"build", ".venvs", ".git", "dist"}, tops
    # BLAKE3 comes from the machine's packages, never from the tree.
    assert not [n for n in names if "blake3" in n.lower()]
    assert not [n for n in names if n.endswith((".pyc", ".so", ".o", ".whl"))]

    builder = ws.make_venv("venv-sdist-build")
    wheels = tmp_path / "wheels"
    ws.pip(builder, "wheel", "-q", "--no-deps", "-w", wheels, sdist)
    (wheel,) = wheels.glob("*.whl")
    python = ws.make_venv("venv-sdist-install")
    ws.pip(python, "install", "-q", "--no-deps", "--no-index", wheel)
    assert check_installed(python, tmp_path / "work") == ws.site_packages(python)


def test_repaired_wheel_is_manylinux_small_and_runs_out_of_the_tree(tmp_path):
    wheel = ws.repaired_wheel()
    tag = wheel.name.removesuffix(".whl").split("-")[-1]
    assert re.fullmatch(r"manylinux_2_\d+_x86_64(\.manylinux.*)?", tag), wheel.name
    members = wheel_members(wheel)
    grafted = sorted(n.split("/")[-1].split("-")[0] for n in members
                     if n.startswith("quarn_py.libs/") and not n.endswith("/"))
    # ICU's common library travels; its data library only as the empty stub.
    assert grafted == ["libicudata", "libicuuc"], grafted
    (stub,) = [n for n in members if n.startswith("quarn_py.libs/libicudata")]
    assert len(members[stub]) < 100_000
    assert wheel.stat().st_size < 5_000_000, wheel.stat().st_size

    python = ws.make_venv("venv-manylinux")
    ws.pip(python, "install", "-q", "--no-deps", "--no-index", wheel)
    module_dir = check_installed(python, tmp_path / "elsewhere")
    assert module_dir == ws.site_packages(python)
    assert ws.ROOT not in module_dir.parents
    # The module runs on the ICU it carries, not the machine's.
    maps = ws.run([python, "-c", "import quarn_py; print(open('/proc/self/maps').read())"],
                  cwd=tmp_path).stdout
    icu = {line.split()[-1] for line in maps.splitlines() if "libicu" in line}
    assert icu and all("/quarn_py.libs/" in path for path in icu), icu
