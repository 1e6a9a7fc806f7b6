#!/usr/bin/env bash
# Optimised build of the programs in bench/ (no sanitizers), in build-bench/.
# Run them from there, e.g. build-bench/cli/quillory-scan.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup.sh
JOBS=${QUILLORY_JOBS:-$(nproc)}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLORY_SANITIZE=OFF \
      -DQUILLORY_TESTS=OFF -DQUILLORY_BENCH=ON "${LAUNCHER[@]}" >/dev/null
cmake --build build-bench -j "$JOBS"
