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
"$TEST_VENV/bin/pip" install -q --disable-pip-version-check --no-build-isolation "$ROOT" \
  -C build-dir="$BUILD_DIR" -C cmake.build-type=RelWithDebInfo

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
"$TEST_VENV/bin/python" -c "import kelvo_camera_sdk as k; print('kelvo_camera_sdk', k.__version__)"
"$TEST_VENV/bin/kelvo" --version
"$TEST_VENV/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python"
