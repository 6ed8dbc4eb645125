#!/usr/bin/env bash
# Sets up (scripts/setup.sh) and runs the whole test suite in three stages.
# Every C++ test runs once, in the most watchful build it is quick enough for:
#   1. the normal GCC build (the kit as users get it, its benchmarks, and the
#      test files labelled `slow` or `plain`) and those tests, then the Python
#      package installed from that build into a fresh environment and its
#      tests, the batch tests on a local Ray instance, and the viewer page in
#      headless Chromium (scripts/test_browser.sh);
#   2. one clang build with AddressSanitizer + UndefinedBehaviorSanitizer and
#      the thread-safety analysis: the suite but the `slow` files, and a
#      bounded libFuzzer run of every fuzz target;
#   3. a ThreadSanitizer build of the test files labelled `threaded` (built
#      while the fuzzer runs), and those tests.
# Every build folder shares the one Python environment (.venv). The time of
# each step is printed at the end, also when a step fails.
#
#   scripts/test.sh [--quick]   (--quick: stage 1 only, with the whole suite)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1
JOBS=$(nproc)
FUZZ_SECONDS=120
say() { printf '\n==> %s\n' "$*"; }

STEP_NAMES=()
STEP_SECONDS=()
STEP_RESULTS=()
STEP=""
STEP_START=0
RUN_START=$SECONDS
step() {
  [ -n "$STEP" ] && end_step ok
  STEP="$1"
  STEP_START=$SECONDS
  say "$1"
}
end_step() {
  STEP_NAMES+=("$STEP")
  STEP_SECONDS+=($((SECONDS - STEP_START)))
  STEP_RESULTS+=("$1")
  STEP=""
}
report() {
  local rc=$?
  # A step that failed while the fuzzer ran in the background does not leave it running.
  if [ -n "${FUZZ:-}" ]; then pkill -P "$FUZZ" 2>/dev/null || true; kill "$FUZZ" 2>/dev/null || true; fi
  [ -n "$STEP" ] && end_step "$([ "$rc" = 0 ] && echo ok || echo FAILED)"
  printf '\n%-52s %8s  %s\n' "step" "seconds" "result"
  local i
  for i in "${!STEP_NAMES[@]}"; do
    printf '%-52s %8d  %s\n' "${STEP_NAMES[$i]}" "${STEP_SECONDS[$i]}" "${STEP_RESULTS[$i]}"
  done
  printf '%-52s %8d  %s\n' "total" $((SECONDS - RUN_START)) "$([ "$rc" = 0 ] && echo ok || echo FAILED)"
  exit "$rc"
}
trap report EXIT

# ctest over a build folder: every core busy, the output of failures only.
run_ctest() {
  local dir="$1"
  shift
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 900 "$@"
}

# Ray for the batch stage downloads while stage 1 builds.
"$ROOT/scripts/test_batch.sh" install >"$ROOT/.venv-batch.log" 2>&1 &
BATCH_INSTALL=$!

# The sanitizer stage runs the rest of the suite; --quick has no such stage.
STAGE1_LABELS="slow;plain"
[ "$QUICK" = 1 ] && STAGE1_LABELS=""
step "1. build: GCC RelWithDebInfo, build/"
"$ROOT/scripts/setup.sh" --all --build-dir "$ROOT/build" -DKELVO_TEST_LABELS="$STAGE1_LABELS"
step "1. test suite: ${STAGE1_LABELS:-whole}"
run_ctest "$ROOT/build"
step "1. Python package: pip install into a fresh venv, pytest"
"$ROOT/scripts/test_python.sh" --build-dir "$ROOT/build"
step "1. batch processing on a local Ray instance"
wait "$BATCH_INSTALL" || { cat "$ROOT/.venv-batch.log"; false; }
"$ROOT/scripts/test_batch.sh" run "$ROOT/build"
step "1. viewer in headless Chromium"
"$ROOT/scripts/test_browser.sh" "$ROOT/build"
if [ "$QUICK" = 1 ]; then
  end_step ok
  exit 0
fi

step "2. build: clang ASan+UBSan and fuzzers, build-asan/"
"$ROOT/scripts/setup.sh" --all --build-dir "$ROOT/build-asan" --compiler clang \
  --sanitize address,undefined -DKELVO_BUILD_BENCHMARKS=OFF -DKELVO_BUILD_FUZZERS=ON
step "2. test suite under ASan+UBSan (not slow)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp" run_ctest "$ROOT/build-asan" -LE slow
# The fuzzer keeps one core busy for its whole time; the TSan build takes
# the other meanwhile, so the fuzz run costs no wall time of its own.
step "2. fuzz, ${FUZZ_SECONDS} s per target + 3. build: clang TSan, build-tsan/"
fuzz_all() {
  local fuzzer name corpus seeds
  for fuzzer in "$ROOT"/build-asan/bin/*_fuzz; do
    name=$(basename "$fuzzer")
    corpus="$ROOT/build-asan/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "$ROOT/fuzz/seeds/$name" ] && seeds=("$ROOT/fuzz/seeds/$name")
    "$fuzzer" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=4096 "$corpus" "${seeds[@]}" || return 1
  done
}
fuzz_all >"$ROOT/build-asan/fuzz.log" 2>&1 &
FUZZ=$!
"$ROOT/scripts/setup.sh" --all --build-dir "$ROOT/build-tsan" --compiler clang --sanitize thread \
  -DKELVO_BUILD_BENCHMARKS=OFF -DKELVO_TEST_LABELS=threaded --targets "kelvo kelvo_threaded_tests"
FUZZ_RC=0
wait "$FUZZ" || FUZZ_RC=$?
FUZZ=""
if [ "$FUZZ_RC" != 0 ]; then
  tail -n 80 "$ROOT/build-asan/fuzz.log"
  false
fi
grep -E "^(Done|#[0-9]+ +DONE)" "$ROOT/build-asan/fuzz.log" || true

step "3. threaded tests under TSan"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/scripts/tsan.supp" \
  run_ctest "$ROOT/build-tsan" -L threaded
end_step ok
say "all tests passed"
