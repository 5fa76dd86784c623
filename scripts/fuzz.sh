#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build (make fuzz) for FUZZ_SECONDS each, on corpora
# that live in the build folder: seeded from the test fixtures, the shared sample folders, the
# project's own writers (kv-fuzz-seeds) and, when ffmpeg, sox and oggenc are there, a few small
# AVI, MPEG, WAV and Ogg files and files of today's containers. Prints executions and coverage
# per target; a crash, leak, timeout or sanitizer report keeps its input in
# BUILD/fuzz/artifacts/<target>/ and makes the run fail.
#
# Usage: scripts/fuzz.sh BUILD_DIR
# Environment: FUZZ_SECONDS (default 60), FUZZ_TARGETS (names without "fuzz_", default all),
# FUZZ_TIMEOUT (seconds one input may take, default 10).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: scripts/fuzz.sh BUILD_DIR}" && pwd)
seconds=${FUZZ_SECONDS:-60}
timeout=${FUZZ_TIMEOUT:-10}
work=$build/fuzz
bins=$build/fuzz
shared=$here/../shared

all_targets="still_bmp still_pcx still_tga still_sgi still_ras still_pnm still_xpm still_bay
  still_jpg still_png still_tif still_gif hav gifmovie flc avi wav mpg ogg avf profile ipc cmdline"
targets=${FUZZ_TARGETS:-$all_targets}

# File name endings (extended regular expression) that seed each target, and its dictionary.
pattern_of() {
  case $1 in
    still_bmp) echo 'bmp|dib' ;;
    still_pcx) echo 'pcx' ;;
    still_tga) echo 'tga' ;;
    still_sgi) echo 'sgi|rgb|rgba|bw' ;;
    still_ras) echo 'ras|im1|im8|im24|im32|sun' ;;
    still_pnm) echo 'pbm|pgm|ppm|pnm|pam' ;;
    still_xpm) echo 'xpm' ;;
    still_bay) echo 'bay' ;;
    still_jpg) echo 'jpg|jpeg' ;;
    still_png) echo 'png' ;;
    still_tif) echo 'tif|tiff' ;;
    still_gif | gifmovie) echo 'gif' ;;
    hav) echo 'hav' ;;
    flc) echo 'fli|flc' ;;
    avi) echo 'avi' ;;
    wav) echo 'wav' ;;
    mpg) echo 'mpg|mpeg|m1v|m2v|mpv|mp2|mp3|mpa|bit' ;;
    ogg) echo 'ogg|oga' ;;
    avf) echo 'mp4|m4v|mov|3gp|mkv|webm|m4a|mka|flac|opus|aac|ts|m2ts|flv|asf|wmv|wma' ;;
    profile) echo 'ini' ;;
    *) echo '' ;;
  esac
}
dict_of() {
  case $1 in
    still_bmp) echo bmp ;;
    still_pnm) echo pnm ;;
    still_xpm) echo xpm ;;
    still_jpg) echo jpeg ;;
    still_png) echo png ;;
    still_tif) echo tiff ;;
    still_gif | gifmovie) echo gif ;;
    hav) echo hav ;;
    flc) echo flc ;;
    avi | wav) echo riff ;;
    mpg) echo mpeg ;;
    ogg) echo ogg ;;
    avf) echo avf ;;
    profile) echo ini ;;
    ipc) echo ipc ;;
    cmdline) echo cmdline ;;
    *) echo '' ;;
  esac
}

# Made once per build folder: the writers' files and the ones the tools make.
seeds=$work/seeds
if [ ! -e "$seeds/.done" ]; then
  mkdir -p "$seeds/made" "$seeds/text"
  "$bins/kv-fuzz-seeds" "$seeds/writers" || exit 1
  if command -v ffmpeg >/dev/null; then
    ff() { ffmpeg -v error -nostdin -y "$@" </dev/null || echo "fuzz: ffmpeg could not make ${*: -1}"; }
    src=(-f lavfi -i testsrc=size=32x24:rate=5 -f lavfi -i sine=frequency=440:sample_rate=8000 -t 0.6)
    ff "${src[@]}" -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8 "$seeds/made/raw.avi"
    ff "${src[@]}" -c:v msvideo1 -c:a pcm_s16le "$seeds/made/msvc.avi"
    ff "${src[@]}" -c:v mjpeg -c:a adpcm_ima_wav "$seeds/made/mjpeg.avi"
    ff "${src[@]}" -c:v cinepak -an "$seeds/made/cinepak.avi"
    ff "${src[@]}" -c:v mpeg4 -c:a mp2 "$seeds/made/mpeg4.avi"
    # MPEG-1 knows 24, 25, 30, ... pictures a second, not 5.
    ff "${src[@]}" -r 25 -c:v mpeg1video -c:a mp2 -f mpeg "$seeds/made/system.mpg"
    ff "${src[@]}" -r 25 -an -c:v mpeg1video -f mpeg1video "$seeds/made/video.m1v"
    ff -f lavfi -i sine=frequency=440:sample_rate=22050 -t 0.5 -c:a mp2 "$seeds/made/sound.mp2"
    for codec in adpcm_ima_wav adpcm_ms pcm_mulaw pcm_alaw pcm_f32le mp2; do
      ff -f lavfi -i sine=frequency=440:sample_rate=8000 -t 0.3 -c:a $codec "$seeds/made/$codec.wav"
    done
  fi
  if command -v sox >/dev/null && command -v oggenc >/dev/null; then
    sox -n -r 8000 -c 1 -b 16 -e signed "$seeds/made/tone.wav" synth 0.5 sine 440 &&
      oggenc -Q -o "$seeds/made/tone.ogg" "$seeds/made/tone.wav" || echo "fuzz: no Ogg seed"
  fi
  # Settings files, channel transfers and command lines.
  printf '[aA]\r\nb=1\r\n; note\r\n[B1]\nbb = "quoted"\n[aa]\nb=second\n' >"$seeds/text/settings.ini"
  printf 'top=level\n\n[_]\r _=\r[a]\na\na=\x27x\x27\n' >"$seeds/text/odd.ini"
  # Channel 1: a header for 6 bytes, then "a.hav" and its last byte.
  printf '\x01\x01\x00\x00\x06\x00\x00\x00\x01\x02\x00\x00/a.h\x01\x02\x00\x00av\x00\x00' \
    >"$seeds/text/transfer.ipc"
  printf '/play=/tmp/a b.hav\0/open\0bare\0/playclose="x y"' >"$seeds/text/args.cmd"
  touch "$seeds/.done"
fi

# Today's containers, each small (a few pictures, a few sound packets); a marker of their own, so
# that a folder seeded before they were added gets them too.
if [ ! -e "$seeds/.done-containers" ] && command -v ffmpeg >/dev/null; then
  mkdir -p "$seeds/made"
  ff() { ffmpeg -v error -nostdin -y "$@" </dev/null || echo "fuzz: ffmpeg could not make ${*: -1}"; }
  src=(-f lavfi -i testsrc=size=32x24:rate=5 -f lavfi -i sine=frequency=440:sample_rate=8000 -t 0.6)
  ff "${src[@]}" -c:v libx264 -g 2 -bf 1 -pix_fmt yuv420p -c:a aac "$seeds/made/h264.mp4"
  ff "${src[@]}" -c:v mpeg4 -c:a aac -f mov "$seeds/made/mpeg4.mov"
  ff "${src[@]}" -c:v libx264 -g 2 -pix_fmt yuv420p -c:a flac "$seeds/made/h264.mkv"
  ff "${src[@]}" -r 25 -c:v mpeg2video -c:a mp2 "$seeds/made/mpeg2.ts"
  ff "${src[@]}" -c:v flv -c:a pcm_s16le -ar 11025 "$seeds/made/sorenson.flv"
  ff "${src[@]}" -c:v wmv2 -c:a wmav2 "$seeds/made/wmv2.wmv"
  snd=(-f lavfi -i sine=frequency=440:sample_rate=48000 -t 0.3)
  ff "${snd[@]}" -c:a flac "$seeds/made/tone.flac"
  ff "${snd[@]}" -c:a libopus "$seeds/made/tone.opus"
  ff "${snd[@]}" -c:a aac "$seeds/made/tone.m4a"
  ff "${snd[@]}" -c:a aac -f adts "$seeds/made/tone.aac"
  touch "$seeds/.done-containers"
fi

# MP4 edit lists as stream copies write them: a cut between key frames, and the empty edit of a
# Matroska movie remuxed whose pictures start after its sound.
if [ ! -e "$seeds/.done-edits" ] && command -v ffmpeg >/dev/null; then
  ff() { ffmpeg -v error -nostdin -y "$@" </dev/null || echo "fuzz: ffmpeg could not make ${*: -1}"; }
  [ -s "$seeds/made/h264.mp4" ] && ff -ss 0.3 -i "$seeds/made/h264.mp4" -c copy "$seeds/made/cut.mp4"
  [ -s "$seeds/made/h264.mkv" ] && ff -i "$seeds/made/h264.mkv" -c copy -strict -2 "$seeds/made/remuxed.mp4"
  touch "$seeds/.done-edits"
fi

seed_corpus() {
  local target=$1 corpus=$2 pattern
  pattern=$(pattern_of "$target")
  case $target in
    ipc) cp -n "$seeds/text/transfer.ipc" "$corpus/" ;;
    cmdline) cp -n "$seeds/text/args.cmd" "$corpus/" ;;
  esac
  [ -n "$pattern" ] || return 0
  local dirs=("$here/tests/data" "$seeds")
  for d in "$shared"/corpus-*; do [ -d "$d" ] && dirs+=("$d"); done
  # Files are named after their content: the same seed from two folders is one file.
  find "${dirs[@]}" -type f -size -2M | grep -iE "\.($pattern)\$" | while read -r f; do
    cp -n "$f" "$corpus/seed-$(sha1sum "$f" | cut -c1-16)"
  done
}

failed=()
summary=()
for t in $targets; do
  bin=$bins/fuzz_$t
  if [ ! -x "$bin" ]; then
    echo "fuzz: no program $bin" >&2
    failed+=("$t")
    continue
  fi
  corpus=$work/corpus/$t
  artifacts=$work/artifacts/$t
  log=$work/logs/$t.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  seed_corpus "$t" "$corpus"
  args=(-max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048
        -artifact_prefix="$artifacts/" -print_final_stats=1)
  dict=$(dict_of "$t")
  [ -n "$dict" ] && args+=(-dict="$here/fuzz/dict/$dict.dict")
  echo "== fuzz_$t: ${seconds}s on $(find "$corpus" -type f | wc -l) inputs"
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$bin" "${args[@]}" "$corpus" >"$log" 2>&1
  status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
  execs=$(sed -nE 's/^stat::number_of_executed_units:[[:space:]]*([0-9]+)/\1/p' "$log" | tail -1)
  cov=$(sed -nE 's/.*[[:space:]]cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.*[[:space:]]ft: ([0-9]+).*/\1/p' <<<"$done_line")
  rate=$(sed -nE 's/.*exec\/s: ([0-9]+).*/\1/p' <<<"$done_line")
  corp=$(sed -nE 's/.*corp: ([0-9]+\/[^ ]+).*/\1/p' <<<"$done_line")
  if [ $status -ne 0 ]; then
    failed+=("$t")
    echo "   FAILED (exit $status): $(grep -m1 -E 'ERROR|kv-fuzz:|runtime error' "$log")"
    echo "   log $log, input(s) in $artifacts/"
  fi
  summary+=("$(printf '%-12s %10s execs %8s exec/s  cov %6s  ft %7s  corpus %s  %s' "$t" \
    "${execs:--}" "${rate:--}" "${cov:--}" "${ft:--}" "${corp:--}" \
    "$([ $status -eq 0 ] && echo ok || echo FAILED)")")
done

echo
echo "== fuzzing summary (${seconds}s per target; logs in $work/logs)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]}" >&2
  exit 1
fi
