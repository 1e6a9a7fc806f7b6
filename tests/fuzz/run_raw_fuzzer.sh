#!/bin/bash
# Builds one raw-search libFuzzer target with clang and runs it for a fixed
# time, seeded from the committed raw samples, each behind the parameter
# bytes that target reads first.
#   tests/fuzz/run_raw_fuzzer.sh TARGET [SECONDS] [BUILD_DIR]
# TARGET: images, video, archives, audio, office, documents or photos.
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
target=${1:?usage: run_raw_fuzzer.sh TARGET [SECONDS] [BUILD_DIR]}
case "$target" in
images | video | archives | audio | documents) default_secs=60 ;;
office | photos) default_secs=600 ;;
*)
    echo "unknown raw fuzz target: $target" >&2
    exit 2
    ;;
esac
secs=${2:-$default_secs}
build=${3:-build-fuzz}
tests/fuzz/build_targets.sh "$build" "fuzz_raw_$target"
corpus="$build/corpus/raw_$target"
mkdir -p "$corpus"
python3 - "$target" tests/data/raw "$corpus" <<'PY'
import os, sys
target, data, corpus = sys.argv[1], sys.argv[2], sys.argv[3]


def write(name, body):
    open(os.path.join(corpus, name), 'wb').write(body)


def samples(group):
    folder = os.path.join(data, group)
    for name in sorted(os.listdir(folder)):
        if name != 'manifest.tsv':
            yield name, open(os.path.join(folder, name), 'rb').read()


# The search parameters: sector size, block, copies, failing sector, gap...
plain = (bytes([0, 3, 1, 0, 2, 0, 0, 0]), bytes([1, 1, 2, 5, 0, 1, 0, 0]))
if target in ('images', 'video', 'archives', 'documents'):
    groups = {'video': ['video'], 'documents': ['documents']}.get(target, sorted(os.listdir(data)))
    for group in groups:
        for name, body in samples(group):
            if target == 'archives':
                pick = sum(name.encode()) % 13  # which direct sizer the target runs
                heads = (bytes([0, 3, 1, 0, 2, 0, pick, 0]), bytes([1, 1, 2, 5, 0, 1, pick + 6, 1]))
            elif target == 'documents':
                heads = (bytes([0, 3, 1, 0, 2, 0, 0, 2]), bytes([1, 1, 2, 5, 0, 1, 0, 3]),
                         bytes([0, 0, 0, 0, 0, 0, 0, 0]), bytes([1, 0, 0, 0, 0, 0, 0, 1]))
            else:
                heads = plain
            for k, head in enumerate(heads):
                write(f'{group}-{name}-{k}', head + body)
elif target == 'audio':
    for name, body in samples('music'):
        for k, head in enumerate(plain):
            write(f'{name}-{k}', head + body[:60000])
elif target == 'office':
    for name, body in samples('office'):
        if len(body) > 65536:
            continue
        for k, head in enumerate((bytes([2, 6, 0, 1, 0, 0, 0, 0]), bytes([3, 1, 1, 0, 0, 0, 0, 0]))):
            write(f'{name}-{k}', head + body)
        # Summary streams start FE FF 00 00 on a 64-byte boundary.
        for at in range(0, len(body) - 4, 64):
            if body[at:at + 4] == b'\xfe\xff\x00\x00':
                write(f'{name}-summary-{at}', b'\x00' + body[at:at + 4096])
elif target == 'photos':
    # Each whole sample behind the 2 parameter bytes (both sector sizes), and
    # the EXIF block of each JPEG sample as a section of its own.
    for name, body in samples('photos'):
        for k, head in enumerate((bytes([0, 1]), bytes([1, 1]))):
            write(f'{name}-{k}', head + body)
        at = body.find(b'Exif\0\0')
        if at >= 2:
            length = int.from_bytes(body[at - 2:at], 'big') - 2
            write(f'{name}-exif', bytes([0, 0]) + body[at:at + length])
if target == 'archives':
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
    write('crafted-dwg2007', bytes([0, 3, 1, 0, 2, 0, 0, 0]) + bytes(dwg))

if target == 'photos':
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
            write(f'{name}-{k}', head + body)
PY
"$build/tests/fuzz/fuzz_raw_$target" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -close_fd_mask=1 -print_final_stats=1 "$corpus"
