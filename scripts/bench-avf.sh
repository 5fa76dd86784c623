#!/usr/bin/env bash
# The media layer on today's containers, in one run:
#  - every frame of a 10-second 1920 x 1080 H.264 MP4 delivered in order as 24-bit pictures
#    (kv_bench_avmedia), against `ffmpeg -i IN -f null -` with the same (automatic) thread count;
#    target: at most 1.15 times ffmpeg's time. ffmpeg's time with 24-bit output is shown too;
#  - opening a 2-hour MP4 and a 2-hour Matroska movie; target: at most 200 ms; and its second
#    hour cut out by a stream copy (an edit list that cuts pictures and sound);
#  - a frame in the middle of the 2-hour movies right after opening them, beside the decoding
#    of the key interval it needs; target: at most that interval plus 50 ms.
#
# Usage: scripts/bench-avf.sh [BUILD_DIR]     (default: build)
#
# Every figure is the fastest of RUNS runs (default 3), ffmpeg's and ours alike. KV_BENCH_DIR
# names a folder that keeps the files between runs (made there when missing).
#
# The 2-hour movie is a 160 x 120 H.264 + AAC encode (about a minute to make), as Matroska and
# remuxed into MP4. The files need about 650 MB in the temporary folder and are removed at the
# end.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
RUNS=${RUNS:-3}

for tool in ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-avf: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kv_bench_avmedia >/dev/null

if [[ -n ${KV_BENCH_DIR:-} ]]; then
    WORK=$KV_BENCH_DIR
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
fi
FF="ffmpeg -v error -nostdin -y"

if [[ ! -s $WORK/hd.mp4 || ! -s $WORK/long.mkv || ! -s $WORK/long.mp4 ]]; then
    echo "Making the files in $WORK ..." >&2
    $FF -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=10 -c:v libx264 -preset veryfast \
        -g 50 -bf 3 -pix_fmt yuv420p "$WORK/hd.mp4"
    $FF -f lavfi -i testsrc2=size=160x120:rate=25:duration=7200 \
        -f lavfi -i sine=frequency=440:duration=7200:sample_rate=48000 \
        -c:v libx264 -preset ultrafast -g 50 -bf 2 -c:a aac -b:a 64k "$WORK/long.mkv"
    $FF -i "$WORK/long.mkv" -c copy "$WORK/long.mp4"
fi
# The second hour cut out by a stream copy, which keeps what it cuts for an edit list to leave out.
[[ -s $WORK/cut.mp4 ]] || $FF -ss 3600.37 -i "$WORK/long.mp4" -c copy "$WORK/cut.mp4"
ls -l "$WORK" >&2

source "$ROOT/scripts/bench-common.sh"

echo "Timing ffmpeg ..." >&2
ff_null=$(best ffmpeg -v error -nostdin -i "$WORK/hd.mp4" -f null -)
ff_bgr=$(best ffmpeg -v error -nostdin -i "$WORK/hd.mp4" -pix_fmt bgr24 -f null -)

echo "Timing the media layer ..." >&2
KV_BENCH_DIR="$WORK" "$BUILD/bench/kv_bench_avmedia" --benchmark_format=json \
    --benchmark_repetitions="$RUNS" >"$WORK/avf.json"

python3 - "$ff_null" "$ff_bgr" "$WORK/avf.json" <<'PY'
import json, sys
# The fastest of the repetitions, as for ffmpeg above.
res = {}
for b in json.load(open(sys.argv[3]))["benchmarks"]:
    if b.get("error_occurred"):
        print(f"{b['name']}: {b.get('error_message', 'failed')}")
        continue
    if b.get("run_type", "iteration") != "iteration":
        continue
    unit = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}[b["time_unit"]]
    name = b["name"].split("/")[0]
    res[name] = min(res.get(name, float("inf")), b["real_time"] * unit)
null, bgr = float(sys.argv[1]), float(sys.argv[2])
if "BM_DecodeAll_H264_1080p" in res:
    t = res["BM_DecodeAll_H264_1080p"]
    print(f"1080p H.264, every frame: layer {t:6.2f} s  ffmpeg -f null {null:6.2f} s  ratio {t / null:5.2f}"
          f"  (target <= 1.15)")
    print(f"                          ffmpeg -pix_fmt bgr24 -f null {bgr:6.2f} s  ratio {t / bgr:5.2f}")
if "BM_Convert_1080p" in res:
    print(f"one 1080p picture to 24-bit rows: {res['BM_Convert_1080p'] * 1e3:6.2f} ms")
for name, label in (("BM_Open_2h_Mp4", "open, 2-hour MP4"), ("BM_Open_2h_Mkv", "open, 2-hour Matroska"),
                    ("BM_Open_1h_Cut_Mp4", "open, 1-hour MP4 cut by a copy")):
    if name in res:
        print(f"{label:<36} {res[name] * 1e3:8.1f} ms  (target <= 200)")
key = res.get("BM_DecodeKeyInterval_2h_Mp4")
for name, label in (("BM_MiddleFrame_2h_Mp4", "open + middle frame, 2-hour MP4"),
                    ("BM_MiddleFrame_2h_Mkv", "open + middle frame, 2-hour Matroska")):
    if name in res:
        limit = f"  (target <= {key * 1e3 + 50:.1f}: key interval {key * 1e3:.1f} + 50)" if key else ""
        print(f"{label:<36} {res[name] * 1e3:8.1f} ms{limit}")
PY
