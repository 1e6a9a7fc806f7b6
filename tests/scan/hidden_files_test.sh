#!/usr/bin/env bash
# Hidden files and folders, end to end through quillory-scan:
#   hidden_files_test.sh DRIVER SOURCE_DIR BINARY_DIR
# On a FAT32 and an NTFS volume (make_hidden_images.sh), the deleted
# .ssh/id_ed25519, .bashrc and the deleted folder .config are Linux users'
# data: the quick and the deep scan list them under their own names, with
# fls's paths and sizes, and --recover writes them there with icat's bytes.
# The deleted macOS clutter (._meeting-notes.txt, .DS_Store) is neither
# listed nor written.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin hidden-files make_hidden_images.sh hidden "$@"

mapfile -t wanted < "$fixtures/wanted.txt"
mapfile -t clutter < "$fixtures/clutter.txt"
[ ${#wanted[@]} -gt 0 ] && [ ${#clutter[@]} -gt 0 ] || fail "fixture lists are empty"

for img in fat32.img ntfs.img; do
    # The oracle: fls lists every one of them as deleted, and icat's bytes are
    # the originals.
    fls -r -d -p "$fixtures/$img" > "$work/fls"
    for path in "${wanted[@]}" "${clutter[@]}"; do
        inode=$(grep -P "^r/r \* \S+:\t\Q$path\E$|^-/r \* \S+:\t\Q$path\E$" "$work/fls" | head -n 1 | sed 's/^.* \([^ ]*\):\t.*/\1/')
        [ -n "$inode" ] || { fail "$img: fls does not list $path"; continue; }
        icat "$fixtures/$img" "$inode" | cmp -s - "$fixtures/orig/$img/$path" || fail "$img: icat $inode differs from $path"
    done

    for mode in --quick --deep; do
        what="$img $mode"
        out="$work/out-$img$mode"
        mkdir -p "$out"
        "$driver" "$mode" --recover "$out" "$fixtures/$img" > "$work/raw" 2> "$work/err"
        rc=$?
        [ $rc = 0 ] || { fail "$what exited $rc: $(cat "$work/err")"; continue; }
        for path in "${wanted[@]}"; do
            size=$(stat -c %s "$fixtures/orig/$img/$path")
            grep -q -P "^deleted\t$size\t.*\)/\Q$path\E$" "$work/raw" ||
                fail "$what: $path ($size bytes) not listed under its own name"
            mapfile -t copies < <(find "$out" -type f -path "*)/$path")
            [ ${#copies[@]} -ge 1 ] || { fail "$what: $path not recovered under its own name"; continue; }
            for copy in "${copies[@]}"; do
                cmp -s "$copy" "$fixtures/orig/$img/$path" || fail "$what: ${copy#"$out"/} differs from the original"
            done
        done
        for path in "${clutter[@]}"; do
            ! grep -q -P "/\Q$path\E$" "$work/raw" || fail "$what: macOS clutter $path listed"
            [ -z "$(find "$out" -name "$path")" ] || fail "$what: macOS clutter $path written"
        done
        # No hidden name comes out with its dot stripped.
        ! grep -q -P "\)/(ssh|config|bashrc)(/|$)" "$work/raw" || fail "$what: a name lost its leading dot"
    done
done

scan_test_end "hidden files and folders listed and recovered under their own names"
