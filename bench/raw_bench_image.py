#!/usr/bin/env python3
"""Sample lists and sample-laden image parts for the raw-search benchmarks.

  raw_bench_image.py samples DATA_DIR
      One line per committed sample of every group (DATA_DIR/*/manifest.tsv):
      group/file, type, size, extension, rounds.
  raw_bench_image.py lay DATA_DIR OUT --seed N [--bytes B] [--gap G] [--random-share P]
      Appends to OUT (made when missing) every sample at a sector boundary,
      each followed by a zero run of 1..G sectors and, with probability P, a
      seeded random run of 1..G sectors. With --bytes the samples are laid
      again and again until OUT holds B bytes (the tail is zeros); without,
      once. Prints "group/file<TAB>copies" for every sample.
"""
import argparse
import os
import random
import sys

SECTOR = 512


def samples(data):
    rows = []
    for group in sorted(os.listdir(data)):
        manifest = os.path.join(data, group, 'manifest.tsv')
        if not os.path.isfile(manifest):
            continue
        with open(manifest) as f:
            lines = f.read().splitlines()[1:]
        for line in lines:
            if not line.strip():
                continue
            cells = (line.split('\t') + [''] * 7)[:7]
            name, typ, size, pattern, _, _, rounds = cells
            ext = pattern.rsplit('.', 1)[1] if '.' in pattern else ''
            rows.append((f'{group}/{name}', int(typ), int(size), ext, rounds == '1'))
    return rows


def lay(args):
    rows = samples(args.data)
    if not rows:
        sys.exit(f'no samples under {args.data}')
    bodies = []
    for path, *_ in rows:
        with open(os.path.join(args.data, path), 'rb') as f:
            body = f.read()
        bodies.append(body + bytes(-len(body) % SECTOR))
    rng = random.Random(args.seed)
    copies = [0] * len(rows)
    with open(args.out, 'ab') as out:
        written = out.tell()
        if written % SECTOR:
            out.write(bytes(-written % SECTOR))
            written = out.tell()
        budget = args.bytes
        chunk = []
        chunk_bytes = 0
        done = False
        while not done:
            for k, body in enumerate(bodies):
                gap = bytes(SECTOR * rng.randint(1, args.gap))
                rand = b''
                if rng.random() < args.random_share:
                    rand = rng.randbytes(SECTOR * rng.randint(1, args.gap))
                need = len(body) + len(gap) + len(rand)
                if budget is not None and written + chunk_bytes + need > budget:
                    done = True
                    break
                chunk += [body, gap, rand]
                chunk_bytes += need
                copies[k] += 1
                if chunk_bytes >= 1 << 24:
                    out.write(b''.join(chunk))
                    written += chunk_bytes
                    chunk, chunk_bytes = [], 0
            if budget is None:
                done = True
            elif sum(copies) == 0:
                sys.exit('--bytes leaves no room for the samples')
        out.write(b''.join(chunk))
        written += chunk_bytes
        if budget is not None and written < budget:
            out.truncate(budget)
    for (path, *_), n in zip(rows, copies):
        print(f'{path}\t{n}')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest='cmd', required=True)
    p = sub.add_parser('samples')
    p.add_argument('data')
    p = sub.add_parser('lay')
    p.add_argument('data')
    p.add_argument('out')
    p.add_argument('--seed', type=int, required=True)
    p.add_argument('--bytes', type=int)
    p.add_argument('--gap', type=int, default=8)
    p.add_argument('--random-share', type=float, default=0.5)
    args = parser.parse_args()
    if args.cmd == 'samples':
        for path, typ, size, ext, rounds in samples(args.data):
            print(f'{path}\t{typ}\t{size}\t{ext}\t{int(rounds)}')
    else:
        if args.gap < 1:
            sys.exit('--gap must be at least 1')
        lay(args)


if __name__ == '__main__':
    main()
