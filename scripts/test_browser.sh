#!/usr/bin/env bash
# The viewer page in headless Chromium (Selenium, Debian's system Python):
# `kelvo view` on the synthetic recording of `kelvo demo`, built in BUILD_DIR.
# The screenshot goes to BUILD_DIR/test_artefacts/kelvo_view.png.
#
#   scripts/test_browser.sh [BUILD_DIR]   (default: build/)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=$(realpath -m "${1:-$ROOT/build}")
# The page runs in a browser with no display: a budget keeps a stuck one from
# holding CI.
timeout 240 /usr/bin/python3 "$ROOT/tests/browser/viewer_browser_test.py" \
  --kelvo "$BUILD_DIR/bin/kelvo" --artefacts "$BUILD_DIR/test_artefacts"
