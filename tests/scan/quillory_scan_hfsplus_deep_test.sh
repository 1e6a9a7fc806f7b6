#!/usr/bin/env bash
# End-to-end deep scan of a lost HFS+ volume with quillory-scan:
#   quillory_scan_hfsplus_deep_test.sh DRIVER SOURCE_DIR BINARY_DIR
# The journaled fixture volume lies at sector 409640 of a 250 MiB GPT disk
# and is not among the disk's volumes. `--deep --searchers hfsplus
# --recover DIR --all` must list every file of the volume, live and deleted,
# and write each one byte-identical to the fixture's truth table, under its
# name in composed form.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
. "$(dirname "${BASH_SOURCE[0]}")/hfsplus_scan_common.sh"
scan_test_begin scan-hfsdeep make_hfsplus_deep_images.sh hfsplus-deep "$@"
truth="$src/tests/data/hfsplus_journal.img.truth.tsv"

deep_recover_and_check gpt "$truth" --searchers hfsplus

scan_test_end "all passed"
