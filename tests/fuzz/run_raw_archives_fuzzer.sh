#!/bin/bash
# Builds the database, archive and drawing libFuzzer target with clang and runs it for a
# fixed time, seeded from the committed raw samples (each behind the 8
# parameter bytes the target reads first).
#   tests/fuzz/run_raw_images_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_raw_archives
corpus="$build/corpus/raw_archives"
mkdir -p "$corpus"
python3 - tests/data/raw "$corpus" <<'PY'
import os, sys
data, corpus = sys.argv[1], sys.argv[2]
for group in sorted(os.listdir(data)):
    for name in sorted(os.listdir(os.path.join(data, group))):
        if name == 'manifest.tsv':
            continue
        body = open(os.path.join(data, group, name), 'rb').read()
        pick = sum(name.encode()) % 13  # which direct sizer the target runs
        for k, head in enumerate((bytes([0, 3, 1, 0, 2, 0, pick, 0]), bytes([1, 1, 2, 5, 0, 1, pick + 6, 1]))):
            open(os.path.join(corpus, f'{group}-{name}-{k}'), 'wb').write(head + body)
# A crafted 2007 drawing whose file header is stored compressed, so the
# decompressor is reached (the byte interleaving hides it from mutation).
import struct
comp = bytes([8]) + struct.pack('<Q', 9000) + struct.pack('<Q', 0x70) + bytes([0x87, 0]) + bytes([0xFF, 0, 0x80]) * 4 + bytes([0xFD, 0, 0x80])
block = bytearray(717)
block[24:28] = struct.pack('<i', len(comp))
block[32:32 + len(comp)] = comp
dwg = bytearray(b'AC1021' + bytes(0x80 - 6)) + bytearray(984)
for k in range(3):
    for i in range(239):
        dwg[0x80 + 3 * i + k] = block[239 * k + i]
dwg += bytes([0x21]) * (9000 - len(dwg))
open(os.path.join(corpus, 'crafted-dwg2007'), 'wb').write(bytes([0, 3, 1, 0, 2, 0, 0, 0]) + bytes(dwg))
PY
"$build/tests/fuzz/fuzz_raw_archives" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
