#!/bin/sh
# Makes the fixtures of the JPEG, PNG, TIFF and XPM readers (tests/data/formats/{jpg,png,tif,xpm})
# with independent tools, together with their expected decodes:
#   ImageMagick (convert), libjpeg-turbo's djpeg/cjpeg, libtiff's tiffcp, netpbm's pngtopnm.
# The tests only read the files; run this again only to remake them (outputs are committed).
set -eu
IM=/usr/bin/convert   # the real ImageMagick, not a wrapper
here=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

# The source picture: a smooth natural-looking 33 x 21 plasma spanning 0..255, odd sizes on purpose.
$IM -seed 7 -size 33x21 plasma:fractal -blur 0x1 -normalize -depth 8 src.ppm

# --- JPEG: expected decodes by djpeg (same library, its default settings) ---
J=$here/jpg
$IM src.ppm -quality 85 -sampling-factor 2x2 "$J/colour.jpg"
djpeg -ppm "$J/colour.jpg" > "$J/colour.ppm"
$IM src.ppm -colorspace Gray -quality 85 "$J/grey.jpg"
djpeg -pnm "$J/grey.jpg" > "$J/grey.pgm"
$IM src.ppm -quality 95 -interlace JPEG "$J/progressive.jpg"
djpeg -ppm "$J/progressive.jpg" > "$J/progressive.ppm"
# CMYK (Adobe, inverted inks): compared with the source within a small tolerance.
$IM src.ppm -colorspace CMYK -quality 100 "$J/cmyk.jpg"

# --- PNG: expected decodes by pngtopnm (libpng through netpbm) ---
P=$here/png
$IM src.ppm -define png:color-type=2 -define png:bit-depth=8 "PNG24:$P/rgb.png"
pngtopnm "$P/rgb.png" > "$P/rgb.ppm"
# RGBA, Adam7-interlaced: the alpha channel is dropped, the colours stay.
$IM src.ppm \( src.ppm -colorspace Gray \) -alpha off -compose CopyOpacity -composite -interlace PNG "PNG32:$P/rgba-interlaced.png"
pngtopnm "$P/rgba-interlaced.png" > "$P/rgba-interlaced.ppm"
# 16 bits per channel: pngtopnm keeps 16 bits; the reader keeps the high byte.
$IM src.ppm -evaluate multiply 1.0 -depth 16 "PNG48:$P/rgb16.png"
pngtopnm "$P/rgb16.png" > "$P/rgb16.ppm"
# 2-bit grey: pngtopnm gives the values 0..3 (maxval 3).
$IM src.ppm -colorspace Gray -depth 2 -define png:color-type=0 -define png:bit-depth=2 "$P/grey2.png"
pngtopnm "$P/grey2.png" > "$P/grey2.pgm"
# 8-bit grey with alpha.
$IM src.ppm -colorspace Gray \( src.ppm -channel R -separate \) -alpha off -compose CopyOpacity -composite -define png:color-type=4 "$P/grey-alpha.png"
pngtopnm "$P/grey-alpha.png" > "$P/grey-alpha.pgm"
# 4-bit palette with a tRNS chunk (one transparent colour).
$IM src.ppm -colors 12 -transparent "$($IM src.ppm -colors 12 -format '%[pixel:p{0,0}]' info:)" -define png:bit-depth=4 "PNG8:$P/palette-trns.png"
pngtopnm "$P/palette-trns.png" > "$P/palette-trns.ppm"

# --- TIFF: lossless, so the source is the expected decode ---
T=$here/tif
cp src.ppm "$T/src.ppm"
$IM src.ppm -compress LZW "$T/rgb-lzw.tif"
tiffcp -c lzw -p separate "$T/rgb-lzw.tif" "$T/rgb-planar.tif"
tiffcp -c packbits -t -w 16 -l 16 "$T/rgb-lzw.tif" "$T/rgb-tiled.tif"
tiffcp -c lzw -p separate -t -w 16 -l 16 "$T/rgb-lzw.tif" "$T/rgb-tiled-planar.tif"
$IM src.ppm -depth 16 -compress LZW "$T/rgb16.tif"
# 1-bit Group 4, odd width (37): rows are padded to whole bytes.
$IM -size 37x13 xc:white -fill black -draw "circle 18,6 18,1" -draw "line 0,12 36,0" -monochrome "$T/bw.pbm"
$IM "$T/bw.pbm" -compress Group4 "$T/bw-g4.tif"
# JPEG-coded YCbCr (expected decode by ImageMagick) and CMYK (converts back to the source exactly).
tiffcp -c jpeg:95 "$T/rgb-lzw.tif" "$T/ycbcr-jpeg.tif"   # YCbCr, subsampled
$IM "$T/ycbcr-jpeg.tif" -depth 8 "$T/ycbcr-jpeg.ppm"
$IM src.ppm -colorspace CMYK -compress LZW "$T/cmyk.tif"

# --- XPM: expected decode by ImageMagick, transparent pixels on black ---
X=$here/xpm
$IM src.ppm -colors 24 -transparent "$($IM src.ppm -colors 24 -format '%[pixel:p{0,0}]' info:)" "$X/colour.xpm"
$IM "$X/colour.xpm" -background black -alpha remove -depth 8 "$X/colour.ppm"
