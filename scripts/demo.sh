#!/usr/bin/env bash
# Installs what is missing, builds the optimised gateway and runs it on the bundled example configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 4)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTRAVINE_TESTS=OFF >/dev/null
cmake --build build -j"$jobs" --target travine
# The router serves its canned answers (and its demo topology) from examples/mock_responces.
cd examples
exec ../build/travine -c travine.json "$@"
