#!/bin/bash
# End to end: `quillory-scan --deep --searchers ntfs --recover DIR --all` over
# the dd-built disk images. Every file fls -r -p -o START lists (system files
# and orphans aside) must be listed under the same path with the same state,
# and every recovered deleted file must equal `icat -o START IMG INODE`.
#
#   ntfs_deep_scan_test.sh QUILLORY_SCAN SOURCE_DIR BINARY_DIR
set -euo pipefail
scan=$1
src=$2
bin=$3
images="$bin/fixtures/ntfsdeep"
"$src/tests/fixtures/make_ntfs_deep_images.sh" "$images" >/dev/null

work=$(mktemp -d /tmp/quillory-ntfsdeep-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT

# check IMAGE ORACLE_IMAGE START...: the volumes at START... of ORACLE_IMAGE
# are what a deep scan of IMAGE must find.
check() {
    local img=$1 oracle=$2
    shift 2
    local out="$work/$(basename "$img").out" rec="$work/rec-$(basename "$img")"
    mkdir -p "$rec"
    "$scan" --deep --searchers ntfs --recover "$rec" "$img" 2>/dev/null | grep -P '^(deleted|existing)\t' > "$out"
    for start in "$@"; do fls -r -p -o "$start" "$oracle" > "$work/fls-$start"; done
    python3 - "$out" "$rec" "$oracle" "$work" "$@" <<'PY'
import collections, os, re, subprocess, sys
out, rec, oracle, work, starts = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
listed = collections.Counter()
for line in open(out):
    state, size, path = line.rstrip('\n').split('\t')
    listed[(state, path.split('/', 1)[1])] += 1
want = collections.Counter()
deleted = {}  # path -> [(start, inode)]
for start in starts:
    for line in open(os.path.join(work, 'fls-' + start)):
        m = re.match(r'^(\S)/(\S) (\* )?(\d+)-?[^:]*:\t(.*)$', line.rstrip('\n'))
        if not m or m.group(2) != 'r':
            continue
        path = m.group(5)
        if '$' in path or 'OrphanFile' in path:
            continue
        state = 'deleted' if m.group(3) else 'existing'
        want[(state, path)] += 1
        if state == 'deleted':
            deleted.setdefault(path, []).append((start, m.group(4)))
missing = want - listed
if missing:
    sys.exit('%s: not listed: %s' % (out, sorted(missing)))
# Recovered deleted files: NAME, "NAME (1)", ... (the number before the
# extension) each equal to the deleted
# file of that path on one of the volumes, every volume's copy recovered.
for path, sources in deleted.items():
    expected = [subprocess.run(['icat', '-o', s, oracle, i], capture_output=True, check=True).stdout
                for s, i in sources]
    got = []
    base = os.path.join(rec, 'Disk(NTFS)', path)
    for k in range(len(sources)):
        stem, ext = os.path.splitext(base)
        name = base if k == 0 else '%s (%d)%s' % (stem, k, ext)
        if not os.path.isfile(name):
            sys.exit('%s: %s not recovered' % (rec, name))
        got.append(open(name, 'rb').read())
    if sorted(got) != sorted(expected):
        sys.exit('%s: recovered %s differs from icat' % (rec, path))
print('%s: %d files listed, %d deleted recovered byte-identical' % (os.path.basename(out), sum(want.values()),
                                                                     sum(len(v) for v in deleted.values())))
PY
}

check "$images/deep_one.img" "$images/deep_one.img" 2048
check "$images/deep_wiped.img" "$images/deep_one.img" 2048
check "$images/deep_notable.img" "$images/deep_one.img" 2048
check "$images/deep_three.img" "$images/deep_three.img" 2048 26624 51200
