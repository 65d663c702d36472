"""In-tree build backend for quarn_py (PEP 517), standard library only.

pip hands the source tree to this module instead of to setuptools: the
extension is a CMake project, and the machines it is built on have no access
to PyPI, so the backend cannot depend on anything that is not already part
of the interpreter. It:

* configures and builds the CMake targets ``quarn_py_module`` (for the
  interpreter that runs it, ``sys.executable``) and ``quarnc`` (the
  command-line compiler), in a temporary build folder;
* packs the module, the ``quarn_py-stubs`` typing package and the metadata
  read from ``pyproject.toml`` into a wheel tagged for that interpreter, with
  ``quarnc`` in the wheel's scripts folder, which installers put in the
  environment's ``bin/`` next to the interpreter;
* packs the sources into an sdist from which the same wheel can be built.

Config settings (``pip ... --config-settings KEY=VALUE`` or the environment):

``build-dir`` / ``QUARN_BUILD_DIR``
    Keep the CMake build in this folder instead of a throw-away one, so a
    later build is incremental. Builds sharing it are serialised by a lock.
``jobs`` / ``QUARN_BUILD_JOBS``
    Parallel compile jobs (default: the CPU count).
``cmake-args`` / ``QUARN_CMAKE_ARGS``
    Extra arguments for the configure step, blank-separated.
"""

from __future__ import annotations

import base64
import contextlib
import csv
import fcntl
import gzip
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

if sys.version_info < (3, 12):
    raise ImportError("quarn_py needs CPython 3.12 or later; this is Python "
                      + sys.version.split()[0])

import tomllib  # noqa: E402  (after the version check, for its message)

ROOT = Path(__file__).resolve().parent.parent
MODULE_TARGET = "quarn_py_module"
TOOL_TARGET = "quarnc"
STUBS_PACKAGE = "quarn_py-stubs"

# What goes into an sdist: enough to build the wheel and run the tests. The
# BLAKE3 reference sources that `make setup` unpacks are included when present,
# so an sdist builds without that step.
SDIST_TOP_FILES = ("CMakeLists.txt", "Makefile", "README.md", "pyproject.toml",
                   "pytest.ini", "LICENSE")
SDIST_DIRS = ("bench", "wheel_backend", "clinical", "cmake", "docs", "examples",
              "fuzz", "quarn_compiler", "quarn_core", "quarn_py", "quarnc", STUBS_PACKAGE,
              "scripts", "tests", ".deps/blake3/c")
SDIST_SKIP_NAMES = {"__pycache__", ".pytest_cache", ".mypy_cache"}
SDIST_SKIP_SUFFIXES = (".pyc", ".pyo", ".so", ".o")


class BuildError(RuntimeError):
    """A build step failed; the message says which and why."""


def _log(message: str) -> None:
    print(f"quarn_build: {message}", file=sys.stderr, flush=True)


# --- project metadata -------------------------------------------------------

def _project() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        data = tomllib.load(f)
    project = data.get("project")
    if not project or "name" not in project or "version" not in project:
        raise BuildError("pyproject.toml needs [project] name and version")
    return project


def _normalised_name(name: str) -> str:
    """The distribution name as it appears in file names (PEP 427/625)."""
    return re.sub(r"[-_.]+", "_", name).lower()


def _dist_info_name(project: dict) -> str:
    return f"{_normalised_name(project['name'])}-{project['version']}.dist-info"


def _metadata_text(project: dict) -> str:
    """Core metadata 2.1 (METADATA / PKG-INFO) from the [project] table."""
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    license_ = project.get("license")
    if isinstance(license_, dict) and "text" in license_:
        lines.append(f"License: {license_['text']}")
    elif isinstance(license_, str):
        lines.append(f"License: {license_}")
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    for author in project.get("authors", []):
        if "name" in author:
            lines.append(f"Author: {author['name']}")
        if "email" in author:
            lines.append(f"Author-email: {author['email']}")
    for label, url in project.get("urls", {}).items():
        lines.append(f"Project-URL: {label}, {url}")
    for classifier in project.get("classifiers", []):
        lines.append(f"Classifier: {classifier}")
    for requirement in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {requirement}")
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str):
        path = ROOT / readme
        if path.is_file():
            lines.append("Description-Content-Type: text/markdown; charset=UTF-8")
            body = path.read_text(encoding="utf-8")
    text = "\n".join(lines) + "\n"
    if body:
        text += "\n" + body
        if not body.endswith("\n"):
            text += "\n"
    return text


def _check_version_agrees(project: dict) -> None:
    """The CMake project version is the one the module reports; refuse to pack
    a wheel whose metadata says something else."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    m = re.search(r"project\(\s*\S+\s+VERSION\s+([0-9.]+)", text)
    if m and m.group(1) != project["version"]:
        raise BuildError(f"pyproject.toml version {project['version']} differs "
                         f"from CMakeLists.txt version {m.group(1)}")


# --- wheel tags -------------------------------------------------------------

def _wheel_tag() -> str:
    """interpreter-abi-platform for the running CPython, e.g.
    cp312-cp312-linux_x86_64 (cp313-cp313t-... for a free-threaded build)."""
    if sys.implementation.name != "cpython":
        raise BuildError("quarn_py builds only for CPython")
    nodot = f"{sys.version_info.major}{sys.version_info.minor}"
    abiflags = getattr(sys, "abiflags", "")
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"cp{nodot}-cp{nodot}{abiflags}-{platform}"


def _wheel_name(project: dict) -> str:
    return f"{_normalised_name(project['name'])}-{project['version']}-{_wheel_tag()}.whl"


def _wheel_file_text() -> str:
    return ("Wheel-Version: 1.0\n"
            "Generator: quarn_build\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {_wheel_tag()}\n")


# --- reproducible archives --------------------------------------------------

def _source_date_epoch() -> int:
    try:
        return max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)
    except (KeyError, ValueError):
        return 315532800  # 1980-01-01, the earliest time a zip entry holds


def _record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


class _WheelWriter:
    """Writes entries in a fixed order with fixed times and keeps the RECORD."""

    def __init__(self, path: Path, dist_info: str):
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._dist_info = dist_info
        self._records: list[tuple[str, str, str]] = []
        self._time = time.gmtime(_source_date_epoch())[:6]

    def add(self, arcname: str, data: bytes, executable: bool = False) -> None:
        info = zipfile.ZipInfo(arcname, date_time=self._time)
        info.compress_type = zipfile.ZIP_DEFLATED
        mode = 0o755 if executable else 0o644
        info.external_attr = (0o100000 | mode) << 16
        self._zip.writestr(info, data)
        self._records.append((arcname, _record_hash(data), str(len(data))))

    def close(self) -> None:
        record = f"{self._dist_info}/RECORD"
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        for row in self._records:
            writer.writerow(row)
        writer.writerow((record, "", ""))
        info = zipfile.ZipInfo(record, date_time=self._time)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o100644) << 16
        self._zip.writestr(info, out.getvalue().encode())
        self._zip.close()


# --- CMake build --------------------------------------------------------------

def _setting(config_settings: dict | None, key: str, env: str) -> str | None:
    if config_settings and config_settings.get(key):
        value = config_settings[key]
        return value[-1] if isinstance(value, list) else value
    return os.environ.get(env) or None


def _run(command: list[str]) -> None:
    _log("$ " + shlex.join(command))
    # The compiler's output goes to stderr so that pip shows it with -v and in
    # its error report, and stdout stays clean for the hook protocol.
    result = subprocess.run(command, cwd=ROOT, stdout=sys.stderr, stderr=sys.stderr)
    if result.returncode != 0:
        raise BuildError(f"command failed with exit status {result.returncode}: "
                         + shlex.join(command))


def _require_tools() -> None:
    missing = [tool for tool in ("cmake", "ninja") if shutil.which(tool) is None]
    if missing:
        raise BuildError("missing build tools: " + ", ".join(missing)
                         + " (on Debian bookworm, `make setup` installs them)")


@contextlib.contextmanager
def _build_dir(config_settings: dict | None):
    """A persistent, locked build folder when one is asked for, else a
    temporary one that is removed afterwards."""
    wanted = _setting(config_settings, "build-dir", "QUARN_BUILD_DIR")
    if wanted:
        path = Path(wanted).resolve()
        path.mkdir(parents=True, exist_ok=True)
        with open(path.parent / (path.name + ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield path
        return
    path = Path(tempfile.mkdtemp(prefix="quarn-py-build-"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def _build_module(build_dir: Path, config_settings: dict | None) -> tuple[Path, Path]:
    """Builds the extension for sys.executable and the quarnc executable;
    returns their paths."""
    _require_tools()
    jobs = _setting(config_settings, "jobs", "QUARN_BUILD_JOBS") or str(os.cpu_count() or 1)
    extra = shlex.split(_setting(config_settings, "cmake-args", "QUARN_CMAKE_ARGS") or "")
    _run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
          "-DCMAKE_BUILD_TYPE=Release", f"-DQUARN_PYTHON={sys.executable}",
          "-DQUARN_EXTRA_PYTHONS=", "-DQUARN_TESTS=OFF", "-DQUARN_BENCH=OFF",
          "-DQUARN_FUZZ=OFF", "-DQUARN_SANITIZE=OFF", *extra])
    _run(["cmake", "--build", str(build_dir), "--target", MODULE_TARGET, TOOL_TARGET,
          "-j", jobs])
    module = build_dir / ("quarn_py" + sysconfig.get_config_var("EXT_SUFFIX"))
    tool = build_dir / TOOL_TARGET
    for product in (module, tool):
        if not product.is_file():
            raise BuildError(f"the build did not produce {product}")
    return module, tool


def _stub_files() -> list[tuple[str, bytes]]:
    stubs = ROOT / STUBS_PACKAGE
    files = sorted(p for p in stubs.rglob("*") if p.is_file() and "__pycache__" not in p.parts)
    if not any(p.name == "__init__.pyi" for p in files):
        raise BuildError(f"{STUBS_PACKAGE}/__init__.pyi is missing")
    return [(p.relative_to(ROOT).as_posix(), p.read_bytes()) for p in files]


# --- PEP 517 hooks ------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _write_dist_info(directory: Path, project: dict) -> str:
    name = _dist_info_name(project)
    target = directory / name
    target.mkdir(parents=True, exist_ok=True)
    (target / "METADATA").write_text(_metadata_text(project), encoding="utf-8")
    (target / "WHEEL").write_text(_wheel_file_text(), encoding="utf-8")
    (target / "top_level.txt").write_text("quarn_py\n", encoding="utf-8")
    return name


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    _check_version_agrees(project)
    return _write_dist_info(Path(metadata_directory), project)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    _check_version_agrees(project)
    dist_info = _dist_info_name(project)
    Path(wheel_directory).mkdir(parents=True, exist_ok=True)
    wheel_path = Path(wheel_directory) / _wheel_name(project)
    with _build_dir(config_settings) as build_dir:
        module, tool = _build_module(build_dir, config_settings)
        module_bytes = module.read_bytes()
        tool_bytes = tool.read_bytes()
    tmp = wheel_path.with_suffix(".tmp")
    writer = _WheelWriter(tmp, dist_info)
    try:
        writer.add(module.name, module_bytes, executable=True)
        for arcname, data in _stub_files():
            writer.add(arcname, data)
        # <name>-<version>.data/scripts/ is installed into the scripts folder;
        # a binary is copied as it is (only "#!python" scripts are rewritten).
        data_dir = dist_info[:-len(".dist-info")] + ".data"
        writer.add(f"{data_dir}/scripts/{TOOL_TARGET}", tool_bytes, executable=True)
        writer.add(f"{dist_info}/METADATA", _metadata_text(project).encode())
        writer.add(f"{dist_info}/WHEEL", _wheel_file_text().encode())
        writer.add(f"{dist_info}/top_level.txt", b"quarn_py\n")
        writer.close()
    except BaseException:
        with contextlib.suppress(OSError):
            tmp.unlink()
        raise
    os.replace(tmp, wheel_path)
    _log(f"built {wheel_path.name}")
    return wheel_path.name


def _sdist_members() -> list[Path]:
    members = [ROOT / name for name in SDIST_TOP_FILES if (ROOT / name).is_file()]
    for top in SDIST_DIRS:
        base = ROOT / top
        if not base.is_dir():
            continue
        for dirpath, dirnames, filenames in os.walk(base):
            dirnames[:] = sorted(d for d in dirnames if d not in SDIST_SKIP_NAMES)
            for filename in sorted(filenames):
                if not filename.endswith(SDIST_SKIP_SUFFIXES):
                    members.append(Path(dirpath) / filename)
    return members


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    _check_version_agrees(project)
    base = f"{_normalised_name(project['name'])}-{project['version']}"
    Path(sdist_directory).mkdir(parents=True, exist_ok=True)
    target = Path(sdist_directory) / f"{base}.tar.gz"
    mtime = _source_date_epoch()

    def add(tar: tarfile.TarFile, arcname: str, data: bytes, mode: int) -> None:
        info = tarfile.TarInfo(f"{base}/{arcname}")
        info.size = len(data)
        info.mtime = mtime
        info.mode = mode
        info.uname = info.gname = ""
        tar.addfile(info, io.BytesIO(data))

    tmp = target.with_suffix(".tmp")
    try:
        with open(tmp, "wb") as raw, \
                gzip.GzipFile(fileobj=raw, mode="wb", mtime=mtime, filename="") as gz, \
                tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as tar:
            add(tar, "PKG-INFO", _metadata_text(project).encode(), 0o644)
            for path in _sdist_members():
                mode = 0o755 if os.access(path, os.X_OK) else 0o644
                add(tar, path.relative_to(ROOT).as_posix(), path.read_bytes(), mode)
    except BaseException:
        with contextlib.suppress(OSError):
            tmp.unlink()
        raise
    os.replace(tmp, target)
    _log(f"built {target.name}")
    return target.name
