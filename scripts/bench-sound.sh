#!/usr/bin/env bash
# Sound decoding beside independent decoders, in one run:
#  - a 10-minute 44.1 kHz stereo IMA ADPCM WAV to a PCM WAV: `kelvora-cli export --sound`
#    against `ffmpeg -i IN OUT.wav`;
#  - a 10-minute Ogg Vorbis file to a PCM WAV: `kelvora-cli export --sound` against `oggdec`;
#  - 100 random seeks, each followed by a one-second load, on one-hour WAV files (kv_bench_sound).
# Target: exports at most 1.2 times the other decoder's time; a seek and load at most 5 ms.
#
# Usage: scripts/bench-sound.sh [BUILD_DIR]     (default: build)
#
# Times are wall-clock seconds of whole commands (start-up included on both sides), the fastest
# of RUNS, each decoder single-threaded, the output on the same disk.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
RUNS=${RUNS:-3}
CLI="$BUILD/kelvora-cli"

for tool in ffmpeg sox oggenc oggdec python3; do
    command -v "$tool" >/dev/null || { echo "bench-sound: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kelvora-cli kv_bench_sound >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "Making the files in $WORK ..." >&2
sox -n -r 44100 -c 2 -b 16 "$WORK/ten.wav" synth 600 sine 300-3000 sine 440 vol 0.5
sox "$WORK/ten.wav" -e ima-adpcm "$WORK/ten-ima.wav"
oggenc -Q -q 5 -o "$WORK/ten.ogg" "$WORK/ten.wav"
sox -n -r 44100 -c 2 -b 16 "$WORK/hour-pcm.wav" synth 3600 sine 300-3000 sine 440 vol 0.5
sox "$WORK/hour-pcm.wav" -e ima-adpcm "$WORK/hour-ima.wav"
rm "$WORK/ten.wav"

source "$ROOT/scripts/bench-common.sh"
BEFORE_RUN='rm -f "$WORK/out.wav"'

echo "Timing the exports ..." >&2
ours_ima=$(best "$CLI" export "$WORK/ten-ima.wav" --sound -o "$WORK/out.wav")
ffmpeg_ima=$(best ffmpeg -v error -nostdin -threads 1 -y -i "$WORK/ten-ima.wav" "$WORK/out.wav")
ours_ogg=$(best "$CLI" export "$WORK/ten.ogg" --sound -o "$WORK/out.wav")
oggdec_ogg=$(best oggdec -Q -o "$WORK/out.wav" "$WORK/ten.ogg")

echo "Timing seeks and loads ..." >&2
KV_BENCH_DIR="$WORK" "$BUILD/bench/kv_bench_sound" --benchmark_format=json >"$WORK/seek.json"

python3 - "$ours_ima" "$ffmpeg_ima" "$ours_ogg" "$oggdec_ogg" "$WORK/seek.json" <<'PY'
import json, sys
oi, fi, oo, do = map(float, sys.argv[1:5])
print("10-minute 44.1 kHz stereo files to a PCM WAV: wall seconds (ratio = ours / theirs)")
print(f"{'file':<14} {'ours':>7} {'theirs':>7} {'ratio':>6}")
print(f"{'IMA ADPCM WAV':<14} {oi:7.2f} {fi:7.2f} {oi / fi:6.2f}   (ffmpeg)")
print(f"{'Ogg Vorbis':<14} {oo:7.2f} {do:7.2f} {oo / do:6.2f}   (oggdec)")
print("One-hour WAV, random seek + 1 s load: ms each")
for b in json.load(open(sys.argv[5]))["benchmarks"]:
    if b.get("error_occurred"):
        sys.exit("kv_bench_sound: " + b.get("error_message", "failed"))
    print(f"{b['name']:<40} {b['real_time']:7.2f}")
PY
