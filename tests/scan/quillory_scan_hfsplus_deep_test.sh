#!/usr/bin/env bash
# End-to-end deep scan of a lost HFS+ volume with quillory-scan:
#   quillory_scan_hfsplus_deep_test.sh DRIVER SOURCE_DIR BINARY_DIR
# The journaled fixture volume lies at sector 409640 of a 250 MiB GPT disk
# and is not among the disk's volumes. `--deep --searchers hfsplus
# --recover DIR --all` must list every file of the volume, live and deleted,
# and write each one byte-identical to the fixture's truth table.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin scan-hfsdeep make_hfsplus_deep_images.sh hfsplus-deep "$@"
truth="$src/tests/data/hfsplus_journal.img.truth.tsv"

for image in gpt; do
    out="$work/$image"
    mkdir -p "$out"
    "$driver" --deep --searchers hfsplus --recover "$out" --all "$fixtures/$image.img" > "$work/list" 2> "$work/err"
    rc=$?
    [[ $rc -eq 0 ]] || { fail "$image: exit status $rc: $(cat "$work/err")"; continue; }
    grep -q "^recovered 14 files to .*, 0 failed$" "$work/list" || fail "$image: $(grep '^recovered' "$work/list")"

    # Every row of the table: listed with its size and state, and its
    # content recovered. Names on disk are decomposed, so the one non-ASCII
    # path is checked by content only.
    while IFS=$'\t' read -r _ _ _ _ path deleted size sha _; do
        [[ $path == path ]] && continue
        state=existing
        [[ $deleted == 1 ]] && state=deleted
        if LC_ALL=C grep -q '[^ -~]' <<<"$path"; then
            hit=$(find "$out" -type f -name "R*sum*" | head -1)
        else
            grep -qxF "$state"$'\t'"$size"$'\t'"Disk(HFS+)/$path" "$work/list" ||
                fail "$image: not listed: $state $size $path"
            hit="$out/Disk(HFS+)/$path"
        fi
        [[ -f $hit ]] || { fail "$image: not recovered: $path"; continue; }
        got=$(sha256sum "$hit" | cut -d' ' -f1)
        [[ $got == "$sha" ]] || fail "$image: $path recovered with sha256 $got"
    done < "$truth"
done

scan_test_end "all passed"
