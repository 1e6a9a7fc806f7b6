#!/usr/bin/env bash
# Two exFAT volumes on one MBR disk (tests/fixtures/make_exfat_multi_images.sh):
#   exfat_multi_volume_test.sh DRIVER SOURCE_DIR BINARY_DIR
# The deep listing of deleted files is the quick listings of both volumes,
# path for path and size for size, and recovered files equal `icat -o START`.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin exfat-multi make_exfat_multi_images.sh exfat-multi "$@"

deleted() { awk -F'\t' '$1 == "deleted" { print $2 "\t" $3 }' "$1" | sort; }
img="$fixtures/two.img"
"$driver" --quick "$img" > "$work/quick" 2> "$work/err" || fail "quick scan: $(cat "$work/err")"
mkdir "$work/out"
"$driver" --deep --searchers exfat --recover "$work/out" "$img" > "$work/deep" 2> "$work/err" ||
    fail "deep scan: $(cat "$work/err")"
deleted "$work/quick" > "$work/q"
deleted "$work/deep" > "$work/d"
[ "$(wc -l < "$work/q")" = 4 ] || fail "quick listings: $(cat "$work/q")"
diff "$work/q" "$work/d" > "$work/diff" || fail "deep listing differs from the quick listings: $(cat "$work/diff")"

root=$(ls "$work/out")
while read -r disk start; do
    fls -r -d -p -F -o "$start" "$img" | while IFS=$'\t' read -r meta path; do
        # TSK's own $OrphanFiles folder is made up by fls, not a folder on disk.
        [[ $path == *'$OrphanFiles'* ]] && continue
        inode=$(sed -E 's|^r/r \* ([0-9]+):$|\1|' <<< "$meta")
        cmp -s <(icat -o "$start" "$img" "$inode") "$work/out/$root/$path" ||
            echo "FAIL: volume at $start: $path not recovered as icat reads it"
    done
done < "$fixtures/starts.txt" > "$work/bytes"
[ -s "$work/bytes" ] && fail "$(cat "$work/bytes")"

scan_test_end "exFAT two-volume deep scan matches the quick scans"
