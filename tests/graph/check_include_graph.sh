#!/usr/bin/env bash
# Fails when a file of engine/ or platform/ includes a header of a library
# that may not be below it. The engine's libraries depend one way:
#   foundation <- storage <- recovery <- {ntfs, fat, hfsplus, apfs, raw} <- wiring
# A scanner never includes another scanner's header. platform/ (the Linux
# layer) includes only itself, and of the engine only storage uses it (the
# device list reads sysfs, libblkid and the mount table through it).
# Usage: check_include_graph.sh SOURCE_DIR
set -uo pipefail
root=${1:?usage: $0 SOURCE_DIR}

level() {
    case $1 in
        foundation) echo 0 ;;
        storage) echo 1 ;;
        recovery) echo 2 ;;
        ntfs | fat | hfsplus | apfs | raw) echo 3 ;;
        wiring) echo 4 ;;
        *) echo -1 ;;
    esac
}

bad=0
report() { echo "upward include: $1 includes \"$2\" ($3)"; bad=$((bad + 1)); }

# Every library folder must have a level: a new one needs a place in the graph.
for dir in "$root"/engine/*/; do
    lib=$(basename "$dir")
    [ "$(level "$lib")" -ge 0 ] || { echo "engine/$lib has no place in the library graph"; bad=$((bad + 1)); }
done

while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    if [[ $rel == platform/* ]]; then
        from=platform
    else
        from=${rel#engine/}
        from=${from%%/*}
    fi
    while IFS= read -r target; do
        to=${target%%/*}
        [ "$to" = "$from" ] && continue
        [ "$to" = "$target" ] && continue  # a header beside the file, no folder
        if [ "$to" = platform ]; then
            [ "$from" = storage ] || report "$rel" "$target" "only storage uses platform"
            continue
        fi
        if [ "$from" = platform ]; then
            report "$rel" "$target" "platform includes only itself"
            continue
        fi
        lf=$(level "$from") lt=$(level "$to")
        if [ "$lt" -lt 0 ]; then
            report "$rel" "$target" "not an engine library"
        elif [ "$lt" -ge "$lf" ]; then
            report "$rel" "$target" "$to is not below $from"
        fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
done < <(find "$root/engine" "$root/platform" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -print0)

if [ "$bad" -ne 0 ]; then
    echo "$bad includes break the library graph"
    exit 1
fi
echo "library graph: every include points down"
