#!/usr/bin/env bash
# Recovery speed: a deleted 1 GiB file, contiguous and in about 100
# fragments (more runs than fit in one FILE record give an attribute list,
# which the quick scan does not follow for deleted files yet), recovered from an NTFS image by `quillory-scan --recover` and by
# The Sleuth Kit's `icat`, both writing to a folder on tmpfs.
#   bench/recover_bench.sh [BUILD_DIR]   (default build-bench; run tools/bench.sh first)
# The images are made once under BUILD_DIR/bench-data (about 3.6 GiB).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
scan="$build/cli/quillory-scan"
data="$build/bench-data"
mkdir -p "$data"
out=$(mktemp -d /dev/shm/quillory-recover-XXXXXX)
mnt=$(mktemp -d)
cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" || umount -l "$mnt" || true; fi
    rmdir "$mnt" 2>/dev/null || true
    rm -rf "$out"
}
trap cleanup EXIT

make_image() {  # make_image NAME MODE
    local img="$data/$1.img"
    [[ -f "$img" ]] && return 0
    truncate -s 1800M "$img.tmp"
    mkntfs -F -Q -q -c 4096 "$img.tmp" 2>/dev/null
    ntfs-3g "$img.tmp" "$mnt"
    if [[ $2 == fragmented ]]; then
        # 200 files of 384 KiB, every other one deleted: the big file is
        # written into about 100 holes before the free space behind them.
        mkdir "$mnt/fill"
        head -c 384K /dev/zero > "$data/fill.tmp"
        for i in $(seq 1 200); do cp "$data/fill.tmp" "$mnt/fill/$i"; done
        for i in $(seq 1 2 200); do rm "$mnt/fill/$i"; done
        rm "$data/fill.tmp"
    fi
    head -c 1G /dev/urandom > "$mnt/big.bin"
    sync
    rm "$mnt/big.bin"
    umount "$mnt"
    mv "$img.tmp" "$img"
}

for kind in contiguous fragmented; do
    make_image "$kind" "$kind"
    img="$data/$kind.img"
    # The deleted 1 GiB record (fls may list it under $OrphanFiles).
    inode=""
    for i in $(fls -r -d -p "$img" | grep -E 'big\.bin$|OrphanFile' | sed -n 's/^[^*]*\* \([0-9]*\)[-:].*/\1/p'); do
        if [[ $(istat "$img" "$i" 2>/dev/null | grep -c 'size: 1073741824') -gt 0 ]]; then inode=$i; break; fi
    done
    pieces=$(istat -r "$img" "$inode" | sed -n '/^Type: \$DATA/,$p' | grep -c 'Starting address' || true)
    rm -rf "${out:?}"/*
    s0=$(date +%s.%N)
    "$scan" "$img" >/dev/null 2>&1
    t0=$(date +%s.%N)
    "$scan" --recover "$out" "$img" >/dev/null 2>&1
    t1=$(date +%s.%N)
    icat "$img" "$inode" > "$out/icat.bin"
    t2=$(date +%s.%N)
    ours=$(find "$out" -name big.bin -type f)
    same=$(cmp -s "$ours" "$out/icat.bin" && echo identical || echo DIFFERENT)
    printf '%-11s scan+recover %6.2f s, scan alone %6.2f s, so recovery %6.2f s; icat %6.2f s; %s runs; %s\n' \
        "$kind" "$(echo "$t1 - $t0" | bc)" "$(echo "$t0 - $s0" | bc)" "$(echo "($t1 - $t0) - ($t0 - $s0)" | bc)" \
        "$(echo "$t2 - $t1" | bc)" "$pieces" "$same"
done
