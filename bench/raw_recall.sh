#!/usr/bin/env bash
# Recall of the raw search against PhotoRec on an image of every committed
# raw sample (every tests/data/raw/*/manifest.tsv, so new groups need no edit).
#
#   bench/raw_recall.sh [--small] [--scan QUILLORY_SCAN] [--keep DIR]
#
# The image: a FAT32 volume holding every sample, all deleted (mcopy, then
# mdel), then every sample laid again at sector boundaries between seeded
# zero and random runs (bench/raw_bench_image.py). --small leaves out the
# FAT32 volume and lays the samples once, for a quick check that the script
# still works. It runs
#   quillory-scan --deep --searchers raw --verbose --recover OUT IMG
#   photorec /log /d OUT /cmd IMG partition_none,options,paranoid,fileopt,everything,enable,wholespace,search
# and prints per format (the manifest's extension and type): the copies on
# the image, those quillory-scan wrote byte-exact, those it wrote as the
# sample and then zeros, less than one sector of them (a size rounded up to
# the sector, or an end rule that takes in a few zero bytes), those PhotoRec
# wrote byte-exact, those PhotoRec wrote inside a larger file, and the
# evicted candidates the raw search could not size (its engine log). Totals follow, over every format and over the formats
# both tools support. Samples whose manifest type is 0 must not be found.
#
# QUILLORY_SCAN defaults to build-bench/cli/quillory-scan (tools/bench.sh).
# Exit status: 0 when both tools ran and no type-0 sample was found, 1
# otherwise, 2 on bad usage.
set -euo pipefail

usage() {
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
data="$root/tests/data/raw"
scan="$root/build-bench/cli/quillory-scan"
small=0
keep=""
while [ $# -gt 0 ]; do
    case "$1" in
        --small) small=1 ;;
        --scan) [ $# -ge 2 ] || usage; scan=$2; shift ;;
        --keep) [ $# -ge 2 ] || usage; keep=$2; shift ;;
        -h | --help) usage ;;
        *) echo "raw_recall.sh: unknown argument $1" >&2; usage ;;
    esac
    shift
done
[ -x "$scan" ] || { echo "raw_recall.sh: $scan is not an executable (run tools/bench.sh, or give --scan)" >&2; exit 2; }
for tool in photorec python3 mkfs.fat mcopy mdel; do
    command -v "$tool" > /dev/null || { echo "raw_recall.sh: $tool is missing (tools/setup.sh installs it)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/raw-recall.XXXXXX")
cleanup() { if [ -n "$keep" ]; then mkdir -p "$keep" && cp -a "$work/." "$keep/"; fi; rm -rf "$work"; }
trap cleanup EXIT
export MTOOLS_SKIP_CHECK=1

python3 "$root/bench/raw_bench_image.py" samples "$data" > "$work/samples.tsv"
[ -s "$work/samples.tsv" ] || { echo "raw_recall.sh: no samples under $data" >&2; exit 1; }

img="$work/recall.img"
: > "$img"
fat_copies=0
if [ "$small" = 0 ]; then
    # FAT32 needs 65,525 clusters: 40 MiB of 512-byte clusters is enough.
    # Short 8.3 names keep the directory entries simple; every sample once.
    truncate -s 40M "$work/fat.img"
    mkfs.fat -F 32 -s 1 -n RECALL "$work/fat.img" > /dev/null
    n=0
    while IFS=$'\t' read -r path _; do
        n=$((n + 1))
        mcopy -i "$work/fat.img" "$data/$path" "::/S$n.BIN"
    done < "$work/samples.tsv"
    for ((k = 1; k <= n; k++)); do mdel -i "$work/fat.img" "::/S$k.BIN"; done
    cat "$work/fat.img" > "$img"
    rm -f "$work/fat.img"
    fat_copies=1
fi
python3 "$root/bench/raw_bench_image.py" lay "$data" "$img" --seed 28 > "$work/copies.tsv"
# Zeros at the end, so the last sample is followed by free space too.
truncate -s $(( $(stat -c %s "$img") + 64 * 512 )) "$img"
echo "image: $(stat -c %s "$img") bytes, $(wc -l < "$work/samples.tsv") samples, $((fat_copies + 1)) copies of each"

# The raw search alone, with its engine log on standard error.
if ! "$scan" --deep --searchers raw --verbose --recover "$work/quillory" "$img" > "$work/quillory.list" 2> "$work/quillory.log"; then
    echo "raw_recall.sh: quillory-scan failed: $(tail -n 3 "$work/quillory.log")" >&2
    exit 1
fi
grep '^scanned' "$work/quillory.list" || true

(cd "$work" && photorec /log /d "$work/photorec" /cmd "$img" \
    partition_none,options,paranoid,fileopt,everything,enable,wholespace,search > "$work/photorec.out" 2>&1) || {
    echo "raw_recall.sh: photorec failed: $(tail -n 3 "$work/photorec.out")" >&2
    exit 1
}

python3 - "$data" "$work" "$fat_copies" <<'PY'
import hashlib, os, re, sys
data, work, fat_copies = sys.argv[1], sys.argv[2], int(sys.argv[3])
SECTOR = 512
# Formats PhotoRec also recovers, under their own extension or another (the
# format tables of the raw issues' notes; CUR, DMG, HLP, M4A-in-list and the
# like are left out): the total over these compares the two tools like for
# like. Extensions as the manifests spell them, upper case.
BOTH = set("""
    PNG GIF BMP ICO ICNS EMF WMF MRW
    JPG TIF CR2 CRW NEF DNG RAF X3F SR2 ARW RW2 RAW DCR KDC PEF ORF PSD PSP SVG
    MP3 WAV AIFF APE AU MID OGG WMA ASF WMV AVI ANI MOV MP4 M4A M4V 3GP MPG MKV FLV M2TS MXF RM RMVB SWF MLV
    PDF EPS AI DOC XLS PPT DOCX XLSX PPTX ODT ODS ODP RTF PAGES KEY NUMBERS EPUB MOBI HTM MPP AAF ADP SHW WPD
    MOF VSD PUB QPW IPT MAX ONE
    ZIP RAR GZ TAR CAB LZH SIT PKG IPA OLM TAX CDR CHM
    PST DBX MDB ACCDB MBOX DWG DXF 3DS TTF INDD FH11 ITL JKS PLIST GPX SIB AEP FCPEVENT ABCDDB MUSE SKETCH
""".split())


def digest(b):
    return hashlib.sha256(b).hexdigest()


rows = []
for line in open(os.path.join(work, 'samples.tsv')):
    path, typ, size, ext, rounds = line.rstrip('\n').split('\t')
    body = open(os.path.join(data, path), 'rb').read()
    rows.append(dict(path=path, type=int(typ), size=int(size), ext=ext.upper(), rounds=rounds == '1', body=body))
laid = dict(l.rstrip('\n').split('\t') for l in open(os.path.join(work, 'copies.tsv')))
for r in rows:
    r['copies'] = int(laid.get(r['path'], 0)) + fat_copies


def files_under(top, keep=lambda p: True):
    out = []
    for d, _, names in os.walk(top):
        for n in names:
            p = os.path.join(d, n)
            if keep(p) and os.path.isfile(p):
                out.append(open(p, 'rb').read())
    return out


# The label tree repeats files of the raw tree under the same name, but a
# tagged file (a camera's photo, a song with its artist, a document with its
# author) may be filed there only: each name counts once.
by_name = {}
for label in (False, True):
    for d, _, names in os.walk(os.path.join(work, 'quillory')):
        if ('(Label RAW Files)' in d) != label or 'RAW Files)' not in d:
            continue
        for n in names:
            if n not in by_name:
                by_name[n] = open(os.path.join(d, n), 'rb').read()
quillory = list(by_name.values())
photorec = []
for d in sorted(os.listdir(work)):
    if d.startswith('photorec.') and os.path.isdir(os.path.join(work, d)):
        photorec += files_under(os.path.join(work, d), lambda p: not p.endswith('report.xml'))
q_hash, p_hash = {}, {}
for b in quillory:
    q_hash[digest(b)] = q_hash.get(digest(b), 0) + 1
for b in photorec:
    p_hash[digest(b)] = p_hash.get(digest(b), 0) + 1

losses = {}
for m in re.finditer(r'raw search: (\d+) evicted (\S+) candidates could not be sized',
                     open(os.path.join(work, 'quillory.log'), errors='replace').read()):
    losses[m.group(2).upper()] = losses.get(m.group(2).upper(), 0) + int(m.group(1))

table = {}
failures = []
for r in rows:
    body, n = r['body'], r['copies']
    exact = min(n, q_hash.get(digest(body), 0))
    # The sample and then zeros, less than a sector of them: the rounding
    # some formats' rules give, or the zero bytes an end rule takes in.
    rounded = min(n - exact, sum(1 for b in quillory
                                 if len(body) < len(b) < len(body) + SECTOR and b.startswith(body)
                                 and not b[len(body):].strip(b'\0')))
    p_exact = min(n, p_hash.get(digest(body), 0))
    p_inside = min(n - p_exact, sum(1 for b in photorec if len(b) > len(body) and body in b))
    if r['type'] == 0:
        key = r['path'] + ' (type 0)'
        if exact or any(b.startswith(body) for b in quillory):
            failures.append(f'{r["path"]}: its manifest says it is not found, but quillory-scan wrote it')
    else:
        key = f'{r["ext"]} ({r["type"]})'
    t = table.setdefault(key, dict(samples=0, q=0, qr=0, p=0, pi=0, ext=r['ext'], type=r['type']))
    t['samples'] += n
    t['q'] += exact
    t['qr'] += rounded
    t['p'] += p_exact
    t['pi'] += p_inside

head = f'{"format":<28}{"samples":>8}{"quillory":>9}{"+zeros":>8}{"photorec":>9}{"inside":>8}{"evicted":>8}'
print(head)
print('-' * len(head))
total = dict(samples=0, q=0, qr=0, p=0, pi=0, lost=0)
both = dict(total)
for key in sorted(table):
    t = table[key]
    lost = losses.pop(t['ext'], 0) if t['type'] else 0
    print(f'{key:<28}{t["samples"]:>8}{t["q"]:>9}{t["qr"]:>8}{t["p"]:>9}{t["pi"]:>8}{lost:>8}')
    if t['type'] == 0:
        continue
    for acc in (total, both) if t['ext'] in BOTH else (total,):
        for k in ('samples', 'q', 'qr', 'p', 'pi'):
            acc[k] += t[k]
        acc['lost'] += lost
for ext, n in sorted(losses.items()):
    print(f'{"(other) " + ext:<28}{"":>8}{"":>9}{"":>8}{"":>9}{"":>8}{n:>8}')
    total['lost'] += n
print('-' * len(head))
for name, acc in (('total', total), ('total, formats both support', both)):
    print(f'{name:<28}{acc["samples"]:>8}{acc["q"]:>9}{acc["qr"]:>8}{acc["p"]:>9}{acc["pi"]:>8}{acc["lost"]:>8}')
print(f'quillory-scan wrote {len(quillory)} raw files, PhotoRec {len(photorec)}')
for f in failures:
    print('FAIL: ' + f)
sys.exit(1 if failures else 0)
PY
