#!/usr/bin/env bash
# Runs the unit tests of the plain build (build/tests/) under valgrind memcheck:
# zero errors and zero definitely lost bytes, else a non-zero exit.
#
#   scripts/valgrind.sh [test_name...]      (default: every test_* executable)
#
# test_color_oracle is skipped: every case of it is an exhaustive comparison over
# all 2^24 colours, hours under memcheck (the ASan build in CI runs it).
# Suppressions (fuzz/valgrind.supp) cover system libraries only.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
if [ ! -d build/tests ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j2

if [ $# -gt 0 ]; then
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
for name in "${names[@]}"; do
  filter='*'
  log=build/valgrind-$name.log
  t0=$(date +%s)
  if valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
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
