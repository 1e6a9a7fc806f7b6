#!/usr/bin/env bash
# Runs two builds of quillory-scan over every disk image below the given
# folders, quick and deep, and diffs their listings. For changes that must
# not change what a scan finds: build the old and the new program, then
#   tools/compare_listings.sh OLD/cli/quillory-scan NEW/cli/quillory-scan build-test/fixtures
# Exits 0 when every listing is byte-identical (apart from the timing in the
# closing "scanned" line), 1 otherwise.
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 OLD_SCAN NEW_SCAN FOLDER..." >&2; exit 2; }
old=$1 new=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The closing line carries the time taken; everything else must match.
listing() { "$@" 2>/dev/null | sed -E 's/ in [0-9.]+ s \([0-9.]+ MiB\/s\)//'; }

images=0 differ=0
while IFS= read -r -d '' img; do
    for mode in --quick --deep; do
        listing "$old" "$mode" "$img" >"$work/old"
        listing "$new" "$mode" "$img" >"$work/new"
        if ! cmp -s "$work/old" "$work/new"; then
            echo "differs: $mode $img"
            diff "$work/old" "$work/new" | head -n 20
            differ=$((differ + 1))
        fi
    done
    images=$((images + 1))
done < <(find "$@" -type f \( -name '*.img' -o -name '*.dmg' -o -name '*.qvx' \) -print0 | sort -z)
echo "$images images, $differ listings differ"
[ "$differ" -eq 0 ]
