#!/usr/bin/env bash
# End-to-end deep scan of FAT disks by quillory-scan:
#   fat_deep_scan_test.sh DRIVER SOURCE_DIR BINARY_DIR
# Each disk (intact FAT32, FAT32 with its main boot sector zeroed, FAT16 with
# its boot sector and both FAT starts zeroed) is deep-scanned with the FAT
# searcher only and its deleted files recovered: every deleted file the
# fixture script wrote comes back byte-identical, and none fails.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin fat-deep make_fat_deep_images.sh fat-deep "$@"

deleted=("Photos/Summer Holiday Picture.jpg" "Report Final.docx" "Docs/Big Archive.bin"
         "Photos/Old/old scan.bin" "Photos/Old/second old.txt")

for case in fat32.img:fat32 fat32-noboot.img:fat32 fat16-bare.img:fat16; do
    img=${case%%:*} disk=${case##*:}
    out="$work/$img"
    mkdir -p "$out"
    "$driver" --deep --searchers fat --recover "$out" "$fixtures/$img" > "$work/raw" 2> "$work/err"
    rc=$?
    [ $rc = 0 ] || { fail "$img: deep scan exited $rc: $(cat "$work/err")"; continue; }
    last=$(tail -n 1 "$work/raw")
    [[ $last =~ ^recovered\ ([0-9]+)\ files\ to\ .*,\ 0\ failed$ ]] || fail "$img: last line '$last'"
    for path in "${deleted[@]}"; do
        name=$(basename "$path")
        grep -q -P "^deleted\t[0-9]+\t.*/\Q$name\E$" "$work/raw" || fail "$img: $name not listed as deleted"
        mapfile -t copies < <(find "$out" -type f -name "$name*")
        [ ${#copies[@]} -ge 1 ] || { fail "$img: $name not recovered"; continue; }
        for copy in "${copies[@]}"; do
            cmp -s "$copy" "$fixtures/orig/$disk/$path" || fail "$img: ${copy#$out/} differs from the original"
        done
    done
    # With the boot sector, folders keep their names.
    if [ "$img" = fat32.img ]; then
        grep -q -P "^deleted\t20000\t.*\)/Photos/Summer Holiday Picture.jpg$" "$work/raw" ||
            fail "$img: Photos/Summer Holiday Picture.jpg not at its path"
    fi
done

scan_test_end "all FAT deep scans passed"
