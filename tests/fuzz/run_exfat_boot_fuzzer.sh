#!/bin/bash
# Builds the exFAT boot-sector libFuzzer target with clang and runs it for a
# fixed time.
#   tests/fuzz/run_exfat_boot_fuzzer.sh [SECONDS] [BUILD_DIR]
# The target takes its input as a boot sector and, when that passes, as a
# whole small volume. Seeds: the boot regions (main and backup, 24 sectors)
# of the exFAT fixture image, and 1 MiB volumes made by mkfs.exfat (512-byte
# and 4 KiB clusters), filled through a mount and with files and a folder
# deleted, so the quick search has folders, names and chains to walk.
# Needs root (exfat-fuse mounts a loop device). Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_exfat_boot_sector

images="$build/fixtures/exfat"
bash tests/fixtures/make_exfat_images.sh "$images" >/dev/null
corpus="$build/corpus/exfat_boot_sector"
mkdir -p "$corpus"
dd if="$images/exfat.img" of="$corpus/fixture-boot-region" bs=512 count=24 status=none
dd if="$images/exfat.img" of="$corpus/fixture-boot-sector" bs=512 count=1 status=none

work=$(mktemp -d /tmp/quillory-exfat-seeds.XXXXXX)
loopdev=""
cleanup() {
    if mountpoint -q "$work/mnt" 2>/dev/null; then umount "$work/mnt" || umount -l "$work/mnt" || true; fi
    if [ -n "$loopdev" ]; then losetup -d "$loopdev" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mnt"
for cluster in 512 4096; do
    img="$work/small-$cluster.img"
    truncate -s 1M "$img"
    mkfs.exfat -c "$cluster" -b 4096 -L SEED "$img" >/dev/null
    loopdev=$(losetup -f --show "$img")
    mount.exfat-fuse "$loopdev" "$work/mnt" >/dev/null 2>&1
    mkdir -p "$work/mnt/docs/deep" "$work/mnt/Dossier été"
    head -c 3000 /dev/urandom > "$work/mnt/keep.txt"
    head -c 9000 /dev/urandom > "$work/mnt/docs/gone-report.pdf"
    head -c 700 /dev/urandom > "$work/mnt/docs/deep/A long name that needs several name entries.txt"
    head -c 5000 /dev/urandom > "$work/mnt/Dossier été/naïve.txt"
    sync
    rm -f "$work/mnt/docs/gone-report.pdf"
    rm -rf "$work/mnt/docs/deep"
    umount "$work/mnt"
    losetup -d "$loopdev"
    loopdev=""
    cp "$img" "$corpus/volume-$cluster"
done

"$build/tests/fuzz/fuzz_exfat_boot_sector" -max_total_time="$secs" -max_len=1048576 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$build/exfat_boot_sector-" "$corpus"
