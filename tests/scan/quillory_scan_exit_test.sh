#!/usr/bin/env bash
# quillory-scan's manners, end to end: what it says and the exit status it
# gives for each kind of source and usage, one table row per case; --recover
# into a missing folder; --all listing and recovering existing files; the
# engine's log kept off the terminal unless --verbose.
#   quillory_scan_exit_test.sh DRIVER SOURCE_DIR BINARY_DIR
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/scan_test_common.sh"
scan_test_begin scan-exit make_cli_images.sh cli "$@"

# The sources of the table.
chmod 755 "$work"  # the unprivileged user must reach the locked file
cp "$fixtures/fat.img" "$work/locked.img" && chmod 000 "$work/locked.img"
mkfifo "$work/fifo"
head -c 100 /dev/urandom > "$work/tiny.img"
cp "$fixtures/fat.img" "$work/-dash.img"
: > "$work/a-file"

# check STATUS ERR_PATTERN OUT_PATTERN [nobody] ARGS...: runs the driver
# (as an unprivileged user after "nobody") with a time limit (a FIFO must
# not block it); its exit status must be STATUS, its standard error must
# match ERR_PATTERN ("" for empty) and its standard output OUT_PATTERN (""
# for empty; the patterns are extended regular expressions).
check() {
    local want=$1 err=$2 out=$3
    shift 3
    local run=(timeout 60)
    if [ "$1" = nobody ]; then
        run+=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        shift
    fi
    (cd "$work" && "${run[@]}" "$driver" "$@") > "$work/out" 2> "$work/err"
    local rc=$?
    local what="quillory-scan $*"
    [ $rc = "$want" ] || fail "$what exited $rc, not $want; it said: $(head -c 600 "$work/err")"
    if [ -z "$err" ]; then
        [ ! -s "$work/err" ] || fail "$what wrote to standard error: $(head -c 600 "$work/err")"
    else
        grep -Eq -- "$err" "$work/err" || fail "$what: no /$err/ in: $(head -c 600 "$work/err")"
    fi
    if [ -z "$out" ]; then
        [ ! -s "$work/out" ] || fail "$what wrote to standard output: $(head -c 600 "$work/out")"
    else
        grep -Eq -- "$out" "$work/out" || fail "$what: no /$out/ in its output: $(head -c 600 "$work/out")"
    fi
}

fat=$fixtures/fat.img
gone=$'^deleted\t5000\t[^\t]*/Some Docs/Gone Notes.txt$'
usage='^usage: quillory-scan '
# status  standard error                                      standard output  arguments
check 1 "missing.img: no such file or device"                 ""     "$work/missing.img"
check 1 "cannot read .*locked.img: Permission denied"         ""     nobody "$work/locked.img"
check 1 "is a folder, not a disk or an image"                 ""     "$work"
check 1 "fifo is a FIFO, not a disk or an image"              ""     "$work/fifo"
check 1 "fifo is a FIFO, not a disk or an image"              ""     --deep "$work/fifo"
check 1 "/dev/null is a character device, not a disk"         ""     /dev/null
check 1 "holds 100 bytes, less than one sector"               ""     "$work/tiny.img"
check 1 "partition 2 \(NTFS at sector 34816\): scan failed: the NTFS master file table cannot be located" \
                                                              "$gone" "$fixtures/fat_badntfs.img"
check 0 "partition 2 \(APFS at sector 34816\): APFS volumes are found by --deep" \
                                                              "$gone" "$fixtures/fat_apfs.img"
check 1 "nothing to quick-scan on .*apfs.img: run quillory-scan --deep" "" "$fixtures/apfs.img"
check 2 "searchers takes a comma-separated list"              ""     --deep --searchers '' "$fat"
check 2 "searchers takes a comma-separated list"              ""     --deep --searchers ntfs, "$fat"
check 2 "searchers takes a comma-separated list"              ""     --deep --searchers ntfs,floppy "$fat"
check 2 "unknown option -dash.img"                            ""     -dash.img
check 0 ""                                                    "$gone" -- -dash.img
check 0 ""                                                    "$usage" --help
check 0 ""                                                    "$usage" --deep -h "$work/missing.img"
check 1 "a-file exists and is not a folder"                   ""     --recover "$work/a-file" "$fat"
check 1 "cannot use .*a-file/sub: Not a directory"            ""     --recover "$work/a-file/sub" "$fat"

# --recover makes a missing folder with its parents; --all lists and copies
# the existing file beside the deleted one.
check 0 "" "^recovered 1 files to .*/new/a/b, 0 failed$" --recover "$work/new/a/b" "$fat"
recovered() { find "$1" -type f -path "*/Some Docs/$2" -print -quit; }
cmp -s "$fixtures/orig/Some Docs/Gone Notes.txt" "$(recovered "$work/new/a/b" "Gone Notes.txt")" ||
    fail "Gone Notes.txt not recovered byte-identical: $(find "$work/new" -type f)"
check 0 "" "^recovered 2 files to .*/all, 0 failed$" --quick --recover "$work/all" --all "$fat"
grep -q $'^existing\t3000\t[^\t]*/Some Docs/Kept Notes.txt$' "$work/out" || fail "--all does not list Kept Notes.txt"
for f in "Kept Notes.txt" "Gone Notes.txt"; do
    cmp -s "$fixtures/orig/Some Docs/$f" "$(recovered "$work/all" "$f")" || fail "--all: $f not recovered"
done

# The engine's log lines (the tree builder's among them) show on standard
# error with --verbose only, and reach the log file beside the program either
# way; standard output holds the listing alone. A copy of the driver in a
# folder of its own keeps its log apart from other tests'.
mkdir "$work/bin"
ln "$driver" "$work/bin/quillory-scan" 2>/dev/null || cp "$driver" "$work/bin/quillory-scan"
driver=$work/bin/quillory-scan
log=$work/bin/sMAC_Quillory.log
check 0 "" "$gone" "$fat"
grep -Evq $'^(deleted|existing)\t[0-9]+\t|^scanned ' "$work/out" && fail "stray lines in the listing: $(cat "$work/out")"
grep -q "CDirectoryTreeBuilder" "$log" 2>/dev/null || fail "the tree builder's lines are not in the log file"
check 0 "CDirectoryTreeBuilder" "$gone" --verbose "$fat"
grep -Evq $'^(deleted|existing)\t[0-9]+\t|^scanned ' "$work/out" && fail "stray lines in the verbose listing"

# --help shows the usage the README gives.
"$driver" --help | head -n 2 | tr -s ' ' > "$work/usage"
sed -n '/^    quillory-scan \[/,/SOURCE$/p' "$src/README.md" |
    sed 's|^ *quillory-scan|usage: quillory-scan|' | tr -s ' ' | tr '\n' ' ' > "$work/readme"
[ "$(tr '\n' ' ' < "$work/usage" | tr -s ' ')" = "$(tr -s ' ' < "$work/readme")" ] ||
    fail "--help and README differ: '$(cat "$work/usage")' vs '$(cat "$work/readme")'"

scan_test_end "all checks passed"
