#!/usr/bin/env bash
# Builds and runs every test: the whole suite under AddressSanitizer+UBSan, then the
# platform and engine (the threaded layers) again under ThreadSanitizer, then the
# Windows build's Qt-free suites under wine (scripts/test-win.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" --timeout 120  # the longest test takes seconds: a hang costs minutes, not the run

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs" --timeout 120

scripts/test-win.sh
