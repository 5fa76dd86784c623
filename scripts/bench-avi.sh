#!/usr/bin/env bash
# The AVI reader beside ffmpeg, in one run:
#  - every frame of a 20-second 640 x 480 25 fps Motion JPEG movie and of an MS Video 1 one,
#    loaded in order through the reader (kv_bench_avi), against `ffmpeg -threads 1 -i IN -f null -`;
#    target: at most 1.2 times ffmpeg's time;
#  - opening and closing a 2 GiB OpenDML movie; target: at most 200 ms;
#  - the last frame of a 10-minute 320 x 240 MPEG-4 movie with key frames every 250 frames,
#    loaded straight after the first; target: at most the time of decoding its last key
#    interval in order plus 20 ms (both measured).
#
# Usage: scripts/bench-avi.sh [BUILD_DIR]     (default: build)
#
# ffmpeg's times are wall-clock seconds of the whole command (start-up included), the fastest of
# RUNS; the reader's are kv_bench_avi's means. The files need about 2.5 GB in the temporary
# folder and are removed at the end.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
RUNS=${RUNS:-3}

for tool in ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-avi: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kv_bench_avi >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
FF="ffmpeg -v error -nostdin -y"

echo "Making the files in $WORK ..." >&2
$FF -f lavfi -i testsrc2=size=640x480:rate=25:duration=20 -c:v mjpeg -q:v 3 "$WORK/mjpg.avi"
$FF -f lavfi -i testsrc2=size=640x480:rate=25:duration=20 -c:v msvideo1 "$WORK/msvc.avi"
$FF -f lavfi -i testsrc2=size=320x240:rate=25:duration=600 -c:v mpeg4 -q:v 4 -g 250 -bf 0 \
    -sc_threshold 1000000000 "$WORK/long.avi"
# 2 GiB of uncompressed 1080p frames: an OpenDML file of several RIFF pieces.
$FF -f lavfi -i color=c=teal:size=1920x1080:rate=25 -frames:v 350 -c:v rawvideo -pix_fmt bgr24 \
    "$WORK/big.avi"

source "$ROOT/scripts/bench-common.sh"

echo "Timing ffmpeg ..." >&2
ff_mjpg=$(best ffmpeg -v error -nostdin -threads 1 -i "$WORK/mjpg.avi" -f null -)
ff_msvc=$(best ffmpeg -v error -nostdin -threads 1 -i "$WORK/msvc.avi" -f null -)

echo "Timing the reader ..." >&2
KV_BENCH_DIR="$WORK" "$BUILD/bench/kv_bench_avi" --benchmark_format=json >"$WORK/avi.json"

python3 - "$ff_mjpg" "$ff_msvc" "$WORK/avi.json" <<'PY'
import json, sys
ff = {"Mjpeg640x480": float(sys.argv[1]), "Video1_640x480": float(sys.argv[2])}
res = {}
for b in json.load(open(sys.argv[3]))["benchmarks"]:
    if b.get("error_occurred"):
        print(f"{b['name']}: {b.get('error_message', 'failed')}")
        continue
    unit = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}[b["time_unit"]]
    res[b["name"].split("/")[0]] = (b["real_time"] * unit, b)
print("Every frame of a 20 s 640 x 480 movie: seconds (ratio = reader / ffmpeg, target <= 1.2)")
for name, theirs in ff.items():
    key = "BM_DecodeAll_" + name
    if key in res:
        ours = res[key][0]
        print(f"  {name:<16} reader {ours:6.2f}  ffmpeg {theirs:6.2f}  ratio {ours / theirs:5.2f}")
if "BM_OpenClose_OpenDml2GiB" in res:
    print(f"Open + close of a 2 GiB OpenDML movie: {res['BM_OpenClose_OpenDml2GiB'][0] * 1e3:8.1f} ms"
          "  (target <= 200)")
ra = res.get("BM_RandomAccess_LastFrame10min")
ki = res.get("BM_DecodeLastKeyInterval10min")
if ra and ki:
    print(f"Last frame of a 10-minute movie: {ra[0] * 1e3:8.1f} ms; its key interval in order "
          f"({int(ki[1].get('frames', 0))} frames): {ki[0] * 1e3:8.1f} ms  "
          f"(target <= {ki[0] * 1e3 + 20:.1f})")
PY
