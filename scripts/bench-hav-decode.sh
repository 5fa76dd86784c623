#!/usr/bin/env bash
# HAV decoding speed beside ffmpeg's QuickTime Animation (qtrle) decoder, in one run:
#  - every frame of the same 1920 x 1080 clip as HAV BEST-P, BEST and FAST, decoded in order by
#    kv_bench_hav --decode, against `ffmpeg -threads 1 -i clip.mov -f null -`;
#    targets: BEST-P at most 2.0 times qtrle, BEST and FAST at most 1.0 times;
#  - our processor time per pixel at 3840 x 2160 against 640 x 480; target: at most 1.1 times.
#    The large clip is the 640 x 480 one repeated over the picture (--tile), so that every pixel
#    asks for the same work at both sizes and only the size of the picture differs.
#
# Usage: scripts/bench-hav-decode.sh [BUILD_DIR]     (default: build; builds kv_bench_hav)
#   FRAMES=N  clip length at 1080p (default 100); FRAMES_SMALL, FRAMES_4K for the per-pixel
#             clips at 640 x 480 and 3840 x 2160 (default 50 each); RUNS=N  timed runs per command, the fastest kept
#             (default 3).
#
# The clips are the moving scene of bench/bench_hav.cpp, a key frame every 25 frames in both
# formats. Each HAV clip is first checked to decode to the scene it was made from, and the qtrle
# file to decode to the raw frames it was made from.
#
# Times are processor time (user + system) of the whole process, so that other work on the
# machine weighs less. The ratios are given twice: whole processes (start-up, probing and file
# opening included), and per frame with each side's run of a single frame subtracted. The
# per-pixel figures are kv_bench_hav's own count of its decoding loop.
#
# Exit status: 0 when everything ran (whether or not the targets are met), 1 otherwise.

set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
[[ $BUILD = /* ]] || BUILD="$ROOT/$BUILD"
BENCH="$BUILD/bench/kv_bench_hav"
FRAMES=${FRAMES:-100}
FRAMES_SMALL=${FRAMES_SMALL:-50}
FRAMES_4K=${FRAMES_4K:-50}
RUNS=${RUNS:-3}

for tool in ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-hav-decode: $tool is missing" >&2; exit 1; }
done
cmake --build "$BUILD" --target kv_bench_hav >/dev/null
[[ -x $BENCH ]] || { echo "bench-hav-decode: $BENCH was not built" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "Making the clips in $WORK ..." >&2
for size in 1920x1080 640x480 3840x2160; do
    case $size in
        1920x1080) n=$FRAMES tile= ;;
        640x480) n=$FRAMES_SMALL tile= ;;
        *) n=$FRAMES_4K tile=--tile ;;
    esac
    for codec in best-p best fast; do
        "$BENCH" --write-hav "$WORK/$size-$codec.hav" "$codec" "$n" --size "$size" $tile
        "$BENCH" --decode "$WORK/$size-$codec.hav" --check --size "$size" $tile >/dev/null
    done
done
raw=(-f rawvideo -pix_fmt bgr24 -s 1920x1080 -r 25 -i -)
"$BENCH" --write-raw "$FRAMES" --size 1920x1080 |
    ffmpeg -v error -nostdin "${raw[@]}" -c:v qtrle -g 25 "$WORK/1920x1080.mov"
"$BENCH" --write-raw "$FRAMES" --size 1920x1080 | ffmpeg -v error "${raw[@]}" -f framemd5 - |
    grep -v '^#' | cut -d, -f6 >"$WORK/raw.md5"
ffmpeg -v error -nostdin -i "$WORK/1920x1080.mov" -f framemd5 -pix_fmt bgr24 - |
    grep -v '^#' | cut -d, -f6 >"$WORK/mov.md5"
cmp -s "$WORK/raw.md5" "$WORK/mov.md5" ||
    { echo "bench-hav-decode: the qtrle file does not decode to its input" >&2; exit 1; }

echo "Timing ..." >&2
python3 - "$BENCH" "$WORK" "$RUNS" "$FRAMES" <<'PY'
import resource, subprocess, sys

bench, work, runs, frames = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])

def run(cmd):
    """Processor time (user + system, seconds) of one run of cmd, and its output."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    out, err = p.communicate()
    if p.returncode != 0:
        sys.exit(f"bench-hav-decode: {' '.join(cmd)} failed: {err.decode(errors='replace').strip()}")
    return out.decode()

def cpu(cmd):
    """The fastest processor time of `runs` runs of cmd, from the children's usage."""
    best = None
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        run(cmd)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        t = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best = t if best is None else min(best, t)
    return best

def ffmpeg(n):
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-threads", "1", "-i", f"{work}/1920x1080.mov"]
    return cmd + (["-frames:v", str(n)] if n else []) + ["-f", "null", "-"]

def ours(size, codec, n=None):
    return [bench, "--decode", f"{work}/{size}-{codec}.hav"] + ([str(n)] if n else [])

ff_all, ff_one = cpu(ffmpeg(None)), cpu(ffmpeg(1))
ff_frame = (ff_all - ff_one) / (frames - 1)
print(f"Every frame of a {frames}-frame 1920 x 1080 clip, processor time "
      "(ratio = ours / qtrle; per frame: a one-frame run subtracted)")
print(f"  {'':8} {'whole s':>8} {'ratio':>6} {'per frame ms':>13} {'ratio':>6}  target")
print(f"  {'qtrle':8} {ff_all:8.3f} {'':6} {ff_frame * 1e3:13.2f}")
for codec, target in (("best-p", 2.0), ("best", 1.0), ("fast", 1.0)):
    t_all, t_one = cpu(ours("1920x1080", codec)), cpu(ours("1920x1080", codec, 1))
    per = (t_all - t_one) / (frames - 1)
    r = t_all / ff_all
    print(f"  {codec:8} {t_all:8.3f} {r:6.2f} {per * 1e3:13.2f} {per / ff_frame:6.2f}  "
          f"<= {target:.1f} {'met' if r <= target else 'MISSED'}")

def per_pixel(size, codec):
    """Nanoseconds per pixel of kv_bench_hav's decoding loop, the fastest of `runs`."""
    w, h = map(int, size.split("x"))
    best = None
    for _ in range(runs):
        f = dict(zip(*[iter(run(ours(size, codec)).split())] * 2))
        ns = float(f["cpu_ns"]) / (int(f["frames"]) * w * h)
        best = ns if best is None else min(best, ns)
    return best

print("Processor time per pixel of the decoding loop, ns (ratio = 3840 x 2160 tiled / 640 x 480, "
      "target <= 1.1)")
for codec in ("best-p", "best", "fast"):
    small, big = per_pixel("640x480", codec), per_pixel("3840x2160", codec)
    r = big / small
    print(f"  {codec:8} 640x480 {small:6.3f}  3840x2160 {big:6.3f}  ratio {r:5.2f}  "
          f"{'met' if r <= 1.1 else 'MISSED'}")
PY
