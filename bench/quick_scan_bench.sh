#!/usr/bin/env bash
# Quick-scan speed on NTFS: `quillory-scan --quick` against The Sleuth Kit's
# `fls -r -d` on the same image: FILES files in folders of 1,000 written
# through ntfs-3g, every other one deleted afterwards. The image is made once
# under BUILD_DIR/bench-data (256 MiB, and 10 KiB more per file past 20,000).
#   bench/quick_scan_bench.sh [BUILD_DIR] [RUNS] [FILES]   (defaults
#   build-bench, 5, 20000; run tools/bench.sh first)
# Prints the median wall time and the peak resident memory (the largest over
# the runs, /usr/bin/time -v) of each over RUNS runs, and the time of a
# machine-wide `sync` taken just before each scan, so that the scan's own
# flush (only the file systems mounted from the scanned image and its own
# buffers) finds nothing of the machine's left to write. quillory-scan leaves
# out the tree builder's one-second pause per tree (a front end's pacing).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-5}
files=${3:-20000}
scan="$build/cli/quillory-scan"
data="$build/bench-data"
img="$data/ntfs_$((files / 1000))k.img"
[[ -x $scan ]] || { echo "no $scan: run tools/bench.sh first" >&2; exit 1; }
mkdir -p "$data"

if [[ ! -f $img ]]; then
    mnt=$(mktemp -d)
    trap 'mountpoint -q "$mnt" && umount "$mnt"; rmdir "$mnt"' EXIT
    truncate -s $((256 + (files > 20000 ? (files - 20000) / 100 : 0)))M "$img.tmp"
    mkntfs -F -Q -q -c 4096 "$img.tmp" >/dev/null 2>&1
    ntfs-3g "$img.tmp" "$mnt"
    python3 - "$mnt" "$files" <<'PY'
import os, sys
root, folders = sys.argv[1], int(sys.argv[2]) // 1000
for d in range(folders):
    folder = os.path.join(root, "dir%02d" % d)
    os.mkdir(folder)
    for i in range(1000):
        # small files stay inside their FILE record, larger ones get runs
        size = 100 if i % 3 == 0 else 5000 + 50 * (i % 60)
        with open(os.path.join(folder, "file%04d.dat" % i), "wb") as f:
            f.write(bytes([(d + i) & 0xFF]) * size)
for d in range(folders):
    folder = os.path.join(root, "dir%02d" % d)
    for i in range(0, 1000, 2):
        os.remove(os.path.join(folder, "file%04d.dat" % i))
PY
    umount "$mnt"
    mv "$img.tmp" "$img"
fi

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now() { date +%s.%N; }

# peak_kib FILE: the peak resident set that /usr/bin/time -v wrote to FILE.
peak_kib() { awk -F': ' '/Maximum resident set size/ { print $2 }' "$1"; }

scan_times=() fls_times=() sync_times=() scan_rss=0 fls_rss=0
for _ in $(seq 1 "$runs"); do
    t0=$(now); sync; t1=$(now)
    /usr/bin/time -v -o "$data/scan.time" "$scan" --quick "$img" > "$data/scan.out" 2>/dev/null
    t2=$(now)
    /usr/bin/time -v -o "$data/fls.time" fls -r -d "$img" > "$data/fls.out"
    t3=$(now)
    scan_rss=$(( $(peak_kib "$data/scan.time") > scan_rss ? $(peak_kib "$data/scan.time") : scan_rss ))
    fls_rss=$(( $(peak_kib "$data/fls.time") > fls_rss ? $(peak_kib "$data/fls.time") : fls_rss ))
    sync_times+=("$(echo "$t1 - $t0" | bc)")
    scan_times+=("$(echo "$t2 - $t1" | bc)")
    fls_times+=("$(echo "$t3 - $t2" | bc)")
done
deleted=$(grep -c '^deleted' "$data/scan.out" || true)
fls_deleted=$(grep -v '[-a-z]/d ' "$data/fls.out" | grep -vc 'OrphanFile-' || true)
echo "image: $img ($(( $(stat -c %s "$img") >> 20 )) MiB)"
echo "quillory-scan --quick: $(printf '%s\n' "${scan_times[@]}" | median) s median of $runs, peak RSS $((scan_rss / 1024)) MiB ($deleted deleted files listed; $(tail -n 1 "$data/scan.out"))"
echo "fls -r -d:             $(printf '%s\n' "${fls_times[@]}" | median) s median of $runs, peak RSS $((fls_rss / 1024)) MiB ($fls_deleted deleted files, those under \$OrphanFiles left out)"
echo "sync before each scan: $(printf '%s\n' "${sync_times[@]}" | median) s median"
