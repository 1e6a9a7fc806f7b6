#!/usr/bin/env bash
# Builds the optimised programs, makes a small NTFS volume with deleted files
# (the tests' own fixture script: mkntfs and ntfs-3g) and quick-scans it.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/bench.sh
tests/fixtures/make_ntfs_images.sh build-bench/demo
build-bench/cli/quillory-scan --quick build-bench/demo/ntfs_basic.img
