#!/usr/bin/env bash
# Makes the animated GIF fixtures with ffmpeg and ImageMagick and writes frames.txt: one FNV-1a
# 64 hash per composed frame (its pixels as red, green, blue bytes, rows top-down) from ffmpeg's
# GIF decoder, checked against ImageMagick's -coalesce on every pixel that ImageMagick leaves
# opaque (the two differ only in what disposal 2 clears to: ffmpeg and this reader use the
# background colour, ImageMagick transparency). Run from this folder; the tests need neither tool.
#
#   ffmpeg.gif     ffmpeg's encoder: a whole first frame, then changed rectangles with transparency
#   dispose.gif    partial frames with local colour tables, disposal 2 and 3, a transparent frame
#   clip.gif       dispose.gif with its last frame moved to hang over the right and bottom edges
#   interlace.gif  interlaced frames: three whole ones with their own tables, then a partial one
#   noise.gif      one 80 x 64 picture of noise: 12-bit codes and a clear code in the LZW stream
#
# Not made here: fuzz-huge-screen.gif, 66 bytes written by hand and kept from a fuzzing run (a
# 27,000 x 27,000 logical screen, a 2-entry global table, two 1 x 1 frames). Its screen is over
# the picture limit, so its header must be refused.
set -euo pipefail
IM=/usr/bin/convert
[[ -x $IM ]] || IM=convert
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

# palettegen needs the end of its input: the source is bounded.
ffmpeg -v error -y -nostdin -f lavfi -i "testsrc=size=40x30:rate=10:duration=0.6" \
    -filter_complex "[0]split[a][b];[a]palettegen=max_colors=32[p];[b][p]paletteuse=dither=none" ffmpeg.gif

$IM -size 32x24 gradient:navy-orange -colors 16 "$T/base.png"
$IM -size 10x8 xc:red "$T/red.png"
$IM -size 9x7 pattern:checkerboard -fill blue -opaque black "$T/blue.png"
$IM -size 12x6 xc:lime -alpha set -region 6x3+3+1 -alpha transparent +region "$T/holes.png"
$IM -size 7x5 xc:yellow "$T/yellow.png"
$IM -delay 10 -dispose none "$T/base.png" -dispose background \( "$T/red.png" -set page +4+4 \) \
    -dispose previous \( "$T/blue.png" -set page +14+6 \) -dispose none \( "$T/holes.png" -set page +8+10 \) \
    \( "$T/yellow.png" -set page +20+12 \) -loop 0 dispose.gif
python3 - <<'PY'
import struct
d = bytearray(open("dispose.gif", "rb").read())
i = d.rfind(b"\x2c\x14\x00\x0c\x00\x07\x00\x05\x00")  # the 7 x 5 frame at (20, 12)
assert i > 0
struct.pack_into("<HH", d, i + 1, 28, 20)
open("clip.gif", "wb").write(d)
PY

$IM -size 24x20 gradient:red-blue -colors 8 "$T/f1.png"
$IM -size 24x20 gradient:green-yellow -colors 8 "$T/f2.png"
$IM -size 24x20 -seed 3 plasma:fractal -colors 8 "$T/f3.png"
$IM -size 11x13 gradient:white-black -colors 4 "$T/p4.png"
$IM -delay 7 -dispose none "$T/f1.png" "$T/f2.png" -delay 20 "$T/f3.png" \( "$T/p4.png" -set page +9+5 \) \
    -interlace GIF -loop 0 interlace.gif

$IM -size 80x64 xc: -seed 5 +noise Random -colors 64 +dither noise.gif

python3 - "$IM" > frames.txt <<'PY'
import struct, subprocess, sys
def fnv(b):
    x = 0xcbf29ce484222325
    for c in b:
        x = ((x ^ c) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return x
print("# file frame fnv1a64-of-rgb (ffmpeg's composed frames; see make-fixtures.sh)")
for name in ["ffmpeg.gif", "dispose.gif", "clip.gif", "interlace.gif", "noise.gif"]:
    w, h = struct.unpack_from("<HH", open(name, "rb").read(), 6)
    def frames(cmd):
        raw = subprocess.run(cmd, capture_output=True, check=True).stdout
        return [raw[i:i + w * h * 4] for i in range(0, len(raw), w * h * 4)]
    ff = frames(["ffmpeg", "-v", "error", "-i", name, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgba", "-"])
    im = frames([sys.argv[1], name, "-coalesce", "-depth", "8", "rgba:-"])
    assert len(ff) == len(im), name
    for k, (a, b) in enumerate(zip(ff, im), 1):
        assert all(a[i] == 255 for i in range(3, len(a), 4)), f"{name} {k}: ffmpeg left transparent pixels"
        assert all(a[p:p + 3] == b[p:p + 3] for p in range(0, len(a), 4) if b[p + 3] == 255), f"{name} {k}: tools differ"
        print(name, k, "%016x" % fnv(bytes(c for i, c in enumerate(a) if i % 4 != 3)))
PY
