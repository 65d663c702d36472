# Sourced by the build, test and wheel scripts: the settings every CMake and
# pip run of the project shares.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Builds in several folders (CMake's, each pip build's) compile the same
# sources; ccache makes the second one cheap.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-$(nproc)}
# pip, also inside its isolated build environments, takes the pinned versions.
export PIP_CONSTRAINT="$here/constraints.txt" PIP_DISABLE_PIP_VERSION_CHECK=1

py_version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }
venv_python() { echo "$here/.venvs/$(py_version "$1")/bin/python"; }

# install_module VENV_PYTHON BUILD_DIR [pip options...]: builds the module with
# pip from this tree, keeping the CMake build in BUILD_DIR so that the next
# install is incremental, and installs it into the environment of VENV_PYTHON.
install_module() {
  local python=$1 build_dir=$2; shift 2
  "$python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
    -C build-dir="$build_dir" "$@" "$here"
}
