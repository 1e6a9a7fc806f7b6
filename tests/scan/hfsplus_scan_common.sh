# What the HFS+ end-to-end tests share, sourced after scan_test_common.sh.

# check_hfsplus_truth LABEL LIST OUT TRUTH [COPIES]: the listing LIST of
# `quillory-scan --deep --recover OUT --all` holds exactly the rows of the
# truth table TRUTH (path, state, size) under Disk(HFS+)/, each COPIES times
# (1 unless given: a disk with that many copies of the volume), each file
# under OUT has the table's SHA-256 (the k-th copy under the numbered name
# "stem (k).ext" that recovery gives a taken name), and every listed file was
# recovered. Names are checked as the table spells them, composed (NFC),
# though the volume stores them decomposed.
check_hfsplus_truth() {
    local label=$1 list=$2 out=$3 truth=$4 copies=${5:-1} rows=0 state hit got seen k
    while IFS=$'\t' read -r _ _ _ _ path deleted size sha _; do
        [[ $path == path ]] && continue
        rows=$((rows + 1))
        state=existing
        [[ $deleted == 1 ]] && state=deleted
        seen=$(grep -cxF "$state"$'\t'"$size"$'\t'"Disk(HFS+)/$path" "$list")
        [[ $seen == "$copies" ]] || fail "$label: listed $seen times, not $copies: $state $size $path"
        for ((k = 0; k < copies; k++)); do
            hit="$out/Disk(HFS+)/$path"
            ((k > 0)) && hit="${hit%.*} ($k).${hit##*.}"
            [[ -f $hit ]] || { fail "$label: not recovered: $hit"; continue; }
            got=$(sha256sum "$hit" | cut -d' ' -f1)
            [[ $got == "$sha" ]] || fail "$label: $hit recovered with sha256 $got"
        done
    done < "$truth"
    local listed hfs
    listed=$(grep -c $'^\\(existing\\|deleted\\)\t' "$list")
    hfs=$(grep -c $'^\\(existing\\|deleted\\)\t[0-9]*\tDisk(HFS+)/' "$list")
    grep -q "^recovered $listed files to .*, 0 failed$" "$list" || fail "$label: $(grep '^recovered' "$list")"
    [[ $hfs == $((rows * copies)) ]] || fail "$label: $hfs HFS+ files listed, the volumes hold $((rows * copies))"
}

# deep_recover_and_check IMAGE TRUTH [OPTION...]: `--deep [OPTION...]
# --recover $work/IMAGE --all` of $fixtures/IMAGE.img, its listing left in
# $work/list and checked against TRUTH (each row hfs_copies times, 1 unless
# set); 1 when the driver failed.
deep_recover_and_check() {
    local image=$1 truth=$2 rc
    shift 2
    out="$work/$image"
    mkdir -p "$out"
    "$driver" --deep "$@" --recover "$out" --all "$fixtures/$image.img" > "$work/list" 2> "$work/err"
    rc=$?
    [[ $rc -eq 0 ]] || { fail "$image: exit status $rc: $(cat "$work/err")"; return 1; }
    check_hfsplus_truth "$image" "$work/list" "$out" "$truth" "${hfs_copies:-1}"
}
