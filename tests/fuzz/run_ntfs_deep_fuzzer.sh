#!/bin/bash
# Builds the NTFS deep-search libFuzzer target with clang and runs it for a
# fixed time. Seeds: the start of each deep-scan fixture volume (boot sector,
# MFT start, $AttrDef, $UpCase), INDX blocks with the sectors around them, and
# hand-built restart and record pages of a $LogFile.
#   tests/fuzz/run_ntfs_deep_fuzzer.sh [SECONDS] [BUILD_DIR]
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_NTFSDeepSearchFuzz

images="$build/fixtures/ntfsdeep"
tests/fixtures/make_ntfs_deep_images.sh "$images" >/dev/null
corpus="$build/corpus/ntfs_deep"
mkdir -p "$corpus"
python3 - "$images" "$corpus" <<'PY'
import os, struct, sys
images, corpus = sys.argv[1], sys.argv[2]
one = open(os.path.join(images, 'deep_one.img'), 'rb').read()
three = open(os.path.join(images, 'deep_three.img'), 'rb').read()
open(os.path.join(corpus, 'three'), 'wb').write(b'\x00' + three[2048 * 512:2048 * 512 + 700 * 1024])
open(os.path.join(corpus, 'one'), 'wb').write(b'\x01' + one[2048 * 512:2048 * 512 + 600 * 1024])
found = 0
for i in range(2048 * 512, len(one) - 8192, 4096):
    if one[i:i + 4] == b'INDX' and found < 4:
        open(os.path.join(corpus, 'indx%d' % found), 'wb').write(b'\x00' + one[i - 4096:i + 8192])
        found += 1
rstr = bytearray(4096)
rstr[0:4] = b'RSTR'
struct.pack_into('<H', rstr, 30, 9)
struct.pack_into('<Q', rstr, 144, 0x005300460054004E)
rcrd = bytearray(4096)
rcrd[0:4] = b'RCRD'
struct.pack_into('<HHH', rcrd, 4, 40, 9, 0)
struct.pack_into('<H', rcrd, 40, 0x33)
for i in range(8):
    struct.pack_into('<H', rstr, 510 + 512 * i, 9)
    struct.pack_into('<H', rcrd, 510 + 512 * i, 0x33)
open(os.path.join(corpus, 'log'), 'wb').write(b'\x00' + bytes(rstr) * 2 + bytes(512 * 5) + bytes(rcrd) * 3)
PY
"$build/tests/fuzz/fuzz_NTFSDeepSearchFuzz" -max_total_time="$secs" -max_len=1048577 -rss_limit_mb=2048 \
    -timeout=60 -print_final_stats=1 "$corpus"
