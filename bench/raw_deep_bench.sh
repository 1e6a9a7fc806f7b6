#!/usr/bin/env bash
# The full deep scan with the raw search against pread and PhotoRec on a
# sample-dense disk image.
#
#   bench/raw_deep_bench.sh [--gib N] [--runs R] [--bin DIR] [--keep-images DIR]
#
# The image (N GiB, default 2, at least 2): an MBR disk whose first partition
# is a FAT32 volume holding copies of every committed raw sample
# (tests/data/raw/*/), a third of them deleted with mdel; after the
# partition, the samples laid again and again at sector boundaries between
# seeded zero and random runs (bench/raw_bench_image.py), so most sectors
# belong to real files. A second image of the same size holds seeded random
# bytes only, for PhotoRec's speed where it finds nothing.
#
# With the page cache warm, it times (wall time and peak RSS from
# /usr/bin/time -v; the best of R runs, default 3, since a shared machine's
# slow moments only ever add time):
#   pread       quillory-read-throughput IMG (4 MiB reads, median of 5)
#   deep        quillory-scan --deep IMG (every searcher plus the raw search)
#   raw only    quillory-scan --deep --searchers raw IMG
#   photorec    photorec /log /d OUT /cmd IMG partition_none,options,paranoid,
#               fileopt,everything,enable,wholespace,search
#   photorec on the random image
# and prints MB/s (image bytes over wall time) and the targets: the deep
# scan at least 40% of pread, and at least 10 times PhotoRec on this image.
# A warm pread runs at memory speed, so it also gives, for information, the
# disk's own speed (O_DIRECT reads, which pass the page cache by) and, when
# run as root, the deep scan from a cold page cache against it.
#
# DIR (default build-bench, made by tools/bench.sh) holds cli/quillory-scan
# and bench/quillory-read-throughput. Needs about 3 x N GiB free in TMPDIR.
# --keep-images DIR keeps both images there (and reuses them when present).
# Exit status: 0 when every run worked (met targets or not), 1 otherwise,
# 2 on bad usage.
set -euo pipefail

usage() {
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
data="$root/tests/data/raw"
bin="$root/build-bench"
gib=2
runs=3
keep=""
while [ $# -gt 0 ]; do
    case "$1" in
        --gib) [ $# -ge 2 ] || usage; gib=$2; shift ;;
        --bin) [ $# -ge 2 ] || usage; bin=$2; shift ;;
        --runs) [ $# -ge 2 ] || usage; runs=$2; shift ;;
        --keep-images) [ $# -ge 2 ] || usage; keep=$2; shift ;;
        -h | --help) usage ;;
        *) echo "raw_deep_bench.sh: unknown argument $1" >&2; usage ;;
    esac
    shift
done
[[ "$gib" =~ ^[0-9]+$ ]] && [ "$gib" -ge 2 ] || { echo "raw_deep_bench.sh: --gib takes a whole number, at least 2" >&2; exit 2; }
[[ "$runs" =~ ^[0-9]+$ ]] && [ "$runs" -ge 1 ] || { echo "raw_deep_bench.sh: --runs takes a whole number, at least 1" >&2; exit 2; }
scan="$bin/cli/quillory-scan"
pread="$bin/bench/quillory-read-throughput"
for exe in "$scan" "$pread"; do
    [ -x "$exe" ] || { echo "raw_deep_bench.sh: $exe is missing (run tools/bench.sh, or give --bin)" >&2; exit 2; }
done
for tool in photorec python3 mkfs.fat mcopy mdel mmd sfdisk dd /usr/bin/time; do
    command -v "$tool" > /dev/null || { echo "raw_deep_bench.sh: $tool is missing (tools/setup.sh installs it)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/raw-deep-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
bytes=$((gib << 30))
images=${keep:-$work}
mkdir -p "$images"
img="$images/raw-deep-$gib.img"
rnd="$images/raw-random-$gib.img"

make_dense() {
    local out=$1
    # The FAT32 volume: 256 MiB of 2 KiB clusters, about two thirds filled
    # with copies of the sample set, one folder per copy.
    local fat="$work/fat.img" fat_mib=256
    python3 "$root/bench/raw_bench_image.py" samples "$data" > "$work/samples.tsv"
    [ -s "$work/samples.tsv" ] || { echo "raw_deep_bench.sh: no samples under $data" >&2; return 1; }
    mkdir -p "$work/set"
    local n=0
    while IFS=$'\t' read -r path _; do
        n=$((n + 1))
        cp "$data/$path" "$work/set/S$n.${path##*.}"
    done < "$work/samples.tsv"
    local set_bytes copies
    set_bytes=$(du -sb "$work/set" | cut -f1)
    copies=$(( (fat_mib << 20) * 2 / 3 / (set_bytes + n * 4096) ))
    [ "$copies" -ge 1 ] || copies=1
    [ "$copies" -le 400 ] || copies=400
    truncate -s "${fat_mib}M" "$fat"
    mkfs.fat -F 32 -s 4 -n RAWBENCH "$fat" > /dev/null
    local k
    for ((k = 1; k <= copies; k++)); do
        mmd -i "$fat" "::/D$k"
        mcopy -i "$fat" "$work/set/"* "::/D$k/"
    done
    for ((k = 3; k <= copies; k += 3)); do mdel -i "$fat" "::/D$k/*"; done
    # 1 MiB for the partition table, the volume, then the laid samples.
    truncate -s 1M "$out"
    cat "$fat" >> "$out"
    rm -f "$fat"
    python3 "$root/bench/raw_bench_image.py" lay "$data" "$out" --seed 2801 --bytes "$bytes" --gap 2 \
        --random-share 0.3 > "$work/laid.tsv"
    printf 'label: dos\nstart=2048, size=%d, type=c\n' $((fat_mib * 2048)) |
        sfdisk --no-reread --no-tell-kernel -q "$out" > /dev/null 2> "$work/sfdisk.err" || {
        echo "raw_deep_bench.sh: sfdisk failed: $(cat "$work/sfdisk.err")" >&2
        return 1
    }
    echo "dense image: $copies copies of $n samples in the FAT32 volume (a third deleted)," \
        "$(awk -F'\t' '{s += $2} END {print s}' "$work/laid.tsv") samples laid after it"
}

if [ ! -s "$img" ] || [ "$(stat -c %s "$img")" != "$bytes" ]; then
    rm -f "$img" "$img.part"
    # Built aside, so a failed build is never taken for a kept image.
    make_dense "$img.part"
    mv "$img.part" "$img"
fi
if [ ! -s "$rnd" ] || [ "$(stat -c %s "$rnd")" != "$bytes" ]; then
    rm -f "$rnd"
    python3 -c "
import random, sys
rng = random.Random(2802)
with open(sys.argv[1], 'wb') as f:
    for _ in range($bytes >> 24):
        f.write(rng.randbytes(1 << 24))
" "$rnd.part"
    mv "$rnd.part" "$rnd"
fi

warm() { cat "$1" > /dev/null; }

# timed NAME IMAGE COMMAND...: runs COMMAND under /usr/bin/time -v, $runs
# times unless TIMED_RUNS says otherwise, and appends the best run's "NAME
# seconds peak-KiB minor-page-faults" to the results. With COLD=1 the page
# cache is dropped before each run instead of warmed; PRE_RUN, when set, is
# run before each run, outside the timing.
timed() {
    local name=$1 image=$2
    shift 2
    local n=${TIMED_RUNS:-$runs} best="" k
    for ((k = 0; k < n; k++)); do
        [ -z "${PRE_RUN:-}" ] || eval "$PRE_RUN"
        if [ "${COLD:-0}" = 1 ]; then
            sync
            echo 3 > /proc/sys/vm/drop_caches
        else
            warm "$image"
        fi
        if ! /usr/bin/time -v -o "$work/time" "$@" > "$work/$name.out" 2> "$work/$name.err"; then
            echo "raw_deep_bench.sh: $name failed: $(tail -n 3 "$work/$name.err")" >&2
            return 1
        fi
        local wall rss faults
        wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s}' "$work/time")
        rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time")
        # First touches of small pages are dear on some virtual machines.
        faults=$(awk -F': ' '/Minor \(reclaiming a frame\) page faults/ {print $2}' "$work/time")
        if [ -z "$best" ] || awk -v a="$wall" -v b="${best%% *}" 'BEGIN {exit !(a < b)}'; then
            best="$wall $rss ${faults:-0}"
        fi
    done
    echo "$name $best" >> "$work/results"
}

: > "$work/results"
warm "$img"
"$pread" "$img" > "$work/pread.out"
pread_mibs=$(sed -n 's/.*pread *\([0-9.]*\) MiB\/s.*/\1/p' "$work/pread.out" | head -n 1)
[ -n "$pread_mibs" ] || { echo "raw_deep_bench.sh: no pread figure in: $(cat "$work/pread.out")" >&2; exit 1; }

timed deep "$img" "$scan" --deep "$img"
timed raw-only "$img" "$scan" --deep --searchers raw "$img"
# PhotoRec runs long: at most two runs of each.
photorec_runs=$((runs < 2 ? runs : 2))
(cd "$work" && PRE_RUN='rm -rf "$work"/pr-dense*' TIMED_RUNS=$photorec_runs timed photorec "$img" \
    photorec /log /d "$work/pr-dense" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search)
rm -rf "$work"/pr-dense*
(cd "$work" && PRE_RUN='rm -rf "$work"/pr-random*' TIMED_RUNS=$photorec_runs timed photorec-random "$rnd" \
    photorec /log /d "$work/pr-random" /cmd "$rnd" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search)
rm -rf "$work"/pr-random*

# The disk's own speed: O_DIRECT reads pass the page cache by. The cold deep
# scan needs the page cache dropped, which only root may do.
TIMED_RUNS=$runs timed direct "$img" dd if="$img" of=/dev/null bs=4M iflag=direct status=none
if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
    COLD=1 timed deep-cold "$img" "$scan" --deep "$img"
fi

files=$(grep -c -v '^scanned' "$work/deep.out" || true)
raw_files=$(grep -c '(RAW Files)' "$work/deep.out" || true)
python3 - "$work/results" "$bytes" "$pread_mibs" "$files" "$raw_files" <<'PY'
import sys
results, size, pread_mibs, files, raw_files = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4], sys.argv[5]
runs = {}
for line in open(results):
    name, wall, rss, faults = line.split()
    runs[name] = (float(wall), int(rss), int(faults))
mb = lambda wall: size / wall / 1e6 if wall > 0 else float('inf')
pread = pread_mibs * (1 << 20) / 1e6
print(f'image {size / (1 << 30):.0f} GiB; deep scan listed {files} files, {raw_files} of them raw')
print(f'{"run":<18}{"wall s":>9}{"MB/s":>10}{"peak RSS MiB":>14}{"page faults":>13}')
print(f'{"pread":<18}{size / pread / 1e6:>9.2f}{pread:>10.0f}{"":>14}')
for name in ('deep', 'raw-only', 'photorec', 'photorec-random', 'direct', 'deep-cold'):
    if name not in runs:
        continue
    wall, rss, faults = runs[name]
    print(f'{name:<18}{wall:>9.2f}{mb(wall):>10.0f}{rss / 1024:>14.0f}{faults:>13}')
deep = mb(runs['deep'][0])
share = deep / pread
over_pr = deep / mb(runs['photorec'][0])
over_rnd = deep / mb(runs['photorec-random'][0])
print(f'deep scan / pread:            {share:6.1%}  (target >= 40%: {"met" if share >= 0.4 else "MISSED"})')
print(f'deep scan / PhotoRec (dense): {over_pr:6.1f}x (target >= 10x: {"met" if over_pr >= 10 else "MISSED"})')
print(f'deep scan / PhotoRec (random data, for information): {over_rnd:.2f}x')
direct = mb(runs['direct'][0])
print(f'deep scan / the disk read with O_DIRECT (for information): {deep / direct:6.1%}')
if 'deep-cold' in runs:
    print(f'cold deep scan / the disk read with O_DIRECT (for information): {mb(runs["deep-cold"][0]) / direct:6.1%}')
PY
