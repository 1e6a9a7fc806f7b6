#!/usr/bin/env bash
# A saved deep result of a GPT disk holding two HFS+ volumes (the prebuilt
# journaled and compressed ones) beside a FAT32 volume
# (tests/fixtures/make_hfsplus_deep_images.sh, mixed.img):
#   save_restore_hfsplus_test.sh DRIVER SOURCE_DIR BINARY_DIR
# `--restore FILE --recover DIR --all` lists what the deep scan listed and
# recovers every file of both HFS+ volumes with the SHA-256 of their truth
# tables: compressed files are decoded through the volume they lie on, not
# through the other one.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
. "$(dirname "${BASH_SOURCE[0]}")/hfsplus_scan_common.sh"
scan_test_begin save-restore-hfs make_hfsplus_deep_images.sh hfsplus-deep "$@"

truth="$work/truth.tsv"
cat "$src/tests/data/hfsplus_journal.img.truth.tsv" > "$truth"
tail -n +2 "$src/tests/data/hfsplus_compressed.img.truth.tsv" >> "$truth"
result="$work/mixed.Quillory"
files() { grep -P '^(deleted|existing)\t' "$1" | sort; }

"$driver" --deep --save "$result" "$fixtures/mixed.img" > "$work/scan" 2> "$work/err" ||
    fail "deep scan and save: $(cat "$work/err")"
mkdir -p "$work/out"
"$driver" --restore "$result" --recover "$work/out" --all "$fixtures/mixed.img" > "$work/list" 2> "$work/err" ||
    fail "restore: $(cat "$work/err")"
files "$work/scan" > "$work/s"
files "$work/list" > "$work/r"
diff "$work/s" "$work/r" > "$work/diff" || fail "the restore lists other files: $(head -20 "$work/diff")"
check_hfsplus_truth "restored mixed.img" "$work/list" "$work/out" "$truth"

scan_test_end "restored HFS+ volumes recover every file with its checksum"
