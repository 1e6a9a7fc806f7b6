#!/usr/bin/env bash
# Deep scans of disks with several volumes against quick scans of the same
# disks (tests/fixtures/make_ntfs_multi_images.sh):
#   multi_volume_deep_test.sh DRIVER SOURCE_DIR BINARY_DIR
# Disks: two different NTFS volumes, one NTFS volume twice (dd), an NTFS
# volume whose deleted files lost their folder's record, and NTFS + FAT32 +
# exFAT on MBR and on GPT. On each, `--deep` must list exactly the deleted
# files (state, size, path) the quick scan lists volume by volume, each as
# often as the volumes hold it, and `--recover` must write each deleted file
# of every volume byte-identical to `icat -o START`.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin multi-volume-deep make_ntfs_multi_images.sh ntfsmulti "$@"

# deleted_lines FILE: the deleted-file lines of a listing, sorted (repeats kept).
deleted_lines() { grep $'^deleted\t' "$1" | LC_ALL=C sort; }

# content_keys DIR: "SIZE SHA256 NAME" of every file under DIR, NAME without
# its first character (FAT's deleted short names lose it: fls shows `_`, we
# `#`) and without the " (N)" that a second file of the same path gets
content_keys() {
    find "$1" -type f -print0 | while IFS= read -r -d '' f; do
        name=$(basename "$f" | sed -E 's/ \([0-9]+\)(\.[^.]*)?$/\1/')
        echo "$(stat -c %s "$f") $(sha256sum < "$f" | cut -d' ' -f1) ${name:1}"
    done | LC_ALL=C sort
}

for spec in "two ntfs" "twin ntfs" "orphan ntfs" "mixed_mbr ntfs,fat,exfat" "mixed_gpt ntfs,fat,exfat"; do
    read -r disk searchers <<< "$spec"
    img="$fixtures/$disk.img"
    "$driver" --quick "$img" > "$work/$disk.quick" 2> "$work/err" || fail "$disk: quick scan: $(cat "$work/err")"
    out="$work/out-$disk"
    mkdir "$out"
    "$driver" --deep --searchers "$searchers" --recover "$out" "$img" > "$work/$disk.deep" 2> "$work/err" ||
        fail "$disk: deep scan: $(cat "$work/err")"
    deleted_lines "$work/$disk.quick" > "$work/$disk.quick.deleted"
    deleted_lines "$work/$disk.deep" > "$work/$disk.deep.deleted"
    [ -s "$work/$disk.quick.deleted" ] || fail "$disk: the quick scan lists no deleted file"
    diff -u "$work/$disk.quick.deleted" "$work/$disk.deep.deleted" > "$work/diff" ||
        fail "$disk: deep listing differs from the quick listing:
$(cat "$work/diff")"
    grep -q '^recovered [1-9][0-9]* files to .*, 0 failed$' "$work/$disk.deep" ||
        fail "$disk: recovery line: $(grep '^recovered' "$work/$disk.deep")"

    # Every deleted regular file fls finds in each volume, as icat gives it
    # (TSK's own $OrphanFiles/OrphanFile-N entries are reserved records).
    want="$work/$disk.want"
    mkdir "$want"
    n=0
    while read -r start; do
        fls -r -p -d -o "$start" "$img" | awk -F'\t' '$1 ~ /^[-r]\/r \* / && $2 !~ /OrphanFile-[0-9]+$/ {
                split($1, a, " "); sub(/-.*/, "", a[3]); sub(/:$/, "", a[3]); print a[3] "\t" $2 }' |
        while IFS=$'\t' read -r inode path; do
            n=$((n + 1))
            mkdir "$want/$start-$n"
            icat -o "$start" "$img" "$inode" > "$want/$start-$n/$(basename "$path")"
        done
    done < "$fixtures/$disk.starts"
    content_keys "$want" > "$work/want.keys"
    content_keys "$out" > "$work/got.keys"
    [ -s "$work/want.keys" ] || fail "$disk: fls lists no deleted file"
    missing=$(LC_ALL=C comm -23 "$work/want.keys" "$work/got.keys")
    [ -z "$missing" ] || fail "$disk: not recovered as icat gives them (size sha256 name):
$missing"
done

scan_test_end "multi-volume deep scans: all checks passed"
