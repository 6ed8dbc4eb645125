#!/usr/bin/env bash
# The Python package as users get it: `pip install .` into a fresh virtual
# environment, then the pytest suite from another folder against the
# installed package (and its `kelvo` command).
#
# The install reuses the build folder that stage 1 built (same build type, so
# the reconfigure changes no compile flag and nothing is compiled again):
#
#   scripts/test_python.sh [--build-dir DIR]    (default build/)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR="$ROOT/build"
[ "${1:-}" = "--build-dir" ] && BUILD_DIR=$(realpath -m "$2")
BASE_VENV="${KELVO_VENV:-$ROOT/.venv}"
TEST_VENV="$BUILD_DIR/python-test-venv"

rm -rf "$TEST_VENV"
# From the build's environment, so the interpreter (and its headers) match.
"$BASE_VENV/bin/python" -m venv "$TEST_VENV"
"$TEST_VENV/bin/pip" install -q --disable-pip-version-check scikit-build-core pytest
# The wheel build leaves its settings in the folder's cache (install prefix,
# interpreter, SKBUILD*): put the folder's own back afterwards, so later plain
# builds and the C++ install test are what they were.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD_DIR/CMakeCache.txt"; }
OWN_PREFIX=$(cache_value CMAKE_INSTALL_PREFIX)
OWN_PYTHON=$(cache_value Python_EXECUTABLE)
restore_build_dir() {
  cmake -U 'SKBUILD*' -DCMAKE_INSTALL_PREFIX="$OWN_PREFIX" -DPython_EXECUTABLE="$OWN_PYTHON" \
    "$BUILD_DIR" >/dev/null
}
trap restore_build_dir EXIT
# With the ros2 extra: its tests need the bag libraries and fail without them.
"$TEST_VENV/bin/pip" install -q --disable-pip-version-check --no-build-isolation "$ROOT[ros2]" \
  -C build-dir="$BUILD_DIR" -C cmake.build-type=RelWithDebInfo
restore_build_dir
trap - EXIT

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
"$TEST_VENV/bin/python" -c "import kelvo_camera_sdk as k; print('kelvo_camera_sdk', k.__version__)"
"$TEST_VENV/bin/kelvo" --version
# The camera tests skip without the test-only hook; here it must be built in.
"$TEST_VENV/bin/python" -c "import kelvo_camera_sdk._native._testing" \
  || { echo "the module lacks _native._testing (configure with KELVO_BUILD_TESTS=ON)" >&2; exit 1; }
"$TEST_VENV/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python"
