#!/bin/bash
# Builds the office-reader libFuzzer target with clang and runs it for a
# fixed time, seeded from the committed office samples (each behind the 8
# parameter bytes the target reads first, for the raw-search modes) and from
# the samples' summary streams.
#   tests/fuzz/run_raw_office_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-600}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_raw_office
corpus="$build/corpus/raw_office"
mkdir -p "$corpus"
python3 - tests/data/raw/office "$corpus" <<'PY'
import os, sys
data, corpus = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(data)):
    if name == 'manifest.tsv':
        continue
    body = open(os.path.join(data, name), 'rb').read()
    if len(body) > 65536:
        continue
    for k, head in enumerate((bytes([2, 6, 0, 1, 0, 0, 0, 0]), bytes([3, 1, 1, 0, 0, 0, 0, 0]))):
        open(os.path.join(corpus, f'{name}-{k}'), 'wb').write(head + body)
    # Summary streams start FE FF 00 00 on a 64-byte boundary.
    for at in range(0, len(body) - 4, 64):
        if body[at:at + 4] == b'\xfe\xff\x00\x00':
            open(os.path.join(corpus, f'{name}-summary-{at}'), 'wb').write(b'\x00' + body[at:at + 4096])
PY
"$build/tests/fuzz/fuzz_raw_office" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
