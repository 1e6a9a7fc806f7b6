#!/bin/bash
# Builds the photo-parser libFuzzer target with clang and runs it for a fixed
# time, seeded from the committed photo samples: each whole sample (behind
# the 2 parameter bytes the target reads first, for both sector sizes) and
# the EXIF block of each JPEG sample as a section of its own.
#   tests/fuzz/run_raw_photos_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-600}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_raw_photos
corpus="$build/corpus/raw_photos"
mkdir -p "$corpus"
python3 - tests/data/raw/photos "$corpus" <<'PY'
import os, sys
data, corpus = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(data)):
    if name == 'manifest.tsv':
        continue
    body = open(os.path.join(data, name), 'rb').read()
    for k, head in enumerate((bytes([0, 1]), bytes([1, 1]))):
        open(os.path.join(corpus, f'{name}-{k}'), 'wb').write(head + body)
    at = body.find(b'Exif\0\0')
    if at >= 2:
        length = int.from_bytes(body[at - 2:at], 'big') - 2
        open(os.path.join(corpus, f'{name}-exif'), 'wb').write(bytes([0, 0]) + body[at:at + length])
# Crafted: a DSLR-A100 raw whose private-data block (length stored at its
# start) reaches past its strip, and a Nikon raw whose strip ends in the
# sector of the first extent guess.
import struct
def tiff(entries, size, texts):
    b = bytearray(b'\x66' * size)
    b[0:8] = b'II*\0' + struct.pack('<I', 8)
    b[8:10] = struct.pack('<H', len(entries))
    for i, e in enumerate(entries):
        b[10 + 12 * i:22 + 12 * i] = struct.pack('<HHII', *e)
    b[10 + 12 * len(entries):14 + 12 * len(entries)] = bytes(4)
    for at, text in texts:
        b[at:at + len(text)] = text
    return b
a100 = tiff([(271, 2, 5, 0x100), (272, 2, 10, 0x110), (273, 4, 1, 0x1000), (279, 4, 1, 0x2000),
             (50740, 1, 4, 0x3000)], 0x3000, [(0x100, b'SONY\0'), (0x110, b'DSLR-A100\0')])
a100 += struct.pack('<I', 0x2000) + bytes(0x2000 - 4)
nef = tiff([(271, 2, 18, 0x100), (273, 4, 1, 0x200), (279, 4, 1, 8000 - 0x200)], 8000,
           [(0x100, b'NIKON CORPORATION\0')]) + bytes(192)
for name, body in (('crafted-a100', a100), ('crafted-strip-end', nef)):
    for k, head in enumerate((bytes([0, 1]), bytes([1, 1]))):
        open(os.path.join(corpus, f'{name}-{k}'), 'wb').write(head + body)
PY
"$build/tests/fuzz/fuzz_raw_photos" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
