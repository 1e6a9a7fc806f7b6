#!/bin/bash
# Builds the document analysers libFuzzer target with clang and runs it for a
# fixed time, seeded from the committed raw samples (each behind the 8
# parameter bytes the target reads first).
#   tests/fuzz/run_raw_documents_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_raw_documents
corpus="$build/corpus/raw_documents"
mkdir -p "$corpus"
python3 - tests/data/raw "$corpus" <<'PY'
import os, sys
data, corpus = sys.argv[1], sys.argv[2]
for group in ['documents']:
    for name in sorted(os.listdir(os.path.join(data, group))):
        if name == 'manifest.tsv':
            continue
        body = open(os.path.join(data, group, name), 'rb').read()
        for k, head in enumerate((bytes([0, 3, 1, 0, 2, 0, 0, 2]), bytes([1, 1, 2, 5, 0, 1, 0, 3]),
                                   bytes([0, 0, 0, 0, 0, 0, 0, 0]), bytes([1, 0, 0, 0, 0, 0, 0, 1]))):
            open(os.path.join(corpus, f'{group}-{name}-{k}'), 'wb').write(head + body)
PY
"$build/tests/fuzz/fuzz_raw_documents" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
