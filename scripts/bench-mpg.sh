#!/usr/bin/env bash
# The MPEG reader beside its peers, in one run:
#  - every frame of a 20-second 640 x 480 25 fps MPEG-1 system stream loaded in order through
#    the reader (kv_bench_mpg), against `ffmpeg -threads 1 -i IN -f null -`; target: at most
#    1.2 times ffmpeg's time;
#  - a 10-minute MP3 decoded whole through the reader, against `mpg123 -w OUT.wav`; target: at
#    most 1.2 times mpg123's time;
#  - the description of a 200 MB MPEG-1 system stream; target: at most 300 ms;
#  - on a 10-minute MPEG-1 stream: the last frame, and then frame 1 again; target: at most
#    150 ms each (opening the file, which reads all its packets once, is shown apart).
#
# Usage: scripts/bench-mpg.sh [BUILD_DIR]     (default: build)
#
# The peers' times are wall-clock seconds of the whole command, the fastest of RUNS; the
# reader's are kv_bench_mpg's means. The files need about 350 MB in the temporary folder and
# are removed at the end.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
RUNS=${RUNS:-3}

for tool in ffmpeg mpg123 python3; do
    command -v "$tool" >/dev/null || { echo "bench-mpg: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kv_bench_mpg >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
FF="ffmpeg -v error -nostdin -y"

echo "Making the files in $WORK ..." >&2
$FF -f lavfi -i testsrc2=size=640x480:rate=25:duration=20 -f lavfi -i sine=frequency=440:duration=20 \
    -c:v mpeg1video -b:v 4M -c:a mp2 -f mpeg "$WORK/play.mpg"
$FF -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=600" -ac 2 -c:a libmp3lame -b:a 192k \
    "$WORK/long.mp3"
$FF -f lavfi -i testsrc2=size=352x288:rate=25:duration=600 -f lavfi -i sine=frequency=440:duration=600 \
    -c:v mpeg1video -b:v 1150k -g 15 -c:a mp2 -b:a 224k -f mpeg "$WORK/long.mpg"
# About 200 MB: the 10-minute stream at a higher rate.
$FF -f lavfi -i testsrc2=size=352x288:rate=25:duration=600 -f lavfi -i sine=frequency=440:duration=600 \
    -c:v mpeg1video -b:v 2500k -maxrate 2500k -bufsize 1M -minrate 2500k -g 15 -c:a mp2 -b:a 224k \
    -f mpeg "$WORK/big.mpg"
ls -l "$WORK" >&2

source "$ROOT/scripts/bench-common.sh"

echo "Timing the peers ..." >&2
ff_play=$(best ffmpeg -v error -nostdin -threads 1 -i "$WORK/play.mpg" -f null -)
mpg_long=$(best mpg123 -q -w "$WORK/long.wav" "$WORK/long.mp3")

echo "Timing the reader ..." >&2
KV_BENCH_DIR="$WORK" "$BUILD/bench/kv_bench_mpg" --benchmark_format=json >"$WORK/mpg.json"

python3 - "$ff_play" "$mpg_long" "$WORK/mpg.json" "$(stat -c %s "$WORK/big.mpg")" <<'PY'
import json, sys
res = {}
for b in json.load(open(sys.argv[3]))["benchmarks"]:
    if b.get("error_occurred"):
        print(f"{b['name']}: {b.get('error_message', 'failed')}")
        continue
    unit = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}[b["time_unit"]]
    res[b["name"].split("/")[0]] = b["real_time"] * unit
def ratio(name, theirs, peer):
    if name in res:
        print(f"  {name:<34} reader {res[name]:6.2f} s  {peer} {theirs:6.2f} s  ratio {res[name] / theirs:5.2f}  (target <= 1.2)")
print("Decoding whole streams:")
ratio("BM_DecodeAll_Mpeg1_640x480", float(sys.argv[1]), "ffmpeg")
ratio("BM_SoundAll_Mp3_10min", float(sys.argv[2]), "mpg123")
if "BM_Info_System200MB" in res:
    print(f"Description of a {int(sys.argv[4]) / 1e6:.0f} MB system stream: "
          f"{res['BM_Info_System200MB'] * 1e3:8.1f} ms  (target <= 300)")
for name, label in (("BM_OpenAndLastFrame_10min", "open + last frame"),
                    ("BM_LastFrameAfterFirst_10min", "last frame after frame 1"),
                    ("BM_FirstFrameAfterLast_10min", "frame 1 after the last")):
    if name in res:
        print(f"10-minute stream, {label:<26} {res[name] * 1e3:8.1f} ms  (target <= 150 for the last two)")
PY
