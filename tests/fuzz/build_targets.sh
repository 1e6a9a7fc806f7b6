#!/bin/bash
# Builds libFuzzer targets with clang (address and undefined-behaviour
# sanitizers, a crash on the first finding) in a build folder of their own.
#   tests/fuzz/build_targets.sh BUILD_DIR TARGET...
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:?usage: build_targets.sh BUILD_DIR TARGET...}
shift
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQUILLORY_FUZZ=ON -DQUILLORY_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
    >/dev/null
cmake --build "$build" -j 4 --target "$@"
