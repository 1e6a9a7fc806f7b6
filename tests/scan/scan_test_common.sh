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
    if ! bash "$src/tests/fixtures/$script" "$fixtures" "$@" >/dev/null; then
        # Fixtures that mount a volume need root; without it the test cannot run.
        [ "$(id -u)" = 0 ] || skip_outside_ci "the fixture script $script needs root"
        echo "fixture script failed"
        exit 1
    fi
    work=$(mktemp -d "/tmp/quillory-$name.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    failures=0
}

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# skip_outside_ci REASON: the test cannot run here. It skips (exit 77, which
# ctest counts as skipped) on a developer's machine; under CI (CI set) a skip
# would hide a test that never ran, so it fails.
skip_outside_ci() {
    if [ -n "${CI:-}" ]; then
        echo "FAIL: would skip under CI: $1"
        exit 1
    fi
    echo "SKIPPED: $1"
    exit 77
}

# scan_test_end MESSAGE: MESSAGE when every check passed; fails otherwise.
scan_test_end() {
    [ "$failures" = 0 ] && echo "$1"
    exit $((failures > 0))
}

# qvx RAW OUT: the QVX layout (tag, record length 1,192, record, zero fill,
# sectors from the first sector boundary after the record).
qvx() {
    python3 - "$1" "$2" <<'PY'
import os, struct, sys, time
data = open(sys.argv[1], 'rb').read()
offset = (1200 // 512 + 1) * 512
record = struct.pack('<QQQQ', 512, len(data) // 512, offset, offset + len(data))
record += os.path.basename(sys.argv[1]).encode()[:127].ljust(128, b'\0') + sys.argv[2].encode()[:1023].ljust(1024, b'\0')
record += struct.pack('<Q', int(time.time()))
with open(sys.argv[2], 'wb') as f:
    f.write(b'qvx\0' + struct.pack('<I', len(record)) + record)
    f.write(b'\0' * (offset - 8 - len(record)) + data)
PY
}
