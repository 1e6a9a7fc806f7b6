#!/bin/bash
# Builds the audio analysers' libFuzzer target with clang and runs it for a
# fixed time, seeded from the committed music samples (each behind the 8
# parameter bytes the target reads first).
#   tests/fuzz/run_raw_audio_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_raw_audio
corpus="$build/corpus/raw_audio"
mkdir -p "$corpus"
python3 - tests/data/raw/music "$corpus" <<'PY'
import os, sys
data, corpus = sys.argv[1], sys.argv[2]
for name in sorted(os.listdir(data)):
    if name == 'manifest.tsv':
        continue
    body = open(os.path.join(data, name), 'rb').read()[:60000]
    for k, head in enumerate((bytes([0, 3, 1, 0, 2, 0, 0, 0]), bytes([1, 1, 2, 5, 0, 1, 0, 0]))):
        open(os.path.join(corpus, f'{name}-{k}'), 'wb').write(head + body)
PY
"$build/tests/fuzz/fuzz_raw_audio" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
