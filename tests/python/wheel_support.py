"""One wheel per test session, built offline with pip from this source tree,
and a virtual environment with it installed; shared by the packaging and
typing tests.

The CMake build behind the wheel is kept in a folder under the temporary
directory (one per source tree), so that a later session only rebuilds what
changed; the wheel and the environments are made afresh each session.
"""
from __future__ import annotations

import atexit
import functools
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def clean_env(**extra: str) -> dict[str, str]:
    """The environment for a child interpreter that must see only what is
    installed in its own environment: no PYTHONPATH into the build folder,
    no user site, no pip index."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV"))}
    env.update(PYTHONNOUSERSITE="1", PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
               PIP_NO_INPUT="1", PYTHONDONTWRITEBYTECODE="1")
    env.update(extra)
    return env


def run(command: list[str], **kwargs) -> subprocess.CompletedProcess:
    kwargs.setdefault("env", clean_env())
    kwargs.setdefault("cwd", _session_dir())
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n"
                             f"{result.stdout[-4000:]}\n{result.stderr[-6000:]}")
    return result


@functools.lru_cache(maxsize=None)
def _session_dir() -> Path:
    path = Path(tempfile.mkdtemp(prefix="quarn-py-test-"))
    atexit.register(shutil.rmtree, path, True)
    return path


def build_cache_dir() -> Path:
    digest = hashlib.sha256(str(ROOT).encode()).hexdigest()[:12]
    return Path(tempfile.gettempdir()) / f"quarn-py-wheel-build-{digest}"


@functools.lru_cache(maxsize=None)
def wheel() -> Path:
    """Builds the wheel with `pip wheel` for the running interpreter."""
    out = _session_dir() / "wheelhouse"
    command = [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-index", "-q",
               "--config-settings", f"build-dir={build_cache_dir()}", "-w", out, ROOT]
    try:
        run(command, timeout=1500)
    except AssertionError:
        # A build folder left broken by an interrupted run: start it afresh.
        shutil.rmtree(build_cache_dir(), ignore_errors=True)
        run(command, timeout=1500)
    wheels = sorted(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def make_venv(name: str) -> Path:
    """A fresh virtual environment for the running interpreter, without pip
    of its own (see pip()); returns its python."""
    path = _session_dir() / name
    run([sys.executable, "-m", "venv", "--without-pip", path], timeout=300)
    return path / "bin" / "python"


def pip(python: Path, *args) -> subprocess.CompletedProcess:
    """Runs the running interpreter's pip on the environment of `python`."""
    return run([sys.executable, "-m", "pip", "--python", python, *args], timeout=1500)


@functools.lru_cache(maxsize=None)
def installed_python() -> Path:
    """The python of a virtual environment with the session's wheel installed."""
    python = make_venv("venv-installed")
    pip(python, "install", "-q", "--no-deps", wheel())
    return python


def site_packages(python: Path) -> Path:
    out = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"])
    return Path(out.stdout.strip())


def ext_suffix() -> str:
    return sysconfig.get_config_var("EXT_SUFFIX")
