#!/usr/bin/env bash
# The include-graph check catches each kind of upward include on a small
# made-up tree, and passes that tree without it.
# Usage: include_graph_checker_test.sh SOURCE_DIR
set -uo pipefail
check=${1:?usage: $0 SOURCE_DIR}/tests/graph/check_include_graph.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_tree() {
    rm -rf "$work/tree"
    for lib in foundation storage recovery ntfs fat hfsplus apfs raw wiring; do
        mkdir -p "$work/tree/engine/$lib"
    done
    mkdir -p "$work/tree/platform"
    echo '#include "foundation/Types.h"' >"$work/tree/engine/storage/Dev.cpp"
    echo '#include "platform/Sysfs.h"' >>"$work/tree/engine/storage/Dev.cpp"
    echo '#include "recovery/Tree.h"' >"$work/tree/engine/fat/Fat.cpp"
    echo '#include "fat/Fat.h"' >"$work/tree/engine/wiring/Wiring.cpp"
    echo '#include "Local.h"' >"$work/tree/engine/raw/Raw.cpp"
}

fails=0
make_tree
if ! "$check" "$work/tree" >/dev/null; then
    echo "FAIL: a clean tree was refused"
    fails=$((fails + 1))
fi

# file | include it gains | why it must be refused
cases=(
    "engine/storage/Dev.cpp|recovery/VolumeAnalyze.h|storage may not include recovery"
    "engine/fat/Fat.cpp|raw/RawFileAnalyser.h|one scanner may not include another"
    "engine/foundation/Base.h|storage/Device.h|foundation includes only itself"
    "engine/recovery/Ctl.cpp|ntfs/NTFSSearch.h|recovery may not name a scanner"
    "engine/ntfs/Ntfs.cpp|wiring/EngineWiring.h|nothing includes wiring"
    "engine/recovery/Ctl.cpp|platform/Sysfs.h|only storage uses platform"
    "platform/Probe.cpp|storage/Device.h|platform includes only itself"
    "engine/raw/Raw.cpp|ui/Model.h|engine never includes ui"
)
for c in "${cases[@]}"; do
    IFS='|' read -r file include why <<<"$c"
    make_tree
    echo "#include \"$include\"" >>"$work/tree/$file"
    if "$check" "$work/tree" >/dev/null; then
        echo "FAIL: not caught: $why ($file includes $include)"
        fails=$((fails + 1))
    fi
done

make_tree
mkdir -p "$work/tree/engine/newlib"
if "$check" "$work/tree" >/dev/null; then
    echo "FAIL: a library folder without a place in the graph was let through"
    fails=$((fails + 1))
fi

[ "$fails" -eq 0 ] && echo "include-graph check: every case caught"
[ "$fails" -eq 0 ]
