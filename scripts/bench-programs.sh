#!/usr/bin/env bash
# Runs the benchmark programs that need no prepared inputs (the others are driven by their
# scripts, which make the files first). A program that is missing, exits non-zero or reports
# an error for any of its benchmarks fails the run: a benchmark that could not measure must
# not pass for one that did.
#
# Usage: scripts/bench-programs.sh [BUILD_DIR]     (default: build)
set -uo pipefail
BUILD=${1:-build}
programs="kv_bench_runtime kv_bench_image kv_bench_image_ops kv_bench_media kv_bench_hav"
cmake --build "$BUILD" --target $programs >/dev/null || exit 1
failed=()
for p in $programs; do
    echo "== $p"
    out=$("$BUILD/bench/$p" 2>&1)
    status=$?
    echo "$out"
    if [ $status -ne 0 ] || grep -q "ERROR OCCURRED" <<<"$out"; then failed+=("$p"); fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "bench-programs: could not measure: ${failed[*]}" >&2
    exit 1
fi
