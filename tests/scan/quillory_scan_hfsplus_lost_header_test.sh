#!/usr/bin/env bash
# End-to-end deep scan of HFS+ volumes whose primary header, or the header
# node of whose catalog, is lost:
#   quillory_scan_hfsplus_lost_header_test.sh DRIVER SOURCE_DIR BINARY_DIR
# Each prebuilt volume with sector 2 (its primary header) or its first 8
# sectors zeroed, alone or inside a GPT disk, keeps its alternate header at
# its end and, when journaled, stale header and catalog copies in the
# journal; the journaled volume without its catalog's header node opens no
# more, and its live and journal nodes are found one by one.
# `--deep --searchers hfsplus --recover DIR --all` must list what
# the intact volume holds, deleted files as deleted, each file recovered
# with the truth table's SHA-256: stale journal copies never stand for the
# live state.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
. "$(dirname "${BASH_SOURCE[0]}")/hfsplus_scan_common.sh"
scan_test_begin scan-hfslost make_hfsplus_deep_images.sh hfsplus-deep "$@"

for pair in journal-sector2:journal journal-first8:journal gpt-sector2:journal journal-catalog:journal \
            compressed-sector2:compressed compressed-first8:compressed; do
    image=lost-${pair%%:*}
    truth="$src/tests/data/hfsplus_${pair##*:}.img.truth.tsv"
    deep_recover_and_check "$image" "$truth" --searchers hfsplus
done

scan_test_end "all passed"
