# What the quillory-scan end-to-end tests share, sourced by each of them:
# their three arguments, a fixture folder made by one fixture script, a
# scratch folder that is always removed, and a count of failed checks.

# scan_test_begin NAME FIXTURE_SCRIPT FIXTURE_FOLDER DRIVER SOURCE_DIR BINARY_DIR [FIXTURE_ARG...]:
# sets driver, src, bin, fixtures and work.
scan_test_begin() {
    local name=$1 script=$2 folder=$3
    shift 3
    driver=$1 src=$2 bin=$3
    shift 3
    fixtures="$bin/fixtures/$folder"
    bash "$src/tests/fixtures/$script" "$fixtures" "$@" >/dev/null || { echo "fixture script failed"; exit 1; }
    work=$(mktemp -d "/tmp/quillory-$name.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    failures=0
}

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# scan_test_end MESSAGE: MESSAGE when every check passed; fails otherwise.
scan_test_end() {
    [ "$failures" = 0 ] && echo "$1"
    exit $((failures > 0))
}
