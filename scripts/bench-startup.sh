#!/usr/bin/env bash
# Start-up of the command line beside djpeg's: `kelvora-cli --version` and
# `kelvora-cli export TINY.bmp --frame 1 -o x.ppm` against `djpeg -outfile x.ppm TINY.jpg`
# (targets: at most 2.5 times djpeg's time each), and the libraries the command line loads.
#
# Usage: scripts/bench-startup.sh [BUILD_DIR]     (default: build)
#
# Whole processes, started directly (posix_spawn) in turn, RUNS rounds; each figure is the
# median wall time. The output file is removed before every run, so no run pays for
# truncating the last one's.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
RUNS=${RUNS:-300}
CLI="$BUILD/kelvora-cli"

for tool in djpeg ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-startup: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kelvora-cli >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=8x8" -frames:v 1 "$WORK/tiny.jpg"
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=8x8" -frames:v 1 -pix_fmt bgr24 "$WORK/tiny.bmp"

echo "ldd lists $(ldd "$CLI" | wc -l) entries for kelvora-cli, $(ldd "$(command -v djpeg)" | wc -l) for djpeg"
python3 - "$CLI" "$WORK" "$RUNS" <<'PY'
import os, shutil, statistics, sys, time
cli, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
out = os.path.join(work, "x.ppm")
commands = {
    "djpeg": ["djpeg", "-outfile", out, os.path.join(work, "tiny.jpg")],
    "--version": [cli, "--version"],
    "export": [cli, "export", os.path.join(work, "tiny.bmp"), "--frame", "1", "-o", out],
}
null = os.open(os.devnull, os.O_WRONLY)
paths = {name: shutil.which(argv[0]) for name, argv in commands.items()}
times = {name: [] for name in commands}
for _ in range(runs):
    for name, argv in commands.items():
        if os.path.exists(out):
            os.unlink(out)
        start = time.perf_counter()
        pid = os.posix_spawn(paths[name], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
        _, status = os.waitpid(pid, 0)
        times[name].append(time.perf_counter() - start)
        if status != 0:
            sys.exit(f"bench-startup: {' '.join(argv)} failed")
median = {name: statistics.median(t) * 1000 for name, t in times.items()}
print(f"djpeg on an 8 x 8 JPEG: {median['djpeg']:.2f} ms")
for name in ("--version", "export"):
    ratio = median[name] / median["djpeg"]
    print(f"kelvora-cli {name}: {median[name]:.2f} ms = {ratio:.2f} x djpeg (target 2.5)")
PY
