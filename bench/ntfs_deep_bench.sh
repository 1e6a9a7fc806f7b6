#!/bin/bash
# NTFS deep-scan speed: one run each, side by side, on the same 2 GiB disk
# image holding an NTFS volume at sector 2048 (about 600 MiB of files, some
# deleted):
#   pread      dd of the whole image in 4 MiB reads (the I/O floor);
#   quillory   quillory-scan --deep --searchers ntfs (every sector through
#              the NTFS searcher, the volume rebuilt and its tree built);
#   photorec   PhotoRec over the whole image, every file type.
# The page cache is warmed first, so all three read from memory.
#
#   bench/ntfs_deep_bench.sh [QUILLORY_SCAN] [WORK_DIR]
# (defaults: build-bench/cli/quillory-scan, build-bench/ntfsdeep)
set -euo pipefail
cd "$(dirname "$0")/.."
scan=${1:-build-bench/cli/quillory-scan}
work=${2:-build-bench/ntfsdeep}
[ -x "$scan" ] || { echo "no $scan: run tools/bench.sh first" >&2; exit 1; }
mkdir -p "$work"
work=$(cd "$work" && pwd)
img="$work/ntfs_deep_2g.img"
mnt="$work/mnt"

cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" || umount -l "$mnt" || true; fi
    rm -rf "$work/vol" "$work/photorec_out"*
}
trap cleanup EXIT

if [ ! -f "$img" ]; then
    mkdir -p "$mnt"
    truncate -s $((2048 - 1))M "$work/vol"
    mkfs.ntfs -F -f -q -c 4096 -p 2048 -H 0 -S 0 "$work/vol" >/dev/null 2>&1
    ntfs-3g "$work/vol" "$mnt"
    # Files with content PhotoRec and the NTFS search both have work with:
    # JPEG-, PDF- and ZIP-headed files of 64 KiB to 4 MiB, in 20 folders.
    python3 - "$mnt" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
heads = [b'\xff\xd8\xff\xe0\x00\x10JFIF\x00', b'%PDF-1.4\n', b'PK\x03\x04\x14\x00']
tails = [b'\xff\xd9', b'\n%%EOF\n', b'']
total = 0
n = 0
while total < 600 * 1024 * 1024:
    d = os.path.join(root, 'folder%02d' % (n % 20))
    os.makedirs(d, exist_ok=True)
    size = rnd.choice([64, 256, 1024, 4096]) * 1024
    k = n % 3
    body = rnd.randbytes(size - len(heads[k]) - len(tails[k]))
    with open(os.path.join(d, 'file%05d.%s' % (n, ['jpg', 'pdf', 'zip'][k])), 'wb') as f:
        f.write(heads[k] + body + tails[k])
    total += size
    n += 1
# Every seventh file deleted.
for i in range(0, n, 7):
    p = os.path.join(root, 'folder%02d' % (i % 20), 'file%05d.%s' % (i, ['jpg', 'pdf', 'zip'][i % 3]))
    os.remove(p)
PY
    umount "$mnt"
    truncate -s 2G "$img.tmp"
    echo "2048,,7" | sfdisk -q "$img.tmp" >/dev/null
    dd if="$work/vol" of="$img.tmp" bs=1M seek=1 conv=notrunc,sparse status=none
    mv "$img.tmp" "$img"
    rm -f "$work/vol"
fi

size_mib=$(( $(stat -c %s "$img") / 1048576 ))
cat "$img" > /dev/null  # warm the page cache

now() { date +%s.%N; }
rate() { python3 -c "import sys; t=float(sys.argv[1]); print('%.2f s  %.0f MiB/s' % (t, $size_mib / t))" "$1"; }

t0=$(now)
dd if="$img" of=/dev/null bs=4M status=none
t1=$(now)
pread_s=$(python3 -c "print($t1 - $t0)")

t0=$(now)
"$scan" --deep --searchers ntfs "$img" > "$work/quillory.out" 2>/dev/null
t1=$(now)
quillory_s=$(python3 -c "print($t1 - $t0)")
files=$(grep -cP '^(deleted|existing)\t' "$work/quillory.out" || true)
deleted=$(grep -cP '^deleted\t' "$work/quillory.out" || true)

rm -rf "$work/photorec_out"*
t0=$(now)
photorec /log /d "$work/photorec_out" /cmd "$img" \
    partition_none,options,paranoid,fileopt,everything,enable,wholespace,search > /dev/null 2>&1 || true
t1=$(now)
photorec_s=$(python3 -c "print($t1 - $t0)")
carved=$(find "$work"/photorec_out* -type f 2>/dev/null | wc -l)

echo "image: $img ($size_mib MiB, NTFS volume at sector 2048)"
echo "pread     $(rate "$pread_s")"
echo "quillory  $(rate "$quillory_s")  ($files files listed, $deleted deleted)"
echo "photorec  $(rate "$photorec_s")  ($carved files carved)"
