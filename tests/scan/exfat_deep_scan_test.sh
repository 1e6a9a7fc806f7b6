#!/usr/bin/env bash
# End-to-end deep scan of a raw disk holding an exFAT volume at an odd sector
# with both boot sectors wiped (tests/fixtures/make_exfat_deep_images.sh):
#   exfat_deep_scan_test.sh DRIVER SOURCE_DIR BINARY_DIR
# `quillory-scan --deep --searchers exfat --recover DIR` must list every
# deleted file under its folder path and write it byte-identical to what was
# written before deletion; existing files are listed as existing.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin exfat-deep make_exfat_deep_images.sh exfat-deep "$@"

mkdir "$work/out"
"$driver" --deep --searchers exfat --recover "$work/out" "$fixtures/disk.img" > "$work/raw" 2> "$work/err"
rc=$?
[ $rc = 0 ] || fail "deep scan exited $rc: $(cat "$work/err")"

# The tree root's own folder is the first path component.
root=$(awk -F'\t' '$1 == "deleted" { split($3, p, "/"); print p[1]; exit }' "$work/raw")
[ -n "$root" ] || fail "no deleted file listed"

while IFS= read -r path; do
    size=$(stat -c %s "$fixtures/orig/$path")
    grep -qxF "deleted	$size	$root/$path" "$work/raw" || fail "not listed as deleted: $path ($size bytes)"
    cmp -s "$fixtures/orig/$path" "$work/out/$root/$path" || fail "not recovered byte-identical: $path"
done < "$fixtures/deleted.txt"

for path in top.txt "Photos été/img-1.jpg" projects/delta/sub/data.bin; do
    size=$(stat -c %s "$fixtures/orig/$path")
    grep -qxF "existing	$size	$root/$path" "$work/raw" || fail "not listed as existing: $path"
done
grep -q "^recovered $(wc -l < "$fixtures/deleted.txt") files to $work/out, 0 failed$" "$work/raw" ||
    fail "recovery summary: $(grep '^recovered' "$work/raw")"

scan_test_end "exFAT deep scan: all checks passed"
