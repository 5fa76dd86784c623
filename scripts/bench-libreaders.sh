#!/usr/bin/env bash
# Times the JPEG, PNG and TIFF readers against the libraries' own command-line tools on the same
# 1920 x 1080 files, and prints the ratios (target: the readers within 10 % of the tool).
#
#   scripts/bench-libreaders.sh [BUILD_DIR]     (default: build; builds kv_bench_libreaders)
#
# Needs ImageMagick (convert), djpeg (libjpeg-turbo-progs), pngtopnm (netpbm) and tiffcp
# (libtiff-tools). Times are processor time (user + system); a tool's time is its run on the picture minus its run on an 8 x 8 file of the
# same kind, which takes out process start-up. djpeg and pngtopnm write PPM to /dev/null; tiffcp
# writes an uncompressed copy to a memory-backed folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
IM=/usr/bin/convert
for tool in "$IM" djpeg pngtopnm tiffcp python3; do
  command -v "$tool" > /dev/null || { echo "bench-libreaders: $tool is missing" >&2; exit 2; }
done
cmake --build "$build" --target kv_bench_libreaders > /dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/kv-bench-libreaders.XXXXXX")
scratch=$(mktemp -d /dev/shm/kv-bench-libreaders.XXXXXX 2> /dev/null || mktemp -d)
trap 'rm -rf "$work" "$scratch"' EXIT

# A natural-looking picture: a fractal plasma, softened, with a little sensor-like grain.
$IM -seed 11 -size 1920x1080 plasma:fractal -blur 0x2 -attenuate 0.4 +noise Gaussian -depth 8 "$work/photo.ppm"
$IM -seed 11 -size 8x8 plasma:fractal -depth 8 "$work/tiny.ppm"
for name in photo tiny; do
  $IM "$work/$name.ppm" -quality 90 -sampling-factor 2x2 "$work/$name.jpg"
  $IM "$work/$name.ppm" "PNG24:$work/$name.png"
  $IM "$work/$name.ppm" -compress LZW "$work/$name.tif"
done

# Mean processor time (user + system, in ns) of "$@" over $runs runs. Processor time rather than
# wall time, so that other work on the machine weighs less; the readers' figure is the same kind.
time_ns() {
  local runs=$1
  shift
  local TIMEFORMAT='%3U %3S' t
  t=$({ time (for ((i = 0; i < runs; i++)); do "$@"; done 2> /dev/null); } 2>&1)
  awk -v t="$t" -v runs="$runs" 'BEGIN { split(t, f, " "); printf "%d\n", (f[1] + f[2]) * 1e9 / runs }'
}
djpeg_run() { djpeg -ppm -outfile /dev/null "$1"; }
pngtopnm_run() { pngtopnm "$1" > /dev/null; }
tiffcp_run() { tiffcp -c none "$1" "$scratch/out.tif"; }

runs=30
declare -A tool_ns
for kind in jpg png tif; do
  case $kind in jpg) run=djpeg_run ;; png) run=pngtopnm_run ;; tif) run=tiffcp_run ;; esac
  $run "$work/photo.$kind"   # warm the cache
  big=$(time_ns $runs $run "$work/photo.$kind")
  tiny=$(time_ns $runs $run "$work/tiny.$kind")
  tool_ns[$kind]=$((big - tiny))
done

KV_BENCH_DIR=$work "$build/bench/kv_bench_libreaders" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2> /dev/null > "$work/ours.csv"

python3 - "$work/ours.csv" "${tool_ns[jpg]}" "${tool_ns[png]}" "${tool_ns[tif]}" << 'PY'
import csv, sys
ours = {}  # median processor time in ms, by benchmark ("BM_Load/jpeg_median")
for row in csv.reader(l for l in open(sys.argv[1]) if l.startswith('"BM_')):
    name = row[0]
    if name.endswith('_median'):
        ours[name.split('/')[1][:-len('_median')]] = float(row[3])
rows = [("JPEG", "jpeg", "djpeg", int(sys.argv[2]) / 1e6), ("PNG", "png", "pngtopnm", int(sys.argv[3]) / 1e6),
        ("TIFF LZW", "tiff_lzw", "tiffcp -c none", int(sys.argv[4]) / 1e6)]
print("1920 x 1080, processor time per picture in ms (ratio = reader / tool)")
print(f"{'format':10} {'reader':>10} {'tool':>16} {'tool ms':>8} {'ratio':>6}")
for label, key, tool, t in rows:
    o = ours.get(key)
    ratio = f"{o / t:6.2f}" if o and t > 0 else "   n/a"
    print(f"{label:10} {o if o else float('nan'):10.2f} {tool:>16} {t:8.2f} {ratio}")
PY
