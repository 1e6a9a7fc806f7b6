#!/usr/bin/env bash
# Installs what is missing, builds the whole project with AddressSanitizer and
# UndefinedBehaviorSanitizer (Debug) and runs every test. Non-zero on failure.
#   QUILLORY_JOBS      parallel jobs (default: all cores)
#   QUILLORY_BUILD_DIR build folder (default: build-test)
set -euo pipefail
cd "$(dirname "$0")/.."

./tools/setup.sh

JOBS=${QUILLORY_JOBS:-$(nproc)}
BUILD=${QUILLORY_BUILD_DIR:-build-test}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLORY_SANITIZE=ON \
      -DQUILLORY_TESTS=ON "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$BUILD"
ctest --output-on-failure -j "$JOBS" --timeout 600
