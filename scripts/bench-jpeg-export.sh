#!/usr/bin/env bash
# Exporting a 3840 x 2160 JPEG to a binary PPM: kelvora-cli export beside djpeg (target: ours at
# most 1.02 times djpeg once process start-up is taken out).
#
# Usage: scripts/bench-jpeg-export.sh [BUILD_DIR]     (default: build; builds kelvora-cli)
#
# The pictures: ffmpeg's testsrc2 pattern at 3840 x 2160 and at 8 x 8, as JPEG (-q:v 2). Each
# tool converts both to PPM in a memory-backed folder. A tool's time on the big picture minus its
# time on the tiny one is the conversion alone, free of the program's start-up (ours loads far
# more libraries than djpeg). Each time is the fastest of ROUNDS runs (best in bench-common.sh),
# in processor time (user + system, what the target is judged on: other work on the machine
# weighs little on it) and in wall time. The commands take turns, one run each per round, so that
# a change in the machine's load weighs on all of them alike. The two tools' PPM files must be
# identical.

set -euo pipefail
shopt -s inherit_errexit  # a failing run inside best's $(...) ends the script

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
CLI="$BUILD/kelvora-cli"
ROUNDS=${ROUNDS:-20}
# shellcheck source=bench-common.sh
source "$ROOT/scripts/bench-common.sh"

for tool in ffmpeg djpeg cmp python3; do
    command -v "$tool" >/dev/null || { echo "bench-jpeg-export: $tool is missing" >&2; exit 1; }
done
[[ -f $BUILD/build.ninja ]] || { echo "bench-jpeg-export: configure $BUILD first (make build)" >&2; exit 1; }
cmake --build "$BUILD" --target kelvora-cli >/dev/null
[[ -x $CLI ]] || { echo "bench-jpeg-export: $CLI was not built" >&2; exit 1; }

WORK=$(mktemp -d /dev/shm/kv-bench-jpeg.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "Making the test pictures in $WORK ..." >&2
ffmpeg -v error -f lavfi -i testsrc2=s=3840x2160 -frames:v 1 -q:v 2 "$WORK/big.jpg"
ffmpeg -v error -f lavfi -i testsrc2=s=8x8 -frames:v 1 -q:v 2 "$WORK/tiny.jpg"

# The same pixels from both tools, or the timing compares different work.
for pic in big tiny; do
    djpeg -outfile "$WORK/djpeg.ppm" "$WORK/$pic.jpg"
    "$CLI" export "$WORK/$pic.jpg" --frame 1 -o "$WORK/ours.ppm"
    cmp -s "$WORK/djpeg.ppm" "$WORK/ours.ppm" ||
        { echo "bench-jpeg-export: $pic.jpg: the PPM files differ" >&2; exit 1; }
done

# Each run writes a fresh file: truncating the last run's 24 MB is no part of the conversion.
BEFORE_RUN='rm -f "$WORK/out.ppm"'
RUNS=1
declare -A t
echo "Timing $ROUNDS rounds ..." >&2
for ((r = 0; r < ROUNDS; r++)); do
    for clock in cpu wall; do
        for pic in big tiny; do
            for tool in djpeg ours; do
                if [[ $tool = djpeg ]]; then
                    s=$(BEST_CLOCK=$clock best djpeg -outfile "$WORK/out.ppm" "$WORK/$pic.jpg")
                else
                    s=$(BEST_CLOCK=$clock best "$CLI" export "$WORK/$pic.jpg" --frame 1 -o "$WORK/out.ppm")
                fi
                key=$clock.$tool.$pic
                if [[ -z ${t[$key]:-} ]] || python3 -c "import sys; sys.exit(not $s < ${t[$key]})"; then
                    t[$key]=$s
                fi
            done
        done
    done
done

args=()
for clock in cpu wall; do
    for key in djpeg.big djpeg.tiny ours.big ours.tiny; do args+=("${t[$clock.$key]}"); done
done
python3 - "${args[@]}" <<'EOF'
import sys
v = [float(a) * 1000 for a in sys.argv[1:]]
print("JPEG 3840 x 2160 to PPM, ms (fastest run; net = big - tiny, free of start-up)")
print(f"{'clock':10} {'tool':12} {'big':>8} {'tiny':>8} {'net':>8} {'ours/djpeg':>11}")
for i, clock in enumerate(("processor", "wall")):
    djpeg_big, djpeg_tiny, ours_big, ours_tiny = v[4 * i:4 * i + 4]
    djpeg_net, ours_net = djpeg_big - djpeg_tiny, ours_big - ours_tiny
    if djpeg_net <= 0 or ours_net <= 0:
        sys.exit(f"bench-jpeg-export: no {clock} time left after start-up (djpeg {djpeg_net:.1f} "
                 f"ms, ours {ours_net:.1f} ms): the machine is too busy to measure")
    print(f"{clock:10} {'djpeg':12} {djpeg_big:8.1f} {djpeg_tiny:8.1f} {djpeg_net:8.1f}")
    print(f"{clock:10} {'kelvora-cli':12} {ours_big:8.1f} {ours_tiny:8.1f} {ours_net:8.1f} "
          f"{ours_net / djpeg_net:11.3f}")
print("target: ours/djpeg at most 1.02 in processor time (the wall time also holds the waits "
      "for a free core when the machine is busy)")
EOF
