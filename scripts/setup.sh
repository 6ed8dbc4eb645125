#!/usr/bin/env bash
# One-time set-up of kelvo_camera_sdk on a fresh Debian 12 machine, safe to
# run again: installs the Debian packages, creates the Python virtual
# environment with the OpenVINO runtime (one for every build folder:
# .venv at the top of the repository, or $KELVO_VENV), then configures and
# builds.
#
#   scripts/setup.sh [--build-dir DIR] [--sanitize address,undefined|thread]
#                    [--compiler gcc|clang] [--no-openvino] [--targets "t1 t2"]
#                    [-DVAR=VALUE...]
#
# Sanitizer builds compile with -O1 and line tables only: enough for exact
# reports, much quicker to build than full debug information.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR="$ROOT/build"
SANITIZE=""
COMPILER=gcc
WITH_OPENVINO=1
TARGETS=""
EXTRA_CMAKE=()

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) BUILD_DIR=$(realpath -m "$2"); shift 2 ;;
    --sanitize) SANITIZE="$2"; shift 2 ;;
    --compiler) COMPILER="$2"; shift 2 ;;
    --no-openvino) WITH_OPENVINO=0; shift ;;
    --targets) TARGETS="$2"; shift 2 ;;
    -D*) EXTRA_CMAKE+=("$1"); shift ;;
    *) echo "setup: unknown argument $1" >&2; exit 2 ;;
  esac
done

say() { printf '\n==> %s\n' "$*"; }
fail() { printf '\nsetup failed: %s\n' "$*" >&2; exit 1; }

PACKAGES=(build-essential cmake ninja-build pkg-config git
  libavformat-dev libavcodec-dev libavdevice-dev libavutil-dev
  libopencv-dev opencv-doc nlohmann-json3-dev libspdlog-dev libfmt-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  ffmpeg mkvtoolnix python3 python3-venv clang libclang-rt-14-dev
  libcli11-dev libtiff-dev
  libcpp-httplib-dev chromium chromium-driver python3-selenium)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing Debian packages: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "root or sudo is needed to install: ${missing[*]}"
    SUDO=sudo
  fi
  $SUDO apt-get update -qq || fail "apt-get update failed (is the Debian mirror reachable?)"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || fail "apt-get could not install: ${missing[*]}"
else
  say "Debian packages already installed"
fi

mkdir -p "$BUILD_DIR"
CMAKE_ARGS=(-S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "$WITH_OPENVINO" = 1 ]; then
  VENV="${KELVO_VENV:-$ROOT/.venv}"
  if [ ! -x "$VENV/bin/python" ]; then
    say "creating Python virtual environment $VENV"
    python3 -m venv "$VENV" || fail "python3 -m venv failed (package python3-venv)"
  fi
  if ! "$VENV/bin/python" -c "import openvino, onnx" 2>/dev/null; then
    say "installing the OpenVINO runtime and onnx into $VENV"
    "$VENV/bin/pip" install -q --disable-pip-version-check "openvino>=2024.0" onnx numpy \
      || fail "pip could not install openvino/onnx from PyPI"
  else
    say "OpenVINO runtime already installed in $VENV"
  fi
  OV_CMAKE=$("$VENV/bin/python" -c "import openvino.utils as u; print(u.get_cmake_path())") \
    || fail "the openvino wheel has no CMake package"
  CMAKE_ARGS+=(-DOpenVINO_DIR="$OV_CMAKE" -DKELVO_OPENVINO=ON -DKELVO_PYTHON="$VENV/bin/python")
else
  CMAKE_ARGS+=(-DKELVO_OPENVINO=OFF)
fi
if [ "$COMPILER" = clang ]; then
  CMAKE_ARGS+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
fi
if [ -n "$SANITIZE" ]; then
  CMAKE_ARGS+=(-DKELVO_SANITIZE="$SANITIZE" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
fi

say "configuring in $BUILD_DIR"
cmake "${CMAKE_ARGS[@]}" "${EXTRA_CMAKE[@]}" >"$BUILD_DIR/configure.log" 2>&1 \
  || { tail -30 "$BUILD_DIR/configure.log"; fail "cmake configure failed (see $BUILD_DIR/configure.log)"; }
say "building (this takes a few minutes on 2 cores)"
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" ${TARGETS:+--target $TARGETS} || fail "build failed"
say "build ready in $BUILD_DIR"
