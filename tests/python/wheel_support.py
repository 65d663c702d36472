"""Building and installing the package as its users do, for the packaging
tests: pip and build run in child processes that see only their own
environment (no PYTHONPATH, no user site), in folders outside the source
tree, with the project's pinned versions (constraints.txt) for whatever
pip fetches into an isolated build environment.
"""
from __future__ import annotations

import atexit
import functools
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def project_version() -> str:
    """The version as CMakeLists.txt's project() states it: the one place
    it is written."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(quarn_py VERSION ([0-9.]+)", text).group(1)


def clean_env(**extra: str) -> dict[str, str]:
    """The environment of a child that must see only what is installed in
    its own environment."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "VIRTUAL_ENV", "LD_"))}
    env.update(PYTHONNOUSERSITE="1", PIP_NO_INPUT="1", PYTHONDONTWRITEBYTECODE="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1",
               PIP_CONSTRAINT=str(ROOT / "constraints.txt"))
    env.update(extra)
    return env


def run(command: list, timeout: float = 1800, **kwargs) -> subprocess.CompletedProcess:
    kwargs.setdefault("env", clean_env())
    kwargs.setdefault("cwd", session_dir())
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                            timeout=timeout, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n"
                             f"{result.stdout[-4000:]}\n{result.stderr[-6000:]}")
    return result


@functools.lru_cache(maxsize=None)
def session_dir() -> Path:
    path = Path(tempfile.mkdtemp(prefix="quarn-py-packaging-"))
    atexit.register(shutil.rmtree, path, True)
    return path


def dev_build_dir() -> Path:
    """The folder where `make build` keeps this interpreter's pip build, so
    that a wheel of the tree as it is rebuilds only what changed."""
    return ROOT / "build" / f"pip-{sys.version_info.major}.{sys.version_info.minor}"


def make_venv(name: str) -> Path:
    """A fresh virtual environment of the running interpreter's version,
    made from its base interpreter; returns its python."""
    path = session_dir() / name
    run([sys._base_executable, "-m", "venv", "--without-pip", path], timeout=300)
    return path / "bin" / "python"


def pip(python: Path, *args, **kwargs) -> subprocess.CompletedProcess:
    """This environment's pip acting on the environment of `python`."""
    return run([sys.executable, "-m", "pip", "--python", python, *args], **kwargs)


def site_packages(python: Path) -> Path:
    out = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"])
    return Path(out.stdout.strip())


def scripts_dir(python: Path) -> Path:
    out = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['scripts'])"])
    return Path(out.stdout.strip())


@functools.lru_cache(maxsize=None)
def tree_wheel() -> Path:
    """`pip wheel .` of the source tree, without build isolation (the build
    backend is in the running environment)."""
    out = session_dir() / "tree-wheel"
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
         "-C", f"build-dir={dev_build_dir()}", "-w", out, ROOT])
    wheels = sorted(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@functools.lru_cache(maxsize=None)
def repaired_wheel() -> Path:
    """The manylinux wheel that `make wheel` makes (scripts/wheel.sh)."""
    out = session_dir() / "wheelhouse"
    run(["bash", ROOT / "scripts" / "wheel.sh", sys._base_executable, out], cwd=ROOT,
        env=clean_env(PATH=os.environ["PATH"]))
    wheels = sorted(out.glob("*manylinux*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def ext_suffix() -> str:
    return sysconfig.get_config_var("EXT_SUFFIX")
