#!/usr/bin/env bash
# Set-up, build, the API reference (its warnings are errors) and the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
cmake --build build --target docs
ctest --test-dir build --output-on-failure -j2
