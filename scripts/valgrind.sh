#!/usr/bin/env bash
# Runs the unit tests of the plain build (build/tests/) under valgrind memcheck:
# zero errors and zero definitely lost bytes, else a non-zero exit.
#
#   scripts/valgrind.sh [test_name...]      (default: every test_* executable)
#   scripts/valgrind.sh --ci                (the bounded set CI runs, a few minutes)
#
# test_color_oracle is skipped: every case of it is an exhaustive comparison over
# all 2^24 colours, hours under memcheck (the ASan build in CI runs it).
# Suppressions (fuzz/valgrind.supp) cover system libraries only (libx265's
# encoder state, reached by the test fixture writer; libgomp's thread pool), so
# any report from the library fails.
#
# fuzz/valgrind_hwy_timer.c is preloaded: without it, on processors that lack
# RDTSCP, every program stops with SIGILL in libhwy's start-up (see that file).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
if [ ! -d build/tests ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j2

# The preload that lets programs start under valgrind past libhwy's timer.
preload=build/valgrind_hwy_timer.so
if [ ! -f "$preload" ] || [ fuzz/valgrind_hwy_timer.c -nt "$preload" ]; then
  cc -shared -fPIC -O2 -Wall -Wextra -o "$preload" fuzz/valgrind_hwy_timer.c
fi

# CI's set: "executable gtest-filter" pairs, a few minutes on the shared 2-core
# machine. Every slide with colour parameters builds a 2^24-entry table, tens of
# seconds under memcheck, so of the slide suites only four tests run here: every
# read path with every output pointer null, the region and block refusals, and
# the parallel whole-layer decode (the full run takes hours; docs/robustness.md).
CI_SUITES=(
  "test_records *"
  "test_bmp *"
  "test_jpeg *"
  "test_symbol_table *"
  "test_tiles Tiles.NullOutputPointersAreRefusedBeforeAnyWork:Tiles.RegionValidation:Tiles.BlockValidation:Tiles.WholeLayerEqualsItsTiles"
)

filters=()
if [ "${1:-}" = --ci ]; then
  names=()
  for entry in "${CI_SUITES[@]}"; do
    names+=("${entry%% *}")
    filters+=("${entry#* }")
  done
elif [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for exe in build/tests/test_*; do
    [ -x "$exe" ] || continue
    [ "$(basename "$exe")" = test_color_oracle ] && continue
    names+=("$(basename "$exe")")
  done
fi

status=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  filter=${filters[$i]:-*}
  log=build/valgrind-$name.log
  t0=$(date +%s)
  if LD_PRELOAD="$PWD/$preload" valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
       --errors-for-leak-kinds=definite --show-leak-kinds=definite \
       --suppressions=fuzz/valgrind.supp --track-origins=no --num-callers=30 \
       "build/tests/$name" --gtest_filter="$filter" >"$log" 2>&1; then
    echo "valgrind: $name clean ($(( $(date +%s) - t0 )) s)"
  else
    echo "valgrind: $name FAILED ($(( $(date +%s) - t0 )) s, log: $log)"
    { grep -E -A20 '^==[0-9]+== (Invalid|Conditional|Use of|Syscall|Mismatched|[0-9,]+ bytes in .* definitely)|FAILED' "$log" || true; } | head -60
    status=1
  fi
done
echo "valgrind: done in $(( $(date +%s) - start )) s"
exit $status
