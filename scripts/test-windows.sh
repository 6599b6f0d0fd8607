#!/usr/bin/env bash
# Tests the Windows build made by scripts/build-windows.sh: the Linux build
# writes slides and its results for them, then the probe program runs through
# build-win/dist/pyradec.dll under wine and must give the same results; and the
# DLL's export table must be exactly the Windows list.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${PYRADEC_WIN_BUILD:-$ROOT/build-win}
CACHE=${PYRADEC_CACHE:-/var/cache/pyradec}
JOBS=${PYRADEC_JOBS:-2}
log() { echo "test-windows: $*"; }

[ -f "$BUILD/dist/pyradec.dll" ] || { echo "test-windows: run scripts/build-windows.sh first" >&2; exit 1; }

# ---- the Linux side: data and expected results ----
# PYRADEC_LINUX_BUILD may name an existing plain Linux build (CI: build/) to
# reuse its compiled library; it only gains the pyradec_golden target.
LINUX_BUILD=${PYRADEC_LINUX_BUILD:-$BUILD/linux}
bash scripts/setup.sh >/dev/null
if [ -f "$LINUX_BUILD/CMakeCache.txt" ]; then
  cmake "$LINUX_BUILD" -DPYRADEC_WIN_GOLDEN=ON >/dev/null
else
  cmake -S "$ROOT" -B "$LINUX_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYRADEC_WIN_GOLDEN=ON \
    -DPYRADEC_TESTS=OFF -DPYRADEC_BENCH=OFF >/dev/null
fi
cmake --build "$LINUX_BUILD" -j"$JOBS" --target pyradec_golden
rm -rf "$BUILD/golden"
# The library's own messages for the damaged tiles go to standard error, on both sides.
"$LINUX_BUILD/tests/windows/pyradec_golden" "$BUILD/golden" 2>/dev/null

# ---- wine: a prefix of the project's own, kept warm for the run ----
export WINEPREFIX=${PYRADEC_WINEPREFIX:-$CACHE/wine-prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$WINEPREFIX"
wineserver -w                      # a server left from an earlier run of this prefix ends
wineserver -p                      # stays up until the end of this script
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  log "creating the wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
else
  # Starts the prefix's background services here, with their output on
  # /dev/null: started by the first test they would hold ctest's pipe open.
  wineboot >/dev/null 2>&1
fi

ctest --test-dir "$BUILD" --output-on-failure
