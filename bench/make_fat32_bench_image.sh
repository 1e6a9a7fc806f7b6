#!/usr/bin/env bash
# A 2 GiB disk image for the FAT deep-scan benchmark: an MBR with one FAT32
# partition at sector 2048 (4 KiB clusters), about 1.5 GiB of files of random
# content in a few hundred folders, a third of them deleted.
#   make_fat32_bench_image.sh IMAGE
set -euo pipefail
img=${1:?usage: make_fat32_bench_image.sh IMAGE}
export MTOOLS_SKIP_CHECK=1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -f "$img"
truncate -s 2G "$img"
echo 'start=2048, type=c' | sfdisk -q "$img"
mkfs.fat -F 32 -s 8 --offset=2048 -n BENCH32 "$img" $(( (2048 * 1024 * 1024 / 512 - 2048) / 2 )) >/dev/null
# 300 folders of 12 files each, 64 KiB to 1 MiB (about 1.5 GiB in all).
head -c $((8 * 1024 * 1024)) /dev/urandom > "$tmp/pool"
for d in $(seq 1 300); do
    mkdir -p "$tmp/Folder $d"
    for f in $(seq 1 12); do
        size=$(( (RANDOM % 16 + 1) * 64 * 1024 ))
        dd if="$tmp/pool" of="$tmp/Folder $d/file $f.bin" bs=64K count=$((size / 65536)) \
           skip=$(( RANDOM % 100 )) status=none
    done
done
mcopy -s -i "$img@@1M" "$tmp"/Folder* ::/
# A third of the files deleted.
for d in $(seq 1 300); do
    mdel -i "$img@@1M" "::/Folder $d/file 1.bin" "::/Folder $d/file 5.bin" "::/Folder $d/file 9.bin" \
         "::/Folder $d/file 2.bin"
done
