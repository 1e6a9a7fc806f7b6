#!/usr/bin/env bash
# End-to-end raw search through quillory-scan:
#   quillory_scan_raw_test.sh DRIVER SOURCE_DIR BINARY_DIR
# An image of every committed raw sample at sector boundaries, plain and
# wrapped as QVX: `--deep --searchers raw --recover` lists each sample that
# the manifest says is found, under "(RAW Files)/<ext>/", and writes it
# byte-exact (rounded formats: the sample, then zeros to the sector end).
# A FAT32 volume whose deleted PNG lies above cluster 65,535 with the high
# word of its first cluster zeroed: `--searchers fat,raw` writes it under its
# own name, byte-exact.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin raw-scan-test make_raw_scan_images.sh raw-scan "$@"
data="$src/tests/data/raw"

# check IMAGE: scan, recover and compare every sample.
check() {
    local image=$1 tag=$2
    rm -rf "$work/out-$tag"
    "$driver" --deep --searchers raw --recover "$work/out-$tag" "$image" > "$work/list-$tag" 2> "$work/err-$tag"
    local rc=$?
    [ $rc = 0 ] || { fail "$tag: exited $rc: $(tail -n 3 "$work/err-$tag")"; return; }
    grep -q '^recovered [0-9]* files to .*, 0 failed$' "$work/list-$tag" ||
        fail "$tag: $(grep '^recovered' "$work/list-$tag")"
    while IFS=$'\t' read -r sample start; do
        local group=${sample%%/*} file=${sample#*/}
        local row type size rounds
        row=$(awk -F'\t' -v f="$file" '$1 == f' "$data/$group/manifest.tsv")
        type=$(cut -f2 <<< "$row")
        size=$(cut -f3 <<< "$row")
        rounds=$(cut -f7 <<< "$row")
        # The file whose name or sector range starts at the sample's sector,
        # or the one of its size in its extension's folder.
        local ext=${file##*.} want=$size
        [ "$rounds" = 1 ] && want=$(( (size + 511) / 512 * 512 ))
        local line
        line=$(awk -F'\t' -v s="$want" -v e="/${ext,,}/" '$2 == s && index($3, e)' "$work/list-$tag" | head -n 1)
        # A sample found as another type (an MSI is an unclassified compound
        # file) is under the extension its manifest name gives; a document
        # with an author sits in the tag tree only.
        local found_ext
        found_ext=$(cut -f4 <<< "$row")
        found_ext=${found_ext##*.}
        [ -n "$line" ] || line=$(awk -F'\t' -v s="$want" -v e="/${found_ext,,}/" '$2 == s && index($3, e)' "$work/list-$tag" | head -n 1)
        [ -n "$line" ] || line=$(awk -F'\t' -v s="$want" -v e=".$found_ext" \
            '$2 == s && index($3, "(Label RAW Files)/") && substr($3, length($3) - length(e) + 1) == e' "$work/list-$tag" | head -n 1)
        # Photos that name their camera are filed in the tag tree only.
        [ -n "$line" ] || line=$(awk -F'\t' -v s="$want" -v e=".${ext^^}" '$2 == s && index($3, "(Label RAW Files)/") && substr($3, length($3) - length(e) + 1) == e' "$work/list-$tag" | head -n 1)
        # Tagged files sit in the tag tree, and a format may be filed under
        # another extension than its sample's (ADTS audio as M4A): by size.
        [ -n "$line" ] || line=$(awk -F'\t' -v s="$want" '$2 == s && index($3, "RAW Files)/")' "$work/list-$tag" | head -n 1)
        if [ "$type" = 0 ]; then
            # Only the found samples of that size and extension are listed.
            local listed found
            listed=$(awk -F'\t' -v s="$size" -v e="/${ext,,}/" '$2 == s && index($3, e)' "$work/list-$tag" | wc -l)
            found=$(awk -F'\t' -v s="$size" -v e=".$ext" '$2 != 0 && $3 == s && substr($1, length($1) - length(e) + 1) == e' \
                "$data/$group/manifest.tsv" | wc -l)
            [ "$listed" = "$found" ] || fail "$tag: $sample must not be found"
            continue
        fi
        # A tagged sample lies in the label tree, under its tag's folders.
        if [ -z "$line" ] && [ "$(cut -f5 <<< "$row")" != -1 ]; then
            line=$(awk -F'\t' -v s="$want" -v v="(Label RAW Files)/" '$2 == s && index($3, v)' "$work/list-$tag" | head -n 1)
        fi
        [ -n "$line" ] || { fail "$tag: $sample ($want bytes) not listed"; continue; }
        local path=${line##*$'\t'}
        path=$(sed 's|^[^/]*(RAW Files)/|(RAW Files)/|' <<< "$path")
        local got
        got=$(find "$work/out-$tag" -path "*$path" -type f | head -n 1)
        [ -n "$got" ] || { fail "$tag: $sample not written ($path)"; continue; }
        # A format whose end rule takes a few zero bytes past the data has a
        # manifest size above the sample's: those bytes must be zeros.
        local fsize
        fsize=$(stat -c %s "$data/$sample")
        if [ "$rounds" = 1 ] || [ "$size" -gt "$fsize" ]; then
            cmp -s <(head -c "$fsize" "$got") "$data/$sample" || fail "$tag: $sample differs"
            [ -z "$(tail -c +$((fsize + 1)) "$got" | tr -d '\0')" ] || fail "$tag: $sample: rounding is not zeros"
        else
            cmp -s "$got" "$data/$sample" || fail "$tag: $sample differs"
        fi
    done < "$fixtures/samples.tsv"
}

check "$fixtures/samples.img" plain
qvx "$fixtures/samples.img" "$work/samples.qvx"
check "$work/samples.qvx" qvx

# The deleted FAT32 PNG above cluster 65,535, placed by its content.
"$driver" --deep --searchers fat,raw --recover "$work/fat" "$fixtures/fat32.img" > "$work/fat.list" 2> "$work/fat.err" ||
    fail "fat32: exited $?: $(tail -n 3 "$work/fat.err")"
grep -q $'^deleted\t6994\t.*(FAT/FAT32)/.OSE.PNG$' "$work/fat.list" || fail "fat32: $(cat "$work/fat.list")"
got=$(find "$work/fat" -path '*FAT32)/?OSE.PNG' -type f | head -n 1)
[ -n "$got" ] && cmp -s "$got" "$data/images/rose.png" || fail "fat32: the deleted PNG is not written byte-exact"
grep -q $'^existing\t6994\t.*(RAW Files)/png/' "$work/fat.list" || fail "fat32: the raw search misses the PNG"

scan_test_end "raw search lists and recovers every sample"
