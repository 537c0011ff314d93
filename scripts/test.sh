#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 4)
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTRAVINE_SANITIZE=ON -DTRAVINE_TESTS=ON >/dev/null
cmake --build build-test -j"$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd build-test
ctest --output-on-failure -j"$((jobs * 2))" --timeout 300
