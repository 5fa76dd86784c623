#!/usr/bin/env bash
# Composing every frame of a 640 x 480, 100-frame animated GIF, beside ffmpeg's GIF decoder on the
# same file (target: ours at least as fast).
#
# Usage: scripts/bench-gif.sh [BUILD_DIR]     (default: build; builds kv_bench_gif)
#
# The file: ffmpeg's testsrc2 pattern, 4 s at 25 frames per second, through palettegen and
# paletteuse; ffmpeg's encoder stores the first frame whole and each later one as the rectangle
# that changed, with transparency for unchanged pixels.
#
# ffmpeg timing: processor time (user + system) of one process decoding the file once and
# 1 + REPEAT times (-stream_loop; the null muxer takes the decoded frames without converting
# them); the difference divided by REPEAT is one pass, free of start-up and probing. The fastest
# of RUNS is kept. Ours: the median of kv_bench_gif's repetitions (processor time).

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
BENCH="$BUILD/bench/kv_bench_gif"
REPEAT=${REPEAT:-10}
RUNS=${RUNS:-3}

for tool in ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-gif: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kv_bench_gif >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "Making the animation in $WORK ..." >&2
# A bounded source: palettegen waits for the end of its input.
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=640x480:rate=25:duration=4" \
    -filter_complex "[0]split[a][b];[a]palettegen[p];[b][p]paletteuse" "$WORK/anim.gif"

echo "Running $BENCH ..." >&2
KV_BENCH_DIR="$WORK" "$BENCH" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$WORK/ours.json"

# Fastest processor time in ns of one ffmpeg process decoding the file LOOPS times.
ffmpeg_ns() {
    local loops=$1 best= t i
    local TIMEFORMAT='%3U %3S'
    for ((i = 0; i < RUNS; i++)); do
        t=$({ time ffmpeg -v error -nostdin -threads 1 -stream_loop $((loops - 1)) -i "$WORK/anim.gif" \
            -f null - </dev/null 2>/dev/null; } 2>&1)
        t=$(awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%d\n", (f[1] + f[2]) * 1e9 }')
        if [[ -z $best || $t -lt $best ]]; then best=$t; fi
    done
    echo "$best"
}
echo "Timing ffmpeg ..." >&2
one=$(ffmpeg_ns 1)
many=$(ffmpeg_ns $((REPEAT + 1)))

python3 - "$WORK/ours.json" "$one" "$many" "$REPEAT" <<'PY'
import json, sys
ours = None
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("error_occurred"):
        sys.exit("kv_bench_gif: " + b.get("error_message", "failed"))
    if b["name"].endswith("_median"):
        ours = b["cpu_time"]  # milliseconds
theirs = (int(sys.argv[3]) - int(sys.argv[2])) / int(sys.argv[4]) / 1e6
print("640 x 480, 100 frames: processor time per pass in ms (ratio = ours / ffmpeg)")
print(f"{'ours':>8} {'ffmpeg':>8} {'ratio':>6}")
print(f"{ours:8.1f} {theirs:8.1f} {ours / theirs:6.2f}")
PY
