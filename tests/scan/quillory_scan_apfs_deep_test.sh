#!/usr/bin/env bash
# End-to-end test of quillory-scan --deep on APFS: a disk image with no
# partition table holding an empty mkapfs container and, after it, the
# prebuilt container (live and deleted files) at an offset that is not a
# multiple of 64 KiB.
#   quillory_scan_apfs_deep_test.sh DRIVER SOURCE_DIR BINARY_DIR
# Every file of the truth list must be printed with its size (the deleted
# ones as deleted), and --recover must write every deleted one byte-identical
# to its truth.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin scan-apfs make_apfs_deep_images.sh apfs-deep "$@" "$2"

mkdir "$work/out"
"$driver" --deep --searchers apfs --recover "$work/out" "$fixtures/apfs_prebuilt.img" > "$work/raw" 2> "$work/err"
rc=$?
[ $rc = 0 ] || fail "deep scan exited $rc: $(grep -v '^CDirectory' "$work/err" | tail -n 5)"
grep -q '^recovered [1-9][0-9]* files to .*, 0 failed$' "$work/raw" || fail "no recovery line: $(tail -n 2 "$work/raw")"

checked=0
while IFS=$'\t' read -r _ _ _ _ path deleted size sha _; do
    [ "$path" = path ] && continue
    state=existing
    [ "$deleted" = 1 ] && state=deleted
    # Files of a container after the first are all listed as deleted.
    awk -F'\t' -v p="/$path" -v s="$size" -v st="$state" '
        ($1 == st || st == "existing") && $2 == s && substr($3, length($3) - length(p) + 1) == p { found = 1 }
        END { exit !found }' "$work/raw" || fail "not listed: $state $size $path"
    [ "$deleted" = 1 ] || continue
    match=
    while IFS= read -r -d '' f; do
        [ "$(sha256sum < "$f" | cut -c1-64)" = "$sha" ] && match=$f
    done < <(find "$work/out" -type f -path "*/$path" -print0)
    [ -n "$match" ] || fail "$path not recovered byte-identical"
    checked=$((checked + 1))
done < "$src/tests/data/apfs.img.truth.tsv"
[ $checked -ge 7 ] || fail "only $checked deleted files checked"

scan_test_end "ok: $checked deleted files recovered byte-identical"
