#!/usr/bin/env bash
# End-to-end test of an NTFS deep scan with quillory-scan:
#   quillory_scan_ntfs_deep_test.sh DRIVER SOURCE_DIR BINARY_DIR
# On a disk image holding an NTFS volume at sector 2048 and no partition
# table, `--deep --searchers ntfs` must list exactly the files `fls -r -o
# 2048` lists, with their sizes (deleted ones as deleted, under their
# folders, a deleted folder's file too), nothing more, and `--recover` must
# write each deleted file byte-identical to `icat -o 2048`.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin ntfs-deep make_ntfs_tree_images.sh ntfstree "$@"
disk="$fixtures/ntfs_disk2048.img"

# "deleted|existing<TAB>SIZE<TAB>PATH" of every file fls lists, sorted.
fls -r -p -l -o 2048 "$disk" | awk -F'\t' '
    $1 ~ /^[-a-zV]\/[dV]/ { next }
    $2 ~ /^\$/ { next }
    { state = ($1 ~ / \* /) ? "deleted" : "existing"; print state "\t" $7 "\t" $2 }' |
    LC_ALL=C sort > "$work/expected"
[ "$(grep -c '^deleted' "$work/expected")" -ge 3 ] || fail "fls lists too few deleted files in $disk"

mkdir "$work/out"
"$driver" --deep --searchers ntfs --recover "$work/out" "$disk" > "$work/raw" 2> "$work/err"
rc=$?
[ $rc = 0 ] || fail "deep scan exited $rc: $(cat "$work/err")"

# The driver's paths start at the tree's root folder; fls's at the volume.
awk -F'\t' '$1 == "deleted" || $1 == "existing" { sub(/^[^\/]*\//, "", $3); print $1 "\t" $2 "\t" $3 }' \
    "$work/raw" | LC_ALL=C sort > "$work/got"
diff -u "$work/expected" "$work/got" > "$work/diff" || fail "deep scan differs from fls:
$(cat "$work/diff")"

# Every deleted file is written byte-identical to icat's copy.
fls -r -p -o 2048 "$disk" | awk -F'\t' '$1 ~ /^-\/r \* / && $2 !~ /^\$/ {
        split($1, a, " "); sub(/-.*/, "", a[3]); sub(/:$/, "", a[3]); print a[3] "\t" $2 }' > "$work/deleted"
while IFS=$'\t' read -r inode path; do
    icat -o 2048 "$disk" "$inode" > "$work/want"
    found=$(find "$work/out" -type f -path "*/$path" | head -n 1)
    if [ -z "$found" ]; then
        fail "deleted $path (inode $inode) was not recovered"
    elif ! cmp -s "$work/want" "$found"; then
        fail "recovered $path differs from icat -o 2048 $inode"
    fi
done < "$work/deleted"
[ -s "$work/deleted" ] || fail "no deleted file to recover"
grep -q '^recovered [1-9][0-9]* files to .*, 0 failed$' "$work/raw" || fail "recovery line: $(tail -n 1 "$work/raw")"

scan_test_end "all checks passed"
