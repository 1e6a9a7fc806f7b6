# What the HFS+ end-to-end tests share, sourced after scan_test_common.sh.

# check_hfsplus_truth LABEL LIST OUT TRUTH: the listing LIST of
# `quillory-scan --deep --recover OUT --all` holds exactly the rows of the
# truth table TRUTH (path, state, size) under Disk(HFS+)/, each file under
# OUT has the table's SHA-256, and every listed file was recovered. Names are checked as the table spells them,
# composed (NFC), though the volume stores them decomposed.
check_hfsplus_truth() {
    local label=$1 list=$2 out=$3 truth=$4 rows=0 state hit got
    while IFS=$'\t' read -r _ _ _ _ path deleted size sha _; do
        [[ $path == path ]] && continue
        rows=$((rows + 1))
        state=existing
        [[ $deleted == 1 ]] && state=deleted
        grep -qxF "$state"$'\t'"$size"$'\t'"Disk(HFS+)/$path" "$list" ||
            fail "$label: not listed: $state $size $path"
        hit="$out/Disk(HFS+)/$path"
        [[ -f $hit ]] || { fail "$label: not recovered: $path"; continue; }
        got=$(sha256sum "$hit" | cut -d' ' -f1)
        [[ $got == "$sha" ]] || fail "$label: $path recovered with sha256 $got"
    done < "$truth"
    local listed hfs
    listed=$(grep -c $'^\\(existing\\|deleted\\)\t' "$list")
    hfs=$(grep -c $'^\\(existing\\|deleted\\)\t[0-9]*\tDisk(HFS+)/' "$list")
    grep -q "^recovered $listed files to .*, 0 failed$" "$list" || fail "$label: $(grep '^recovered' "$list")"
    [[ $hfs == "$rows" ]] || fail "$label: $hfs HFS+ files listed, the volumes hold $rows"
}

# deep_recover_and_check IMAGE TRUTH [OPTION...]: `--deep [OPTION...]
# --recover $work/IMAGE --all` of $fixtures/IMAGE.img, its listing left in
# $work/list and checked against TRUTH; 1 when the driver failed.
deep_recover_and_check() {
    local image=$1 truth=$2 rc
    shift 2
    out="$work/$image"
    mkdir -p "$out"
    "$driver" --deep "$@" --recover "$out" --all "$fixtures/$image.img" > "$work/list" 2> "$work/err"
    rc=$?
    [[ $rc -eq 0 ]] || { fail "$image: exit status $rc: $(cat "$work/err")"; return 1; }
    check_hfsplus_truth "$image" "$work/list" "$out" "$truth"
}
