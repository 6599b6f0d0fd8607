#!/usr/bin/env bash
# ThreadSanitizer build (build-tsan/, -DPYRADEC_TSAN=ON) and the concurrency tests:
# threads reading tiles, regions, blocks and whole layers from one handle and from
# several handles, the functions that use ColorTable without a handle while slides
# are opened and closed on another thread (test_tile_threads), and concurrent JPEG
# decodes. Exits non-zero on any TSan report.
#
# The gating pass runs with OMP_THREAD_LIMIT=1 and no suppressions: the library's
# OpenMP regions run on the calling thread, so every report is exact (Debian's
# libgomp is not instrumented, and its team barriers are invisible to TSan).
# TSAN_OPENMP=1 adds a pass with OpenMP teams on every processor and
# fuzz/tsan.supp; it still shows libgomp false positives whose worker stack TSan
# cannot restore, so it informs and does not gate.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
build=build-tsan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYRADEC_TSAN=ON -DPYRADEC_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target test_tile_threads test_jpeg

# executable and gtest filter
tests=(
  "test_tile_threads *"
  "test_jpeg *Concurrent*"
)
status=0
runpass() {  # name, extra environment...
  local name=$1; shift
  for entry in "${tests[@]}"; do
    local exe=${entry%% *} filter=${entry#* }
    local log="$build/tsan-$name-$exe.log"
    if env "$@" "$build/tests/$exe" --gtest_filter="$filter" >"$log" 2>&1 &&
       ! grep -q 'WARNING: ThreadSanitizer' "$log"; then
      echo "tsan: $name: $exe passed, no report"
    else
      echo "tsan: $name: $exe FAILED (log: $log)"
      { grep -E -A12 'WARNING: ThreadSanitizer|FAILED' "$log" || true; } | head -40
      status=1
    fi
  done
}
runpass serial-openmp OMP_THREAD_LIMIT=1 TSAN_OPTIONS="halt_on_error=0 exitcode=66"
if [ "${TSAN_OPENMP:-0}" = 1 ]; then
  gate=$status
  runpass openmp TSAN_OPTIONS="halt_on_error=0 exitcode=66 history_size=7 suppressions=$PWD/fuzz/tsan.supp"
  status=$gate
fi
echo "tsan: done in $(( $(date +%s) - start )) s"
exit $status
