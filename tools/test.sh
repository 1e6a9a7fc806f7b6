#!/usr/bin/env bash
# Installs what is missing, builds the whole project with AddressSanitizer and
# UndefinedBehaviorSanitizer (Debug) and runs every test, then builds the deep
# scan's programs with ThreadSanitizer and runs the deep-scan tests again.
# Non-zero on failure.
#   QUILLORY_JOBS      parallel jobs (default: all cores)
#   QUILLORY_BUILD_DIR build folder (default: build-test; the ThreadSanitizer
#                      build goes to the same name with -tsan)
#   QUILLORY_TSAN=0    leaves the ThreadSanitizer pass out
set -euo pipefail
cd "$(dirname "$0")/.."

./tools/setup.sh

JOBS=${QUILLORY_JOBS:-$(nproc)}
BUILD=${QUILLORY_BUILD_DIR:-build-test}
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Paths below the repository are hashed relative to it, so that a fresh
# clone in another folder reuses what an earlier build compiled.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLORY_SANITIZE=ON \
      -DQUILLORY_TESTS=ON "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# run_ctest DIR [ARG...]: ctest in DIR, non-zero on a failed test. A skipped
# test is a test that did not run: under CI (CI set) that fails the run, as a
# failed test does. ctest lists skipped tests (GTEST_SKIP, a script's exit 77)
# as "Not Run" with the reason "Skipped".
run_ctest() {
    local dir=$1 result=0 skipped
    shift
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600 --output-junit ctest-junit.xml "$@") || result=$?
    if [ -n "${CI:-}" ]; then
        skipped=$(grep -c '<skipped' "$dir/ctest-junit.xml" || true)
        if [ "$skipped" != 0 ]; then
            echo "CI: $skipped test(s) skipped instead of run:" >&2
            grep -o '<testcase name="[^"]*"[^>]*status="notrun"' "$dir/ctest-junit.xml" |
                sed 's/<testcase name="\([^"]*\)".*/  \1/' >&2
            [ "$result" != 0 ] || result=1
        fi
    fi
    return "$result"
}

status=0
run_ctest "$BUILD" || status=$?

# A deep scan reads the source on two threads (the read-ahead cache's reader
# and the searchers reading outside the cached block), so its tests run again
# under ThreadSanitizer, which reports any field both threads touch without a
# lock. Only the programs those tests need are built: about 3 minutes of
# building and 1 of testing on 2 cores.
if [ "${QUILLORY_TSAN:-1}" != 0 ]; then
    TSAN_BUILD="$BUILD-tsan"
    cmake -S . -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLORY_SANITIZE=OFF -DQUILLORY_TESTS=ON \
          -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread "${LAUNCHER[@]}" >/dev/null
    cmake --build "$TSAN_BUILD" -j "$JOBS" --target test_storage test_recovery quillory-scan
    deep='^(DeviceWithCacheTest|SectorSizes/CacheViewTest|ReadSectorResultTest|VolumeDeviceTest|DeepControllerTest)\.'
    deep+='|^QuilloryScan\..*Deep'
    run_ctest "$TSAN_BUILD" -R "$deep" || status=$?
fi
exit "$status"
