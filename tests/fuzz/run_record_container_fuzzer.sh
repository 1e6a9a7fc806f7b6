#!/bin/bash
# Builds the record-container (scan-result file) libFuzzer target with clang
# and runs it for a fixed time.
#   tests/fuzz/run_record_container_fuzzer.sh [SECONDS] [BUILD_DIR]
# Seeds are well-formed containers: a 132-byte header (signature, version
# 5800, CRC-16 of the header, status, description) and frames (signature,
# 16-byte identifier, length, data), with the identifiers the target looks
# up (its fixed one, the file signature) among others. Without them the
# fuzzer never gets past the header's CRC.
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_RecordContainerFuzz

corpus="$build/corpus/record_container"
mkdir -p "$corpus"
python3 - "$corpus" <<'PY'
import os, struct, sys
corpus = sys.argv[1]
SIG = bytes([0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A, 0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB])
FIXED = bytes(range(1, 17))          # the identifier the target always asks for
OTHER = bytes(range(0x11, 0x21))

def crc16(data):                     # CRC-16/UMTS: polynomial 0x8005, init 0, not reflected
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc

def header(status, text):
    h = bytearray(SIG + struct.pack('<IIII', 5800, 0, status, len(text)) + text.ljust(100, b'\0'))
    struct.pack_into('<I', h, 20, crc16(bytes(h)))
    return bytes(h)

def frame(ident, data):
    return SIG + ident + struct.pack('<I', len(data)) + data

seeds = {
    'header-only': header(1, b'empty scan'),
    'two-frames': header(2, b'Quillory') + frame(FIXED, b'ABCDE') + frame(OTHER, b'\0\1\2'),
    'first-frame-other': header(2, b'q') + frame(OTHER, bytes(range(256)) * 4) + frame(FIXED, b'x' * 40),
    'signature-frame': header(3, b'Quillory scan result') + frame(SIG, b'\xff' * 64) + frame(FIXED, b''),
    'many-frames': header(2, b'') + b''.join(frame(bytes([i]) * 16, bytes([i]) * (i * 3)) for i in range(1, 12)),
    'cut-frame': header(2, b'Quillory') + frame(FIXED, b'ABCDEFGH' * 8)[:60],
}
for name, data in seeds.items():
    open(os.path.join(corpus, name), 'wb').write(data)
PY
"$build/tests/fuzz/fuzz_RecordContainerFuzz" -max_total_time="$secs" -print_final_stats=1 \
    -artifact_prefix="$build/RecordContainerFuzz-" "$corpus"
