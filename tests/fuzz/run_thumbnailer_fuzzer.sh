#!/bin/bash
# Builds the previews' decoder libFuzzer target with clang and runs it for a
# fixed time.
#   tests/fuzz/run_thumbnailer_fuzzer.sh [SECONDS] [BUILD_DIR]
# Seeds are the preview fixtures (make_thumb_samples.sh), each behind the
# byte that picks its road: 0 picture, 1 camera raw, 2 video.
# Every input is decoded under a time limit (-timeout: one input taking
# longer is a finding) and an allocation limit (-malloc_limit_mb: one
# allocation past it is a finding; the decoders' own caps are 256 MiB).
# Not part of the CI test command.
set -euo pipefail
cd "$(dirname "$0")/../.."
secs=${1:-60}
build=${2:-build-fuzz}
tests/fuzz/build_targets.sh "$build" fuzz_thumbnailer

corpus="$build/corpus/thumbnailer"
samples="$build/corpus/thumbnailer-samples"
mkdir -p "$corpus"
tests/fixtures/make_thumb_samples.sh "$samples"
seed() { { printf "\\x$1"; cat "$samples/$2"; } > "$corpus/$3"; }
seed 00 x.png picture-png
seed 00 x.jpg picture-jpg
seed 00 huge.png picture-huge-png
seed 01 camera.dng raw-dng
seed 01 x.jpg raw-jpg
seed 02 clip.mp4 video-mp4
seed 02 clip.mov video-mov
seed 02 clip.avi video-avi
seed 02 cut.mp4 video-cut-mp4
# GLib (loaded for Qt and the decoders' libraries) keeps per-thread blocks
# that the leak checker can catch while a decoder's thread is ending; they
# are no leak of the code under test.
supp="$build/thumbnailer.lsan.supp"
printf 'leak:libglib-2.0.so\n' > "$supp"
LSAN_OPTIONS="suppressions=$supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
"$build/tests/fuzz/fuzz_thumbnailer" -max_total_time="$secs" -print_final_stats=1 -rss_limit_mb=2048 \
    -malloc_limit_mb=1024 -timeout=10 \
    -artifact_prefix="$build/thumbnailer-" "$corpus"
