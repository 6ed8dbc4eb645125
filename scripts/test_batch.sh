#!/usr/bin/env bash
# The batch-processing stage: kelvo_camera_sdk.batch and `kelvo batch` on a
# local Ray instance. Ray (ray[data], pyarrow) is large, so it goes into a
# virtual environment of its own (.venv-batch) whose download test.sh starts
# in the background while the first build runs:
#
#   scripts/test_batch.sh install     (creates .venv-batch, installs Ray)
#   scripts/test_batch.sh run [BUILD] (the tests, on BUILD/python and BUILD/bin)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="${KELVO_BATCH_VENV:-$ROOT/.venv-batch}"

case "${1:-}" in
  install)
    # python3-venv may still be on its way (setup.sh installs it): wait for it.
    for _ in $(seq 60); do
      [ -x "$VENV/bin/python" ] && break
      python3 -m venv "$VENV" 2>/dev/null && break
      rm -rf "$VENV"
      sleep 10
    done
    [ -x "$VENV/bin/python" ] || { echo "test_batch: cannot create $VENV" >&2; exit 1; }
    "$VENV/bin/pip" install -q --disable-pip-version-check "ray[data]" pyarrow numpy pytest
    ;;
  run)
    BUILD="${2:-$ROOT/build}"
    export PYTHONPATH="$BUILD/python${PYTHONPATH:+:$PYTHONPATH}"
    export PATH="$BUILD/bin:$PATH"
    # Ray's usage report would try to reach the network.
    export RAY_USAGE_STATS_ENABLED=0
    cd "$ROOT"
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider -p no:logging tests/python/batch
    ;;
  *)
    echo "usage: scripts/test_batch.sh install | run [BUILD_DIR]" >&2
    exit 2
    ;;
esac
