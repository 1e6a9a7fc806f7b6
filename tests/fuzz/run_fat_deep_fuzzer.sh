#!/bin/bash
# Builds the FAT deep-search libFuzzer target with clang and runs it for a
# fixed time. Seeds are the non-zero sectors of the FAT deep-scan fixture
# disks (boot sectors, FAT starts, folder sectors), as the target's records.
#   tests/fuzz/run_fat_deep_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_fat_deep_search

images="$build/fixtures/fat-deep"
bash tests/fixtures/make_fat_deep_images.sh "$images"
corpus="$build/corpus/fat_deep"
mkdir -p "$corpus"
python3 - "$images" "$corpus" <<'PY'
import os, struct, sys
images, corpus = sys.argv[1], sys.argv[2]
for name, size_pick in (('fat32.img', 0), ('fat32-bare.img', 0), ('fat16.img', 1), ('fat16-bare.img', 1)):
    data = open(os.path.join(images, name), 'rb').read()
    recs = []
    for s in range(len(data) // 512):
        sec = data[s * 512:(s + 1) * 512]
        # boot, FAT and folder sectors: not file contents, not zeros
        if sec[0] and (sec[510:512] == b'\x55\xaa' or sec[:3] in (b'\xf8\xff\xff',) or sec[11] in (0x08, 0x10, 0x0f, 0x20)):
            recs.append(struct.pack('<I', s) + sec)
    for k in range(0, len(recs), 48):
        open(os.path.join(corpus, '%s-%d' % (name, k)), 'wb').write(bytes([size_pick]) + b''.join(recs[k:k + 48]))
PY
"$build/tests/fuzz/fuzz_fat_deep_search" -max_total_time="$secs" -max_len=40000 -rss_limit_mb=4096 \
    -timeout=30 -print_final_stats=1 "$corpus"
