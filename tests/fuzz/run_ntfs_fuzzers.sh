#!/bin/bash
# Builds the NTFS libFuzzer targets with clang and runs each for a fixed time.
#   tests/fuzz/run_ntfs_fuzzers.sh [SECONDS] [BUILD_DIR]
# Seeds come from the NTFS fixture images (FILE records and INDX blocks).
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQUILLORY_FUZZ=ON -DQUILLORY_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
    >/dev/null
cmake --build "$build" -j 4 --target fuzz_NTFSFileRecordFuzz fuzz_NTFSDataRunFuzz fuzz_NTFSIndexRecordFuzz

images=${QUILLORY_NTFS_IMAGES:-$build/fixtures/ntfs}
tests/fixtures/make_ntfs_images.sh "$images" >/dev/null
corpus="$build/corpus"
mkdir -p "$corpus/file" "$corpus/runs" "$corpus/index"
python3 - "$images" "$corpus" <<'PY'
import os, struct, sys
images, corpus = sys.argv[1], sys.argv[2]
mft = open(os.path.join(images, 'ntfs_basic.mft'), 'rb').read()
for i in range(len(mft) // 1024):
    rec = mft[i * 1024:(i + 1) * 1024]
    if rec[:4] == b'FILE':
        open(os.path.join(corpus, 'file', 'rec%03d' % i), 'wb').write(rec)
        # the mapping pairs of every non-resident attribute
        off = struct.unpack_from('<H', rec, 20)[0]
        while off + 16 <= 1016:
            t, ln = struct.unpack_from('<II', rec, off)
            if t == 0xFFFFFFFF or ln == 0 or off + ln > 1024: break
            if rec[off + 8] and ln >= 64:
                ro = struct.unpack_from('<H', rec, off + 32)[0]
                open(os.path.join(corpus, 'runs', 'r%03d_%d' % (i, off)), 'wb').write(rec[off + ro:off + ln])
            off += ln
img = open(os.path.join(images, 'ntfs_basic.img'), 'rb').read()
for c in range(len(img) // 4096):
    if img[c * 4096:c * 4096 + 4] == b'INDX':
        open(os.path.join(corpus, 'index', 'indx%d' % c), 'wb').write(img[c * 4096:(c + 1) * 4096])
PY
status=0
for t in file:NTFSFileRecordFuzz runs:NTFSDataRunFuzz index:NTFSIndexRecordFuzz; do
    dir=${t%%:*}; name=${t##*:}
    echo "== $name for ${secs}s"
    "$build/tests/fuzz/fuzz_$name" -max_total_time="$secs" -print_final_stats=1 \
        -artifact_prefix="$build/$name-" "$corpus/$dir" 2>&1 | tail -n 12 || status=1
done
exit $status
