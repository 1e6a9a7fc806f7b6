#!/usr/bin/env bash
# quillory-scan --recover never reports a loss as a success and never writes
# where it must not: a file cut by the end of a truncated image counts as
# failed (its readable part kept only as NAME.partial, the exit status 1);
# a symbolic link planted in the recovery folder is not followed; an
# existing file is never replaced; no empty file is left behind; and a
# recovery folder on the device being scanned (a loop device mounted with
# ntfs-3g, named as the device or as its image file) is refused before
# anything is written.
set -uo pipefail
. "$(dirname "$0")/scan_test_common.sh"
scan_test_begin recover-safety make_recover_cut_images.sh recover-cut "$@"
cut=$(cat "$fixtures/cut-offset.txt")

# find_one DIR NAME: the one file called NAME (any case) under DIR. Names
# are matched without their first letter, which a deleted 8.3 entry loses.
find_one() { find "$1" -type f -iname "?${2#?}" | head -n 1; }
no_empty_files() {
    local e
    e=$(find "$1" -type f -empty)
    [ -z "$e" ] || fail "$2: empty files left behind: $e"
}

# --- a truncated image ------------------------------------------------------
mkdir -p "$work/cut"
"$driver" --recover "$work/cut" "$fixtures/fat-cut.img" >"$work/cut.out" 2>"$work/cut.err"
rc=$?
[ $rc = 1 ] || fail "truncated image: exit $rc, want 1"
grep -q "recovered 1 files to .*, 1 failed" "$work/cut.out" || fail "truncated image: summary: $(tail -n 1 "$work/cut.out")"
grep -qi "ig.bin: .*past the end of the device" "$work/cut.err" || fail "truncated image: no reason for big.bin: $(cat "$work/cut.err")"
small=$(find_one "$work/cut" small.txt)
[ -n "$small" ] && cmp -s "$small" "$fixtures/orig/small.txt" || fail "truncated image: small.txt not recovered whole"
[ -z "$(find_one "$work/cut" big.bin)" ] || fail "truncated image: big.bin written as if whole"
partial=$(find_one "$work/cut" big.bin.partial)
if [ -z "$partial" ]; then
    fail "truncated image: no big.bin.partial"
else
    # What lies before the cut is the file's; nothing after it is invented.
    cmp -s -n "$((cut / 65536 * 65536))" "$partial" "$fixtures/orig/big.bin" || fail "big.bin.partial: readable part differs"
    [ -z "$(tail -c +$((cut + 65536)) "$partial" | tr -d '\0' | head -c 1)" ] || fail "big.bin.partial: bytes past the cut"
fi
no_empty_files "$work/cut" "truncated image"

# The folder the volume's files land in, as the driver names it.
top=$(cd "$work/cut" && ls)

# --- a symbolic link planted in the recovery folder ---------------------------
mkdir -p "$work/link" "$work/elsewhere"
ln -s "$work/elsewhere" "$work/link/$top"
"$driver" --recover "$work/link" "$fixtures/fat.img" >/dev/null 2>"$work/link.err"
rc=$?
[ $rc = 1 ] || fail "planted folder link: exit $rc, want 1"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "planted folder link was followed: $(ls -A "$work/elsewhere")"
grep -q "symbolic link" "$work/link.err" || fail "planted folder link: no reason given"

# A link in place of the file itself, and a file that is there already:
# neither is written through or replaced; the recovered file takes "name (1)".
rel=${small#"$work/cut/"}
for kind in link file; do
    d="$work/$kind-file"
    mkdir -p "$(dirname "$d/$rel")"
    echo keep > "$work/target-$kind"
    if [ $kind = link ]; then ln -s "$work/target-$kind" "$d/$rel"; else cp "$work/target-$kind" "$d/$rel"; fi
    "$driver" --recover "$d" "$fixtures/fat.img" >/dev/null 2>&1 || fail "$kind in the way: exit $?"
    [ "$(cat "$work/target-$kind")" = keep ] || fail "$kind in the way: the target was overwritten"
    [ "$kind" = link ] && { [ -L "$d/$rel" ] || fail "the planted link was replaced"; }
    [ $kind = file ] && { [ "$(cat "$d/$rel")" = keep ] || fail "the existing file was replaced"; }
    base=$(basename "$rel")
    variant="$(dirname "$d/$rel")/${base%.*} (1).${base##*.}"
    cmp -s "$variant" "$fixtures/orig/small.txt" || fail "$kind in the way: no numbered variant with the file's bytes"
    no_empty_files "$d" "$kind in the way"
done

# --- a recovery folder on the device being scanned (root) ---------------------
if [ "$(id -u)" != 0 ]; then
    [ "${CI:-}" = true ] && { fail "the mount checks need root under CI"; scan_test_end ""; }
    echo "SKIP: the mount checks need root"
    scan_test_end "recovery safety holds (mount checks skipped: not root)"
fi
loops=()
mounts=()
cleanup() {
    local m l
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
    for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# refused SOURCE MOUNT WHAT: recovering SOURCE into a folder of MOUNT is
# refused and MOUNT is left as it was.
refused() {
    local source=$1 m=$2 what=$3 before after rc
    before=$(cd "$m" && find . -printf '%p %s %T@\n' | sort)
    "$driver" --recover "$m/recovered/here" "$source" >"$work/mnt.out" 2>"$work/mnt.err"
    rc=$?
    [ $rc != 0 ] || fail "$what: recovery into the scanned device was not refused"
    grep -q "refusing to recover into" "$work/mnt.err" || fail "$what: no refusal message: $(cat "$work/mnt.err")"
    after=$(cd "$m" && find . -printf '%p %s %T@\n' | sort)
    [ "$before" = "$after" ] || fail "$what: something was written onto the source"
}

truncate -s 16M "$work/ntfs.img"
mkntfs -F -q -L SAFE "$work/ntfs.img" >/dev/null 2>&1 || fail "mkntfs failed"
loop=$(losetup -f --show "$work/ntfs.img") && loops+=("$loop")
mkdir -p "$work/ntfs-mnt"
ntfs-3g "$loop" "$work/ntfs-mnt" && mounts+=("$work/ntfs-mnt")
head -c 3000 /dev/urandom > "$work/ntfs-mnt/a.bin" && rm "$work/ntfs-mnt/a.bin"
mkdir -p "$work/ntfs-mnt/existing"
sync
refused "$loop" "$work/ntfs-mnt" "ntfs-3g on a loop device, new folder"
refused "$loop" "$work/ntfs-mnt/existing" "ntfs-3g on a loop device, existing folder"
# The image file itself as the source: its loop device is mounted there.
refused "$work/ntfs.img" "$work/ntfs-mnt" "image behind a mounted loop device"
# Beside the image on its own file system is allowed: nothing of it changes.
mkdir -p "$work/beside"
"$driver" --recover "$work/beside" "$work/ntfs.img" >/dev/null 2>"$work/beside.err" ||
    fail "recovery beside the image failed: $(cat "$work/beside.err")"

scan_test_end "recovery safety holds"
