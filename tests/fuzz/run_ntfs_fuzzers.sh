#!/bin/bash
# Builds the NTFS libFuzzer targets with clang and runs each for a fixed time.
#   tests/fuzz/run_ntfs_fuzzers.sh [SECONDS] [BUILD_DIR]
# Seeds come from the NTFS fixture images (FILE records and INDX blocks).
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_NTFSFileRecordFuzz fuzz_NTFSDataRunFuzz fuzz_NTFSIndexRecordFuzz \
    fuzz_NTFSLogFileFuzz

images=${QUILLORY_NTFS_IMAGES:-$build/fixtures/ntfs}
tests/fixtures/make_ntfs_images.sh "$images" >/dev/null
corpus="$build/corpus"
mkdir -p "$corpus/file" "$corpus/runs" "$corpus/index" "$corpus/log"
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
# Logs of 6 pages: page 4 an RCRD page holding a FILE record as redo data
# and an undo record inside an MFT record's $DATA, one seed per FILE record.
def log_record(lsn, redo, undo, rec_off, attr_off, cbo, vcn):
    undo_off = 40 + (len(redo) + 7) // 8 * 8
    cdl = undo_off + (len(undo) + 7) // 8 * 8
    r = bytearray(48 + cdl)
    struct.pack_into('<QQQIII', r, 0, lsn, lsn - 1, 0, cdl, 0, 1)
    struct.pack_into('<HHHHHHHHHHHHq', r, 48, 9, 9, 40, len(redo), undo_off, len(undo), 0, 1,
                     rec_off, attr_off, cbo, 0, vcn)
    r[88:88 + len(redo)] = redo
    r[48 + undo_off:48 + undo_off + len(undo)] = undo
    return bytes(r)
for i in range(len(mft) // 1024):
    rec = mft[i * 1024:(i + 1) * 1024]
    if rec[:4] != b'FILE' or i < 16: continue
    page = bytearray(4096)
    recs = log_record(100, rec, b'', 0, 0, 0, 0) + log_record(101, b'', bytes([0x21, 4, 0, 2, 0x11, 1, 5, 0, 0, 0, 0, 0]), 0x98, 64, 2, 19)
    page[0:4] = b'RCRD'
    struct.pack_into('<Q', page, 8, 101)
    struct.pack_into('<Q', page, 32, 101)
    page[64:64 + len(recs)] = recs
    open(os.path.join(corpus, 'log', 'log%03d' % i), 'wb').write(bytes(4 * 4096) + bytes(page) + bytes(4096))
img = open(os.path.join(images, 'ntfs_basic.img'), 'rb').read()
for c in range(len(img) // 4096):
    if img[c * 4096:c * 4096 + 4] == b'INDX':
        open(os.path.join(corpus, 'index', 'indx%d' % c), 'wb').write(img[c * 4096:(c + 1) * 4096])
PY
status=0
for t in file:NTFSFileRecordFuzz runs:NTFSDataRunFuzz index:NTFSIndexRecordFuzz log:NTFSLogFileFuzz; do
    dir=${t%%:*}; name=${t##*:}
    echo "== $name for ${secs}s"
    "$build/tests/fuzz/fuzz_$name" -max_total_time="$secs" -print_final_stats=1 \
        -artifact_prefix="$build/$name-" "$corpus/$dir" 2>&1 | tail -n 12 || status=1
done
exit $status
