#!/usr/bin/env bash
# Sets up (scripts/setup.sh) and runs the whole test suite: the normal build,
# the suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# threaded tests under ThreadSanitizer, and a bounded fuzz run.
#
#   scripts/test.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1
JOBS=$(nproc)
say() { printf '\n==> %s\n' "$*"; }

say "normal build and full test suite"
"$ROOT/scripts/setup.sh" --build-dir "$ROOT/build"
ctest --test-dir "$ROOT/build" --output-on-failure -j "$JOBS"
[ "$QUICK" = 1 ] && exit 0

say "AddressSanitizer + UndefinedBehaviorSanitizer build and test suite"
"$ROOT/scripts/setup.sh" --build-dir "$ROOT/build-asan" --sanitize address,undefined \
  -DKELVO_BUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp" ctest --test-dir "$ROOT/build-asan" --output-on-failure -j "$JOBS" -LE slow

say "ThreadSanitizer build of the threaded tests"
"$ROOT/scripts/setup.sh" --build-dir "$ROOT/build-tsan" --sanitize thread \
  -DKELVO_BUILD_BENCHMARKS=OFF --targets "kelvo kelvo_threaded_tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/scripts/tsan.supp" \
  ctest --test-dir "$ROOT/build-tsan" --output-on-failure -j "$JOBS" -L threaded

if [ -d "$ROOT/fuzz" ]; then
  say "bounded fuzz run (clang, libFuzzer)"
  "$ROOT/scripts/setup.sh" --build-dir "$ROOT/build-fuzz" --compiler clang --no-openvino \
    --sanitize address,undefined -DKELVO_BUILD_FUZZERS=ON -DKELVO_BUILD_TESTS=OFF \
    -DKELVO_BUILD_BENCHMARKS=OFF --targets "$(cd "$ROOT/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//' | tr '\n' ' ')"
  for fuzzer in "$ROOT"/build-fuzz/bin/*_fuzz; do
    corpus="$ROOT/build-fuzz/corpus/$(basename "$fuzzer")"
    mkdir -p "$corpus"
    seeds="$ROOT/fuzz/seeds/$(basename "$fuzzer")"
    "$fuzzer" -max_total_time=120 -rss_limit_mb=4096 "$corpus" ${seeds:+$([ -d "$seeds" ] && echo "$seeds")}
  done
fi
say "all tests passed"
