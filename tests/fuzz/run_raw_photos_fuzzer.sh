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
PY
"$build/tests/fuzz/fuzz_raw_photos" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
