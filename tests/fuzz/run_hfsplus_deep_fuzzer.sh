#!/bin/bash
# Builds the HFS+ deep-search libFuzzer target with clang and runs it for a
# fixed time, seeded with the non-zero sectors of the prebuilt journaled
# volume (header, journal blocks, journal, B-tree nodes) through 512-byte and
# 4096-byte sectors. Not part of the CI test command.
#   tests/fuzz/run_hfsplus_deep_fuzzer.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_hfsplus_deep_search

corpus="$build/corpus/hfsplus-deep"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$corpus"
tar -xJf tests/data/hfsplus_journal.img.tar.xz -C "$work"
python3 - "$work/hfsplus_journal.img" "$corpus" <<'PY'
import os, struct, sys
image, corpus = sys.argv[1], sys.argv[2]
data = open(image, 'rb').read()
def seed(name, flags, size, first, limit):
    out = bytearray([flags])
    n = 0
    for s in range(first, min(len(data) // size, 4096)):
        chunk = data[s * size:(s + 1) * size]
        if not any(chunk):
            continue
        out += struct.pack('<H', s) + chunk
        n += 1
        if n == limit:
            break
    open(os.path.join(corpus, name), 'wb').write(bytes(out))
seed('front-512', 0, 512, 0, 40)            # header, journal info block and header
seed('catalog-512', 0, 512, 2104, 64)       # catalog B-tree nodes (block 263 on)
seed('volume-4096', 1, 4096, 0, 120)        # the volume through 4 KiB sectors
seed('skip-512', 0x12, 512, 0, 40)          # a bit map of unit 1 to skip by
PY
"$build/tests/fuzz/fuzz_hfsplus_deep_search" -max_total_time="$secs" -max_len=600000 -rss_limit_mb=4096 -close_fd_mask=1 \
    -print_final_stats=1 "$corpus"
