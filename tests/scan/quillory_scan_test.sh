#!/usr/bin/env bash
# End-to-end test of quillory-scan on the NTFS fixture images:
#   quillory_scan_test.sh DRIVER SOURCE_DIR BINARY_DIR
# The deleted files it prints (sizes and paths) must be exactly those that
# `fls -r -d` lists (minus $OrphanFiles), on the bare volume and on an MBR
# disk and a GPT disk holding the volume at sector 2048, whose recovered
# files equal icat's; bad usage exits 2, a missing source 1.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin scan-test make_ntfs_images.sh ntfs "$@"

# "SIZE<TAB>PATH" of every deleted file fls lists, sorted.
fls_deleted() {
    fls -r -d -p -l "$1" | awk -F'\t' '
        $1 ~ /^[-a-z]\/d/ { next }
        $2 ~ /^\$OrphanFiles/ { next }
        { print $7 "\t" $2 }' | LC_ALL=C sort
}

# Runs the driver; "SIZE<TAB>PATH" of its deleted lines, the root folder cut.
scan_deleted() { # IMAGE OUT
    "$driver" --quick "$1" > "$work/raw" 2> "$work/err"
    local rc=$?
    [ $rc = 0 ] || { fail "quick scan of $1 exited $rc: $(cat "$work/err")"; return; }
    awk -F'\t' '$1 == "deleted" { sub(/^[^\/]*\//, "", $3); print $2 "\t" $3 }' "$work/raw" |
        LC_ALL=C sort > "$2"
    local n last
    n=$(wc -l < "$2")
    last=$(tail -n 1 "$work/raw")
    [[ $last =~ ^scanned\ [0-9]+\ bytes\ in\ .*\ [0-9]+\ files,\ $n\ deleted$ ]] ||
        fail "last line of the scan of $1: '$last' ($n deleted lines)"
}

basic="$fixtures/ntfs_basic.img"
fls_deleted "$basic" > "$work/expected"
[ -s "$work/expected" ] || fail "fls lists no deleted file in $basic"

scan_deleted "$basic" "$work/bare"
diff -u "$work/expected" "$work/bare" > "$work/diff" || fail "bare volume differs from fls:
$(cat "$work/diff")"

# The same volume inside an MBR disk, starting at sector 2048.
disk="$work/mbr.img"
vol_sectors=$(( $(stat -c %s "$basic") / 512 ))
truncate -s $(( (2048 + vol_sectors + 2048) * 512 )) "$disk"
echo "start=2048, size=$vol_sectors, type=7" | sfdisk -q "$disk" >/dev/null 2>&1 || fail "sfdisk failed"
dd if="$basic" of="$disk" bs=512 seek=2048 conv=notrunc status=none
scan_deleted "$disk" "$work/mbr"
diff -u "$work/expected" "$work/mbr" > "$work/diff" || fail "MBR disk differs from fls:
$(cat "$work/diff")"

# The same volume inside a GPT disk (sgdisk), again at sector 2048; what
# --recover writes from it has, byte for byte, what icat reads from the bare
# volume.
gpt="$work/gpt.img"
truncate -s $(( (2048 + vol_sectors + 2048) * 512 )) "$gpt"
# (sgdisk -q leaves the table unwritten, so its output is dropped instead.)
sgdisk -n 1:2048:$(( 2048 + vol_sectors - 1 )) -t 1:0700 "$gpt" >/dev/null 2>&1 || fail "sgdisk failed"
dd if="$basic" of="$gpt" bs=512 seek=2048 conv=notrunc status=none
scan_deleted "$gpt" "$work/gpt"
diff -u "$work/expected" "$work/gpt" > "$work/diff" || fail "GPT disk differs from fls:
$(cat "$work/diff")"
mkdir -p "$work/recovered"
"$driver" --quick --recover "$work/recovered" "$gpt" > "$work/raw" 2> "$work/err" || fail "recovery from the GPT disk: $(cat "$work/err")"
checked=0
while IFS=$'\t' read -r meta path; do
    inode=${meta##* }
    inode=${inode%:}
    icat "$basic" "$inode" > "$work/icat" 2>/dev/null
    cmp -s "$work/icat" "$work/recovered/Disk(NTFS)/$path" || fail "recovered $path differs from icat $inode"
    checked=$((checked + 1))
done < <(fls -r -d -p "$basic" | grep -v '^[-a-z]/d' | grep -v $'\t\$OrphanFiles')
[ $checked -gt 0 ] || fail "no deleted file compared with icat"
echo "compared $checked recovered files with icat"

# Exit statuses: bad usage 2, a source that cannot be opened 1; the message
# goes to standard error and no result line is printed.
expect_exit() { # STATUS ARGS...
    local want=$1; shift
    "$driver" "$@" > "$work/out" 2> "$work/err"
    local rc=$?
    [ $rc = "$want" ] || fail "quillory-scan $* exited $rc, not $want"
    [ -s "$work/err" ] || fail "quillory-scan $* gave no message"
    ! grep -q '^scanned ' "$work/out" || fail "quillory-scan $* printed a result line"
}
expect_exit 2
expect_exit 2 --bogus "$basic"
expect_exit 2 "$basic" "$basic"
expect_exit 2 --recover
expect_exit 1 "$work/missing.img"
expect_exit 1 --quick "$work/missing.img"
expect_exit 2 --searchers ntfs "$basic"
expect_exit 2 --deep --searchers ntfs,floppy "$basic"
expect_exit 1 --deep "$work/missing.img"

# Images known by their content: a QVX image of the volume opens as its own
# device, which has no volumes, so a quick scan says it is deep-scanned only;
# a cut QVX and a DMG whose trailer leads nowhere are refused with a reason.
python3 - "$basic" "$work/vol.qvx" <<'PY'
import struct, sys, time
data = open(sys.argv[1], 'rb').read()
offset = (1200 // 512 + 1) * 512
record = struct.pack('<QQQQ', 512, len(data) // 512, offset, offset + len(data))
record += b'ntfs_basic'.ljust(128, b'\0') + sys.argv[2].encode().ljust(1024, b'\0')
record += struct.pack('<Q', int(time.time()))
with open(sys.argv[2], 'wb') as f:
    f.write(b'qvx\0' + struct.pack('<I', len(record)) + record)
    f.write(b'\0' * (offset - 8 - len(record)) + data)
PY
expect_message() { # STATUS TEXT ARGS...
    local want=$1 text=$2; shift 2
    expect_exit "$want" "$@"
    grep -q "$text" "$work/err" || fail "quillory-scan $*: no '$text' in: $(cat "$work/err")"
}
expect_message 1 "QVX image.*deep-scanned only" "$work/vol.qvx"
expect_message 1 "QVX image.*deep-scanned only" --quick "$work/vol.qvx"
head -c 100000 "$work/vol.qvx" > "$work/cut.qvx"
expect_message 1 "not a complete QVX image" "$work/cut.qvx"
{ head -c 65536 "$basic"; printf 'koly'; head -c 508 /dev/zero; } > "$work/bad.dmg"
expect_message 1 "cannot be read as stored" "$work/bad.dmg"

scan_test_end "all checks passed"
