#!/usr/bin/env bash
# End-to-end deep scans of disk images through quillory-scan:
#   deep_image_test.sh DRIVER SOURCE_DIR BINARY_DIR
# A FAT16 disk image (partition table intact, and with its boot sector and
# FAT starts zeroed) wrapped as an uncompressed UDIF (.dmg) and as a QVX image
# must deep-scan to exactly the listing of the raw image, and the deleted
# files recovered from the wrapped images must equal the files written. A
# cut DMG or QVX is refused with a reason.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin deep-image-test make_fat_deep_images.sh fat-deep "$@"

# listing IMAGE OUT [ARGS...]: the file lines of a FAT deep scan, sorted, the
# tree root's name (the image's own description) cut.
listing() {
    local image=$1 list=$2; shift 2
    "$driver" --deep --searchers fat "$@" "$image" > "$work/out" 2> "$work/err"
    local rc=$?
    [ $rc = 0 ] || { fail "deep scan of $image exited $rc: $(tail -n 3 "$work/err")"; : > "$list"; return; }
    grep -v '^scanned \|^recovered ' "$work/out" | sed 's|\t[^/\t]*/|\t/|' | LC_ALL=C sort > "$list"
    grep -v '^recovered ' "$work/out" | tail -n 1 | grep -q '^scanned [0-9]* bytes in .* files, [0-9]* deleted$' ||
        fail "last line of the deep scan of $1: $(tail -n 1 "$work/out")"
}

for disk in fat16 fat16-bare; do
    raw="$fixtures/$disk.img"
    python3 "$src/tests/fixtures/make_udif.py" "$raw" "$work/$disk.dmg"
    qvx "$raw" "$work/$disk.qvx"
    listing "$raw" "$work/$disk.raw.list"
    grep -q $'^deleted\t100000\t.*/Docs/Big Archive.bin$' "$work/$disk.raw.list" ||
        fail "$disk: the raw image's deep scan misses Docs/Big Archive.bin: $(cat "$work/$disk.raw.list")"
    for kind in dmg qvx; do
        out="$work/recovered-$disk-$kind"
        mkdir "$out"
        listing "$work/$disk.$kind" "$work/$disk.$kind.list" --recover "$out"
        cmp -s "$work/$disk.raw.list" "$work/$disk.$kind.list" ||
            fail "$disk: the $kind image lists otherwise than the raw image: $(diff "$work/$disk.raw.list" "$work/$disk.$kind.list")"
        for f in "Report Final.docx" "Photos/Summer Holiday Picture.jpg" "Docs/Big Archive.bin" \
                 "Photos/Old/old scan.bin"; do
            got=$(find "$out" -path "*/$f" -type f | head -n 1)
            [ -n "$got" ] || { fail "$disk: $f not recovered from the $kind image"; continue; }
            cmp -s "$got" "$fixtures/orig/fat16/$f" || fail "$disk: $f recovered from the $kind image differs"
        done
    done
done

# Cut images are refused with their reason, never scanned as garbage.
head -c 100000 "$work/fat16.qvx" > "$work/cut.qvx"
"$driver" --deep "$work/cut.qvx" > /dev/null 2> "$work/err"
rc=$?
[ $rc = 1 ] && grep -q "not a complete QVX image" "$work/err" || fail "cut QVX: exit $rc, $(cat "$work/err")"
{ head -c 65536 "$fixtures/fat16.img"; tail -c 512 "$work/fat16.dmg"; } > "$work/cut.dmg"
"$driver" --deep "$work/cut.dmg" > /dev/null 2> "$work/err"
rc=$?
[ $rc = 1 ] && grep -q "cannot be read as stored" "$work/err" || fail "cut DMG: exit $rc, $(cat "$work/err")"

scan_test_end "all checks passed"
