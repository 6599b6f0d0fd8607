#!/usr/bin/env bash
# Set-up, build and the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
