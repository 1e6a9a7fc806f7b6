#!/usr/bin/env bash
# FAT disks with two volumes, and names, by quillory-scan against The Sleuth
# Kit (tests/fixtures/make_fat_multi_images.sh):
#   fat_multi_volume_test.sh DRIVER SOURCE_DIR BINARY_DIR
# - two.img (two volumes of different content) and copy.img (two identical
#   volumes): the deep listing of deleted files is the quick listings of
#   both volumes, path for path and size for size, each as often as the
#   volumes hold it; no folder is made up.
# - Names are the ones `fls -r -d -p` gives (long names, and the lower-case
#   flags of 8.3 entries), an erased first character shown as '#' where
#   fls shows '_'; recovered files of two.img equal `icat -o START`.
# - lfn.img: every long name of a deleted folder whose name groups straddle
#   its clusters comes out whole in the deep listing.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin fat-multi make_fat_multi_images.sh fat-multi "$@"

deleted() { awk -F'\t' '$1 == "deleted" { print $2 "\t" $3 }' "$1" | sort; }

for img in two.img copy.img; do
    "$driver" --quick "$fixtures/$img" > "$work/quick" 2> "$work/err" || fail "$img: quick scan: $(cat "$work/err")"
    "$driver" --deep --searchers fat "$fixtures/$img" > "$work/deep" 2> "$work/err" ||
        fail "$img: deep scan: $(cat "$work/err")"
    deleted "$work/quick" > "$work/q"
    deleted "$work/deep" > "$work/d"
    [ -s "$work/q" ] || fail "$img: quick scan lists no deleted file"
    diff "$work/q" "$work/d" > "$work/diff" || fail "$img: deep listing differs from the quick listings: $(cat "$work/diff")"
    grep -q -P '/DIR[0-9]+/' "$work/deep" && fail "$img: made-up folders in the deep listing"

    # Each volume's deleted files by fls, named as we name them.
    : > "$work/fls"
    while read -r disk start; do
        [ "$disk" = "$img" ] || continue
        fls -r -d -p -F -o "$start" "$fixtures/$img" | grep -v '\$OrphanFiles' |
            sed -E 's|^r/r \* ([0-9]+):\t||; s|(^\|/)_([^/]*)$|\1#\2|' >> "$work/fls"
    done < "$fixtures/starts.txt"
    cut -f2 "$work/q" | sed 's|^Disk(FAT/FAT32)/||' | sort > "$work/ours"
    sort "$work/fls" > "$work/theirs"
    diff "$work/theirs" "$work/ours" > "$work/diff" || fail "$img: names differ from fls: $(cat "$work/diff")"
done

# Recovered bytes of two.img against icat, volume by volume.
mkdir "$work/out"
"$driver" --deep --searchers fat --recover "$work/out" "$fixtures/two.img" > "$work/deep" 2> "$work/err" ||
    fail "two.img: deep recovery: $(cat "$work/err")"
root=$(ls "$work/out")
while read -r disk start; do
    [ "$disk" = two.img ] || continue
    fls -r -d -p -F -o "$start" "$fixtures/two.img" | grep -v '\$OrphanFiles' | while IFS=$'\t' read -r meta path; do
        inode=$(sed -E 's|^r/r \* ([0-9]+):$|\1|' <<< "$meta")
        ours=$(sed -E 's|(^\|/)_([^/]*)$|\1#\2|' <<< "$path")
        if ! cmp -s <(icat -o "$start" "$fixtures/two.img" "$inode") "$work/out/$root/$ours"; then
            echo "FAIL: two.img volume at $start: $ours not recovered as icat reads it"
        fi
    done
done < "$fixtures/starts.txt" > "$work/bytes"
[ -s "$work/bytes" ] && fail "$(cat "$work/bytes")"

"$driver" --deep --searchers fat "$fixtures/lfn.img" > "$work/deep" 2> "$work/err" || fail "lfn.img: deep scan: $(cat "$work/err")"
for i in $(seq -w 1 30); do
    grep -q -P "^deleted\t$((100 + 10#$i))\t.*/file number $i with a long name\.dat$" "$work/deep" ||
        fail "lfn.img: file number $i not listed under its long name"
done

scan_test_end "FAT multi-volume and name checks passed"
