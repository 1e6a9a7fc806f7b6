#!/bin/bash
# Recall of the film and container formats against PhotoRec (testdisk):
# Lays the video samples into one image (4 KiB aligned, zero gaps), runs
# PhotoRec and quillory-scan's raw search on it, and counts the samples each
# recovers byte-exact (RIFF family: the sample plus its sector padding counts).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD/tests/data/raw/video
scan=${1:?usage: raw_video_recall.sh QUILLORY_SCAN [WORKDIR]}
w=${2:-/tmp/quillory-video-recall}
rm -rf $w/img $w/pr $w/q; mkdir -p $w $w/pr $w/q
python3 - $src $w/img <<'PY'
import os, sys
src, img = sys.argv[1], sys.argv[2]
out = bytearray(8192)
for line in open(os.path.join(src, 'manifest.tsv')).read().splitlines()[1:]:
    name = line.split('\t')[0]
    b = open(os.path.join(src, name), 'rb').read()
    out += b + bytes((4096 - len(b) % 4096) % 4096 + 8192)
open(img, 'wb').write(out)
PY
(cd $w && photorec /log /d $w/pr/r /cmd $w/img partition_none,options,paranoid,search > /dev/null 2>&1) || true
"$scan" --deep --searchers raw --recover $w/q --all $w/img > $w/q.list 2>/dev/null || true
python3 - $src $w/pr $w/q <<'PY'
import os, sys, hashlib
src, pr, q = sys.argv[1:4]
def files(d):
    for root, _, names in os.walk(d):
        for n in names:
            yield os.path.join(root, n)
def digests(d):
    return {hashlib.sha1(open(p, 'rb').read()).hexdigest() for p in files(d)}
prd, qd = digests(pr), digests(q)
rows = [l.split('\t') for l in open(os.path.join(src, 'manifest.tsv')).read().splitlines()[1:]]
pc = qc = 0
for r in rows:
    b = open(os.path.join(src, r[0]), 'rb').read()
    forms = {hashlib.sha1(b).hexdigest()}
    for pad in (512, 4096):
        forms.add(hashlib.sha1(b + bytes((pad - len(b) % pad) % pad)).hexdigest())
    if r[0] == 'compressed.swf':
        forms.add(hashlib.sha1(b + bytes(int(r[2]) - len(b))).hexdigest())
    p, qq = bool(forms & prd), bool(forms & qd)
    pc += p; qc += qq
    print(f'{r[0]:16} photorec={"yes" if p else "no ":3} quillory={"yes" if qq else "no"}')
print(f'byte-exact: photorec {pc}/{len(rows)}, quillory {qc}/{len(rows)}')
PY
