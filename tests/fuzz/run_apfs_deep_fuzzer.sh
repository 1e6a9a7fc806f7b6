#!/bin/bash
# Builds the APFS deep-scan libFuzzer target with clang and runs it for a
# fixed time, seeded with the metadata blocks of the prebuilt container and of
# an empty mkapfs container. Not part of the CI test command.
#   tests/fuzz/run_apfs_deep_fuzzer.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_apfs_deep_scan

corpus="$build/corpus/apfs-deep"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$corpus"
tar -xJf tests/data/apfs.img.tar.xz -C "$work"
truncate -s 128M "$work/empty.img"
mkapfs -L Seed "$work/empty.img" >/dev/null
python3 - "$work" "$corpus" <<'PY'
import os, struct, sys
work, corpus = sys.argv[1], sys.argv[2]
def seed(name, image, shift):
    fd = os.open(os.path.join(work, image), os.O_RDONLY)
    end, at, blocks = os.lseek(fd, 0, os.SEEK_END), 0, []
    while at < end:
        try:
            d = os.lseek(fd, at, os.SEEK_DATA)
        except OSError:
            break
        h = os.lseek(fd, d, os.SEEK_HOLE)
        for b in range(d // 4096, (h + 4095) // 4096):
            data = os.pread(fd, 4096, b * 4096).ljust(4096, b'\0')
            oid, kind, sub = struct.unpack_from('<Q', data, 8)[0], struct.unpack_from('<H', data, 24)[0], struct.unpack_from('<H', data, 28)[0]
            if oid and kind <= 31 and sub <= 31:  # the objects, not the files' data
                blocks.append((b + shift, data))
        at = h
    blocks = blocks[:255]
    out = bytes([len(blocks)]) + b''.join(struct.pack('<I', b) for b, _ in blocks) + b''.join(d for _, d in blocks)
    open(os.path.join(corpus, name), 'wb').write(out)
seed('prebuilt', 'apfs.img', 0)
seed('prebuilt-at-offset', 'apfs.img', 4101)
seed('empty', 'empty.img', 256)
PY
"$build/tests/fuzz/fuzz_apfs_deep_scan" -max_total_time="$secs" -max_len=1100000 -rss_limit_mb=4096 "$corpus"
