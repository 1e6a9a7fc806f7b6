#!/usr/bin/env bash
# quillory-scan --save and --restore on the FAT disks of
# tests/fixtures/make_fat_multi_images.sh:
#   save_restore_test.sh DRIVER SOURCE_DIR BINARY_DIR
# - A quick scan, a deep scan, and a deep scan of the disk wrapped as a QVX
#   image, each saved with --save: --restore of the file against the same
#   source lists the same files (in sorted order: siblings may come back in
#   another order) and its --recover --all copies hold the same bytes.
# - A restore against another source, and a file that is no scan result,
#   exit 1 with a message.
# - 50 randomly damaged or truncated copies of a saved file each exit 0 or 1:
#   never a signal, a sanitizer report or a hang.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin save-restore make_fat_multi_images.sh fat-multi "$@"

files() { grep -P '^(deleted|existing)\t' "$1" | sort; }
contents() { (cd "$1" && find . -type f -exec sha256sum {} + | awk '{ print $1 }' | sort); }

qvx "$fixtures/two.img" "$work/two.qvx"
for run in "quick $fixtures/two.img" "deep $fixtures/two.img" "deep $work/two.qvx"; do
    mode=${run%% *}
    source=${run#* }
    name="$mode $(basename "$source")"
    result="$work/result.Quillory"
    rm -rf "$result" "$work/scan-out" "$work/restore-out"
    "$driver" "--$mode" --save "$result" --recover "$work/scan-out" --all "$source" > "$work/scan" 2> "$work/err" ||
        fail "$name: scan and save: $(cat "$work/err")"
    [ -s "$result" ] || { fail "$name: no file saved"; continue; }
    "$driver" --restore "$result" --recover "$work/restore-out" --all "$source" > "$work/restore" 2> "$work/err" ||
        fail "$name: restore: $(cat "$work/err")"
    files "$work/scan" > "$work/s"
    files "$work/restore" > "$work/r"
    [ "$(grep -c deleted "$work/s")" -gt 0 ] || fail "$name: the scan lists no deleted file"
    diff "$work/s" "$work/r" > "$work/diff" || fail "$name: the restore lists other files: $(head -20 "$work/diff")"
    contents "$work/scan-out" > "$work/sc"
    contents "$work/restore-out" > "$work/rc"
    [ -s "$work/sc" ] || fail "$name: nothing recovered from the scan"
    cmp -s "$work/sc" "$work/rc" || fail "$name: the files recovered from the restore differ"
    cp "$result" "$work/$mode-$(basename "$source").Quillory"
done

# Against another source of another size, and a file that is no result.
saved="$work/deep-two.img.Quillory"
head -c 4M "$fixtures/two.img" > "$work/small.img"
"$driver" --restore "$saved" "$work/small.img" > /dev/null 2> "$work/err"
[ $? = 1 ] && grep -q "saved from a source" "$work/err" || fail "restore against another source: $(cat "$work/err")"
head -c 4096 /dev/urandom > "$work/junk.Quillory"
"$driver" --restore "$work/junk.Quillory" "$fixtures/two.img" > /dev/null 2> "$work/err"
[ $? = 1 ] && grep -q "not a scan-result file" "$work/err" || fail "junk file: $(cat "$work/err")"

# Damaged copies: byte flips or a cut, at random places (seeded, so that a
# failure can be replayed).
for i in $(seq 1 50); do
    python3 - "$saved" "$work/damaged.Quillory" "$i" <<'PY'
import random, sys
data = bytearray(open(sys.argv[1], 'rb').read())
rng = random.Random(int(sys.argv[3]))
if rng.random() < 0.3:
    data = data[:rng.randrange(len(data))]
else:
    for _ in range(rng.randint(1, 8)):
        data[rng.randrange(len(data))] = rng.randrange(256)
open(sys.argv[2], 'wb').write(data)
PY
    timeout 120 "$driver" --restore "$work/damaged.Quillory" "$fixtures/two.img" > /dev/null 2> "$work/err"
    rc=$?
    if [ "$rc" != 0 ] && [ "$rc" != 1 ]; then
        fail "damaged copy $i: exit status $rc"
    elif grep -q -E "Sanitizer|runtime error" "$work/err"; then
        fail "damaged copy $i: $(grep -m3 -E "Sanitizer|runtime error" "$work/err")"
    fi
done

scan_test_end "save and restore: same listings, same recovered bytes, damaged files refused"
