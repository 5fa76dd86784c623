#!/usr/bin/env bash
# Still-image reader throughput beside an independent decoder.
#
# Usage: scripts/bench-readers.sh [BUILD_DIR]     (default: build)
#
# Makes 1920 x 1080 test pictures from ffmpeg's mandelbrot source (BMP 24-bit, TGA RLE, PCX,
# SGI RLE, Sun raster RLE and PNM by ffmpeg; BMP RLE8 by ImageMagick, without dithering so that
# the runs are real) and a 512 x 384 colour Bayer file, runs kv_bench_readers on them and times
# ffmpeg decoding the same files.
#
# ffmpeg timing: the image demuxer's -loop 1 makes one ffmpeg process read and decode the same
# file again and again. Each file is decoded 1 time and 1 + REPEAT times (the null muxer takes
# the decoded frames without converting them); the difference divided by REPEAT is the time of
# one read-and-decode, free of the program's start-up, probing and the first read. Each run is
# repeated RUNS times and the fastest is kept.
#
# The Bayer format has no independent decoder: only our time is shown.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
BENCH="$BUILD/bench/kv_bench_readers"
REPEAT=${REPEAT:-20}
RUNS=${RUNS:-3}

for tool in ffmpeg convert python3; do
    command -v "$tool" >/dev/null || { echo "bench-readers: $tool is missing" >&2; exit 1; }
done
[[ -x $BENCH ]] || { echo "bench-readers: build $BENCH first" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "Making the test pictures in $WORK ..." >&2
ffmpeg -v error -f lavfi -i mandelbrot=size=1920x1080:end_pts=1 -frames:v 1 "$WORK/src.png"
make_ff() { ffmpeg -v error -y -i "$WORK/src.png" "$@"; }
make_ff -pix_fmt bgr24 "$WORK/bmp24.bmp"
convert "$WORK/src.png" +dither -colors 256 -compress RLE BMP3:"$WORK/rle8.bmp"
make_ff -pix_fmt bgr24 -rle 1 "$WORK/rle24.tga"
make_ff -pix_fmt rgb24 "$WORK/rgb24.pcx"
make_ff -pix_fmt rgb24 -rle 1 "$WORK/rle3.sgi"
make_ff -c:v sunrast -pix_fmt bgr24 -rle 1 -f image2 "$WORK/rle24.ras"
make_ff -pix_fmt rgb24 "$WORK/p6.ppm"

# Bayer: the picture at 512 x 384 sampled through the mosaic (green at even/even and odd/odd,
# red at even row/odd column, blue at odd row/even column), stored in 2 x 2 blocks, then the
# trailer of a colour file.
ffmpeg -v error -i "$WORK/src.png" -vf scale=512:384 -pix_fmt rgb24 -f rawvideo "$WORK/small.rgb"
python3 - "$WORK/small.rgb" "$WORK/colour.bay" <<'EOF'
import sys
W, H = 512, 384
rgb = open(sys.argv[1], "rb").read()
def at(y, x):
    chan = 1 if (y + x) % 2 == 0 else (0 if y % 2 == 0 else 2)  # green, red, blue
    return rgb[(y * W + x) * 3 + chan]
out = bytearray()
for r in range(H // 2):
    for c in range(W // 2):
        y, x = 2 * r, 2 * c
        out += bytes((at(y, x), at(y, x + 1), at(y + 1, x), at(y + 1, x + 1)))
trailer = bytearray(1024)
trailer[0:8] = b"EK BAY 2"
trailer[8] = 1   # colour
trailer[11] = 2  # exposure code
open(sys.argv[2], "wb").write(out + trailer)
EOF

echo "Running $BENCH ..." >&2
KV_BENCH_READERS_DIR="$WORK" "$BENCH" --benchmark_format=json --benchmark_min_time=1 \
    >"$WORK/ours.json"

now_ns() { date +%s%N; }
# Fastest wall time in ns of ffmpeg decoding FILE N times in one process.
ffmpeg_ns() {
    local file=$1 n=$2 best= t0 t1 i
    for ((i = 0; i < RUNS; i++)); do
        t0=$(now_ns)
        ffmpeg -v error -nostdin -loop 1 -i "$file" -frames:v "$n" -f null - </dev/null
        t1=$(now_ns)
        if [[ -z $best || $((t1 - t0)) -lt $best ]]; then best=$((t1 - t0)); fi
    done
    echo "$best"
}

echo "Timing ffmpeg ..." >&2
: >"$WORK/theirs.txt"
for f in bmp24.bmp rle8.bmp rle24.tga rgb24.pcx rle3.sgi rle24.ras p6.ppm; do
    one=$(ffmpeg_ns "$WORK/$f" 1)
    many=$(ffmpeg_ns "$WORK/$f" $((REPEAT + 1)))
    echo "$f $(((many - one) / REPEAT))" >>"$WORK/theirs.txt"
done

python3 - "$WORK" <<'EOF'
import json, os, sys
work = sys.argv[1]
rows = [("BMP 24-bit", "BMP_24bit", "bmp24.bmp"), ("BMP RLE8", "BMP_RLE8", "rle8.bmp"),
        ("TGA RLE 24-bit", "TGA_RLE_24bit", "rle24.tga"), ("PCX 24-bit", "PCX_24bit", "rgb24.pcx"),
        ("SGI RLE 3-channel", "SGI_RLE_3ch", "rle3.sgi"), ("Sun raster RLE", "SunRaster_RLE", "rle24.ras"),
        ("PNM P6", "PNM_P6", "p6.ppm"), ("Bayer colour 512x384", "Bayer_colour", "colour.bay")]
ours = {}
for b in json.load(open(os.path.join(work, "ours.json")))["benchmarks"]:
    name = b["name"].split("/")[1]
    ours[name] = None if b.get("error_occurred") else b["real_time"]  # milliseconds
    if b.get("error_occurred"):
        print(f"note: {name}: {b.get('error_message')}", file=sys.stderr)
theirs = {}
for line in open(os.path.join(work, "theirs.txt")):
    f, ns = line.split()
    theirs[f] = int(ns) / 1e6
print(f"{'format':22} {'file KB':>8} {'ours ms':>9} {'ffmpeg ms':>10} {'ours/ffmpeg':>12}")
for label, name, f in rows:
    kb = os.path.getsize(os.path.join(work, f)) / 1024
    o = ours.get(name)
    t = theirs.get(f)
    os_ = f"{o:9.2f}" if o is not None else f"{'failed':>9}"
    ts = f"{t:10.2f}" if t is not None else f"{'-':>10}"
    ratio = f"{o / t:12.2f}" if o is not None and t else f"{'-':>12}"
    print(f"{label:22} {kb:8.0f} {os_} {ts} {ratio}")
EOF
