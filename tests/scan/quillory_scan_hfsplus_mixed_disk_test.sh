#!/usr/bin/env bash
# End-to-end deep scan of HFS+ volumes beside another volume on one disk:
#   quillory_scan_hfsplus_mixed_disk_test.sh DRIVER SOURCE_DIR BINARY_DIR
# A GPT disk holds a FAT32 volume (mkfs.fat, mtools) and two HFS+ volumes
# with the same creation date; once intact, once with both HFS+ primary
# headers zeroed. `--deep --recover DIR --all` must list each HFS+ volume's
# files as its truth table has them (no file taken for the other volume's),
# every FAT file the quick scan lists, and FAT files that mtools reads back
# with the same bytes. A GPT disk with two dd copies of one prebuilt volume
# (every catalog id, name and date repeated) must list and recover each file
# of each copy, the second under its numbered name.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
. "$(dirname "${BASH_SOURCE[0]}")/hfsplus_scan_common.sh"
scan_test_begin scan-hfsmixed make_hfsplus_deep_images.sh hfsplus-deep "$@"
export MTOOLS_SKIP_CHECK=1

truth="$work/truth.tsv"
cat "$src/tests/data/hfsplus_journal.img.truth.tsv" > "$truth"
tail -n +2 "$src/tests/data/hfsplus_compressed.img.truth.tsv" >> "$truth"
read -r fat_start _ < "$fixtures/mixed.starts"
"$driver" --quick "$fixtures/mixed.img" 2> /dev/null | grep $'\tDisk(FAT/FAT32)/' > "$work/fat-quick"
[[ -s $work/fat-quick ]] || fail "the quick scan lists no FAT file"

for image in mixed mixed-lost; do
    deep_recover_and_check "$image" "$truth" || continue

    while IFS= read -r line; do
        grep -qxF "$line" "$work/list" || fail "$image: quick-listed FAT file missing: $line"
    done < "$work/fat-quick"
    # Every existing FAT file is one of the FAT volume's own, byte for byte.
    while IFS=$'\t' read -r _ _ path; do
        inside=${path#Disk(FAT/FAT32)/}
        mcopy -n -i "$fixtures/$image.img@@$((fat_start * 512))" "::$inside" "$work/expected" 2> /dev/null ||
            { fail "$image: not a file of the FAT volume: $inside"; continue; }
        # The tree's name holds a '/', written as '_'.
        cmp -s "$work/expected" "$out/Disk(FAT_FAT32)/$inside" || fail "$image: $path recovered with other bytes"
    done < <(grep $'^existing\t[0-9]*\tDisk(FAT/FAT32)/' "$work/list")
done

for name in journal compressed; do
    hfs_copies=2 deep_recover_and_check "twin-$name" "$src/tests/data/hfsplus_$name.img.truth.tsv"
done

scan_test_end "all passed"
