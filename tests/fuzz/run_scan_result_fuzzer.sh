#!/bin/bash
# Builds the scan-result file libFuzzer target with clang and runs it for a
# fixed time.
#   tests/fuzz/run_scan_result_fuzzer.sh [SECONDS] [BUILD_DIR]
# Seeds: the golden file of tests/data and variants of it with more nodes,
# several volumes and no image record, so that the fuzzer starts past the
# header's CRC and the frame look-ups.
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-600}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_scan_result

corpus="$build/corpus/scan_result"
mkdir -p "$corpus"
cp tests/data/scan-result-golden.Quillory "$corpus/golden"
python3 - "$corpus" <<'PY'
import os, struct, sys
sys.path.insert(0, 'tests/fixtures')
import make_scan_result_golden as g
corpus = sys.argv[1]

def result(volumes, dmg=True):
    device = struct.pack("<Qiii", 1048576, 0, 1, 2) + g.text("VOL")
    device += (struct.pack("<II", 1, 2088) + g.dmg_record()) if dmg else struct.pack("<II", 0, g.NONE)
    device += struct.pack("<II", 0, g.NONE)
    nodes = struct.pack("<Q", len(volumes))
    for type_, count in volumes:
        nodes += struct.pack("<I", 1) + g.node(2, -1, 0, 0, (0, 0, 0), 1, 0, [], "VOL", 0xFFFF, -1)
        nodes += struct.pack("<I", type_) + g.text("VOL") + struct.pack("<I", 1)
        nodes += struct.pack("<I", 1) + g.partition_record()
        for i in range(count):
            nodes += struct.pack("<I", 0) + g.node(10 + i, 2 if i % 3 == 0 else 10 + i - 1, 100 * i, 0x20,
                                                  (i, i, i), i % 3 == 0, i % 2, [(i, 1), (i + 5, 2)][: i % 3],
                                                  "file%d.txt" % i, 0, i)
        nodes += struct.pack("<I", g.NONE)
    return (g.header() + g.frame(g.FRAME_CONTROLLER, struct.pack("<III", 8, 2, 1))
            + g.frame(g.FRAME_DEVICE, device) + g.frame(g.FRAME_NODES, nodes))

open(os.path.join(corpus, 'three-volumes'), 'wb').write(result([(32, 5), (35, 9), (31, 3)]))
open(os.path.join(corpus, 'no-image'), 'wb').write(result([(34, 20)], dmg=False))
PY
"$build/tests/fuzz/fuzz_scan_result" -max_total_time="$secs" -print_final_stats=1 \
    -artifact_prefix="$build/scan_result-" "$corpus"
