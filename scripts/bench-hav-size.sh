#!/usr/bin/env bash
# Sizes of one clip in HAV next to ffmpeg's lossless animation codecs.
#
# The clip is the 640 x 480 scene of bench/bench_hav.cpp (300 frames, 25 per second), written
# by kv_bench_hav both as HAV (BEST, BEST-P, FAST; a key frame every 25 frames) and as raw BGR24
# frames piped into ffmpeg for QuickTime Animation (qtrle) and Zip Motion Blocks Video (zmbv),
# both with a key frame every 25 frames too. Each result is checked to decode back to the same
# frames (ffmpeg's framemd5 against the raw input).
#
# Usage: scripts/bench-hav-size.sh [BUILD_DIR] [FRAMES] [--pan]
#   BUILD_DIR  where kv_bench_hav was built (default: build)
#   FRAMES     clip length (default: 300)
#   --pan      the variant in which the whole landscape pans a pixel a frame
set -euo pipefail

build=${1:-build}
frames=${2:-300}
pan=${3:-}
bench="$build/bench/kv_bench_hav"
[ -x "$bench" ] || { echo "bench-hav-size: $bench not found (build the benchmarks first)" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "bench-hav-size: ffmpeg not found" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
raw() { "$bench" --write-raw "$frames" $pan; }
input=(-f rawvideo -pix_fmt bgr24 -s 640x480 -r 25 -i -)

for codec in best best-p fast; do
  "$bench" --write-hav "$tmp/clip-$codec.hav" "$codec" "$frames" $pan
done
raw | ffmpeg -v error "${input[@]}" -c:v qtrle -g 25 "$tmp/clip-qtrle.mov"
raw | ffmpeg -v error "${input[@]}" -c:v zmbv -pix_fmt bgr0 -g 25 "$tmp/clip-zmbv.avi"

# Lossless check of the ffmpeg files: same frame checksums as the raw input.
raw | ffmpeg -v error "${input[@]}" -f framemd5 -pix_fmt bgr24 - | grep -v '^#' | cut -d, -f6 > "$tmp/raw.md5"
for f in clip-qtrle.mov clip-zmbv.avi; do
  ffmpeg -v error -i "$tmp/$f" -f framemd5 -pix_fmt bgr24 - | grep -v '^#' | cut -d, -f6 > "$tmp/$f.md5"
  cmp -s "$tmp/raw.md5" "$tmp/$f.md5" || echo "bench-hav-size: $f does not decode to the input" >&2
done

rawsize=$((640 * 480 * 3 * frames))
printf '%-22s %12s %9s %12s\n' "file" "bytes" "of raw" "per frame"
for f in clip-best.hav clip-best-p.hav clip-fast.hav clip-qtrle.mov clip-zmbv.avi; do
  size=$(stat -c %s "$tmp/$f")
  printf '%-22s %12d %8.2f%% %12d\n' "$f" "$size" "$(echo "100 * $size / $rawsize" | bc -l)" $((size / frames))
done
printf '%-22s %12d %8.2f%% %12d\n' "raw BGR24" "$rawsize" 100 $((rawsize / frames))
