#!/usr/bin/env bash
# Processor cost of playing a 10-second 1920 x 1080 25 fps BEST-P movie with 44.1 kHz stereo
# sound, side by side with ffmpeg decoding the same content in real time from a lossless AVI
# (`ffmpeg -re -i movie.avi -f null -`):
#  - the window (`kelvora /playclose=movie.hav` on Qt's offscreen platform): target at most
#    1.0 times ffmpeg's share of one core;
#  - the command line (`kelvora-cli play movie.hav`): target at most 0.5 times.
#
# Usage: scripts/bench-play-window.sh [BUILD_DIR] [WIDTHxHEIGHT]   (default: build 1920x1080)
#
# The content: ffmpeg's testsrc2 pattern and a 440 Hz tone, kept losslessly as FFV1 in AVI and
# encoded from that file by our own hav-encode. Sound goes to SDL's dummy driver, which takes
# it in real time as a device would. Each program plays RUNS times in turn; the figures are
# the medians of processor time (user + system) over wall time.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
SIZE=${2:-1920x1080}
RUNS=${RUNS:-3}

for tool in ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-play-window: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kelvora kelvora-cli >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
echo "Making the $SIZE movie in $WORK ..." >&2
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=$SIZE:rate=25:duration=10" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=10" -ac 2 \
    -c:v ffv1 -c:a pcm_s16le "$WORK/movie.avi"
"$BUILD/kelvora-cli" hav-encode -o "$WORK/movie.hav" --codec best-p --key 25 "$WORK/movie.avi" \
    >/dev/null

export SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=offscreen
# The window keeps its settings beside itself or under XDG_CONFIG_HOME: a folder of its own.
export XDG_CONFIG_HOME="$WORK/config"
python3 - "$BUILD" "$WORK" "$RUNS" <<'PY'
import os, resource, statistics, subprocess, sys, time
build, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
movie = os.path.join(work, "movie.hav")
commands = {
    "ffmpeg -re": ["ffmpeg", "-v", "error", "-nostdin", "-re", "-i",
                   os.path.join(work, "movie.avi"), "-f", "null", "-"],
    "window": [os.path.join(build, "kelvora"), "/playclose=" + movie],
    "kelvora-cli play": [os.path.join(build, "kelvora-cli"), "play", movie],
}
shares = {name: [] for name in commands}
for _ in range(runs):
    for name, argv in commands.items():
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wall = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if wall < 9.5:
            sys.exit(f"bench-play-window: {name} ended after {wall:.1f} s, not in real time")
        shares[name].append(100.0 * cpu / wall)
peer = statistics.median(shares["ffmpeg -re"])
print(f"ffmpeg -re: {peer:.1f} % of one core")
for name, target in (("window", 1.0), ("kelvora-cli play", 0.5)):
    share = statistics.median(shares[name])
    print(f"{name}: {share:.1f} % of one core = {share / peer:.2f} x ffmpeg (target {target})")
PY
